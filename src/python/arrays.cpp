#include "python/arrays.hpp"

#include <cstring>

#include "arrays/flow_arrays.hpp"
#include "python/classes.hpp"

namespace flowsieve::python {
namespace {

PyTypeObject* flow_arrays_type = nullptr;

// The arrays by name, and the shape they were made with, for the repr.
struct FlowArraysObject {
    PyObject_HEAD
    PyObject* arrays;  // dict
    PyObject* per_flow;  // list of the names of the one-dimensional arrays
    arrays::Shape shape;
    size_t flows;
};

FlowArraysObject& arrays_of(PyObject* o) { return *reinterpret_cast<FlowArraysObject*>(o); }

// NumPy and pandas are imported when they are needed; their absence is an
// ImportError that says what to install.
PyObject* import_for(const char* module, const char* what) {
    PyObject* m = PyImport_ImportModule(module);
    if (!m && PyErr_ExceptionMatches(PyExc_ImportError)) {
        PyErr_Clear();
        return raise({PyExc_ImportError, std::string(what) + " needs " + module + ": pip install " + module});
    }
    return m;
}

// The pages of one column, which NumPy's array over them holds as its base
// through the array interface: they live as long as any array or view
// over them, and no object but those arrays hands out their address.
PyTypeObject* column_type = nullptr;
struct ColumnObject {
    PyObject_HEAD
    GrowingMapping* pages;
    PyObject* interface;  // dict: shape, type and address
};

ColumnObject& column_of(PyObject* o) { return *reinterpret_cast<ColumnObject*>(o); }

void column_dealloc(PyObject* self) {
    delete column_of(self).pages;
    Py_XDECREF(column_of(self).interface);
    PyTypeObject* type = Py_TYPE(self);
    reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free))(self);
    Py_DECREF(type);
}

// A copy, so that a caller changing it changes no later array.
PyObject* column_interface(PyObject* self, void*) { return PyDict_Copy(column_of(self).interface); }

PyGetSetDef kColumnGetters[] = {
    {"__array_interface__", column_interface, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};
constexpr char kColumnName[] = "Column";
PyType_Slot kColumnSlots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(column_dealloc)},
    {Py_tp_getset, kColumnGetters},
    {Py_tp_new, reinterpret_cast<void*>(no_constructor<kColumnName>)},
    {0, nullptr},
};
PyType_Spec kColumnSpec = {"flowsieve.Column", sizeof(ColumnObject), 0, Py_TPFLAGS_DEFAULT, kColumnSlots};

// The column as an array of NumPy's over the column's own pages, writable;
// an empty one over an empty bytearray.
PyObject* to_numpy(PyObject* numpy, arrays::Array& a) {
    Ref shape(PyTuple_New(Py_ssize_t(a.shape.size())));
    if (!shape) return nullptr;
    for (size_t i = 0; i < a.shape.size(); ++i) {
        PyObject* n = PyLong_FromUnsignedLongLong(a.shape[i]);
        if (!n) return nullptr;
        PyTuple_SetItem(shape.get(), Py_ssize_t(i), n);
    }
    if (a.data.bytes() == 0) {
        Ref empty(PyByteArray_FromStringAndSize(nullptr, 0));
        Ref flat(empty ? PyObject_CallMethod(numpy, "frombuffer", "Os", empty.get(), a.dtype.c_str()) : nullptr);
        return flat ? PyObject_CallMethod(flat.get(), "reshape", "O", shape.get()) : nullptr;
    }
    auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(column_type, Py_tp_alloc));
    Ref column(alloc(column_type, 0));
    if (!column) return nullptr;
    column_of(column.get()).pages = new GrowingMapping(a.data.take());
    column_of(column.get()).interface =
        Py_BuildValue("{s:i,s:O,s:s,s:(NO)}", "version", 3, "shape", shape.get(), "typestr", a.dtype.c_str(), "data",
                      PyLong_FromVoidPtr(column_of(column.get()).pages->data()), Py_False);
    if (!column_of(column.get()).interface) return nullptr;
    return PyObject_CallMethod(numpy, "asarray", "O", column.get());
}

PyObject* new_flow_arrays(PyObject* numpy, std::vector<arrays::Array> columns, const arrays::Shape& shape,
                          size_t flows) {
    Ref dict(PyDict_New());
    Ref per_flow(PyList_New(0));
    if (!dict || !per_flow) return nullptr;
    for (arrays::Array& a : columns) {
        const bool one_dimensional = a.shape.size() == 1;
        Ref array(to_numpy(numpy, a));
        if (!array || PyDict_SetItemString(dict.get(), a.name.c_str(), array.get()) != 0) return nullptr;
        if (one_dimensional) {
            Ref name(PyUnicode_FromString(a.name.c_str()));
            if (!name || PyList_Append(per_flow.get(), name.get()) != 0) return nullptr;
        }
    }
    auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(flow_arrays_type, Py_tp_alloc));
    PyObject* o = alloc(flow_arrays_type, 0);
    if (!o) return nullptr;
    FlowArraysObject& f = arrays_of(o);
    f.arrays = dict.release();
    f.per_flow = per_flow.release();
    f.shape = shape;
    f.flows = flows;
    return o;
}

void flow_arrays_dealloc(PyObject* self) {
    Py_XDECREF(arrays_of(self).arrays);
    Py_XDECREF(arrays_of(self).per_flow);
    PyTypeObject* type = Py_TYPE(self);
    reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free))(self);
    Py_DECREF(type);
}

// Each array is a read-only attribute; `source` never is one of these.
PyObject* get_array(PyObject* self, void* name) {
    PyObject* array = PyDict_GetItemString(arrays_of(self).arrays, static_cast<const char*>(name));
    if (!array) return raise({PyExc_AttributeError, static_cast<const char*>(name)});
    Py_INCREF(array);
    return array;
}

#define FLOWSIEVE_ARRAY(name) {name, get_array, nullptr, nullptr, const_cast<char*>(name)}
PyGetSetDef kArrayGetters[] = {
    FLOWSIEVE_ARRAY("id"),           FLOWSIEVE_ARRAY("proto"),        FLOWSIEVE_ARRAY("src_port"),
    FLOWSIEVE_ARRAY("dst_port"),     FLOWSIEVE_ARRAY("src_addr"),     FLOWSIEVE_ARRAY("dst_addr"),
    FLOWSIEVE_ARRAY("key"),          FLOWSIEVE_ARRAY("community_id"), FLOWSIEVE_ARRAY("start_ns"),     FLOWSIEVE_ARRAY("end_ns"),
    FLOWSIEVE_ARRAY("packet_count"), FLOWSIEVE_ARRAY("byte_count"),   FLOWSIEVE_ARRAY("fwd_packets"),
    FLOWSIEVE_ARRAY("fwd_bytes"),    FLOWSIEVE_ARRAY("bwd_packets"),  FLOWSIEVE_ARRAY("bwd_bytes"),
    FLOWSIEVE_ARRAY("sizes"),        FLOWSIEVE_ARRAY("directions"),   FLOWSIEVE_ARRAY("iat_ns"),
    FLOWSIEVE_ARRAY("tcp_flags"),    FLOWSIEVE_ARRAY("packet_bytes"), FLOWSIEVE_ARRAY("payload"),
    FLOWSIEVE_ARRAY("payload_len"),  FLOWSIEVE_ARRAY("server_name"),  FLOWSIEVE_ARRAY("app"),
    FLOWSIEVE_ARRAY("orig_packets"), FLOWSIEVE_ARRAY("orig_ip_bytes"), FLOWSIEVE_ARRAY("resp_packets"),
    FLOWSIEVE_ARRAY("resp_ip_bytes"), FLOWSIEVE_ARRAY("flipped"),     FLOWSIEVE_ARRAY("state"),
    FLOWSIEVE_ARRAY("history"),
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};
#undef FLOWSIEVE_ARRAY

PyObject* flow_arrays_repr(PyObject* self) {
    const FlowArraysObject& f = arrays_of(self);
    const std::string text = "FlowArrays(flows=" + std::to_string(f.flows) +
                             ", packets=" + std::to_string(f.shape.packets) +
                             ", packet_bytes=" + std::to_string(f.shape.packet_bytes) +
                             ", payload_bytes=" + std::to_string(f.shape.payload_bytes) + ")";
    return PyUnicode_FromStringAndSize(text.data(), Py_ssize_t(text.size()));
}

constexpr auto kFrame = keyword_signature("FlowArrays.frame", BoolArg{"wide", false});

// The columns go to pandas in one dict: a frame that gets hundreds of
// columns one by one is fragmented, and pandas warns about it.
PyObject* flow_arrays_frame(PyObject* self, PyObject* args, PyObject* kwargs) {
    return call(kFrame, args, kwargs, [&](bool wide) -> PyObject* {
        const FlowArraysObject& f = arrays_of(self);
        Ref pandas(import_for("pandas", "frame()"));
        if (!pandas) return nullptr;
        Ref columns(PyDict_New());
        if (!columns) return nullptr;
        for (Py_ssize_t i = 0; i < PyList_Size(f.per_flow); ++i) {
            PyObject* name = PyList_GetItem(f.per_flow, i);
            if (PyDict_SetItem(columns.get(), name, PyDict_GetItem(f.arrays, name)) != 0) return nullptr;
        }
        // Each per-packet and payload array (F, N) as N columns NAME_0 ... NAME_{N-1},
        // views of it; packet_bytes, of three dimensions, stays out.
        PyObject* name;
        PyObject* array;
        for (Py_ssize_t at = 0; wide && PyDict_Next(f.arrays, &at, &name, &array);) {
            Ref ndim(PyObject_GetAttrString(array, "ndim"));
            Ref shape(PyObject_GetAttrString(array, "shape"));
            if (!ndim || !shape) return nullptr;
            if (PyLong_AsLong(ndim.get()) != 2) continue;
            const Py_ssize_t n = PyLong_AsSsize_t(PyTuple_GetItem(shape.get(), 1));
            Ref all(PySlice_New(nullptr, nullptr, nullptr));
            if (!all) return nullptr;
            for (Py_ssize_t i = 0; i < n; ++i) {
                Ref index(Py_BuildValue("(On)", all.get(), i));
                Ref column(index ? PyObject_GetItem(array, index.get()) : nullptr);
                Ref key(PyUnicode_FromFormat("%U_%zd", name, i));
                if (!column || !key || PyDict_SetItem(columns.get(), key.get(), column.get()) != 0) return nullptr;
            }
        }
        return PyObject_CallMethod(pandas.get(), "DataFrame", "O", columns.get());
    });
}

PyMethodDef kFlowArraysMethods[] = {
    {"frame", keywords(flow_arrays_frame), METH_VARARGS | METH_KEYWORDS,
     "frame($self, *, wide=False)\n--\n\nThe per-flow arrays as the columns of a pandas DataFrame, one row per flow;\n"
     "wide=True adds the per-packet arrays and the payload, a column for each of their places:\n"
     "sizes_0 ... sizes_{K-1}, directions_*, iat_ns_*, tcp_flags_*, payload_0 ... payload_{L-1}."},
    {nullptr, nullptr, 0, nullptr},
};

constexpr char kFlowArraysName[] = "FlowArrays";
PyType_Slot kFlowArraysSlots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(flow_arrays_dealloc)},
    {Py_tp_getset, kArrayGetters},
    {Py_tp_repr, reinterpret_cast<void*>(flow_arrays_repr)},
    {Py_tp_methods, kFlowArraysMethods},
    {Py_tp_new, reinterpret_cast<void*>(no_constructor<kFlowArraysName>)},
    {0, nullptr},
};
PyType_Spec kFlowArraysSpec = {"flowsieve.FlowArrays", sizeof(FlowArraysObject), 0, Py_TPFLAGS_DEFAULT,
                               kFlowArraysSlots};

constexpr auto kFlowArrays = positional_first(
    10, signature("flow_arrays", 1, ObjectArg{"source"}, ObjectArg{"strategy"},
                  CountArg{"packets", 8, arrays::Shape::kMaxPackets},
                  CountArg{"packet_bytes", 0, arrays::Shape::kMaxPacketBytes},
                  CountArg{"payload_bytes", 0, arrays::Shape::kMaxPayloadBytes}, BoolArg{"anonymize", true},
                  ObjectArg{"flows"}, TextListArg{"ip_filters"}, PortListArg{"port_filters"},
                  ChoiceArg{"tunnels", "outer"}, BoolArg{"dedup", false}, ObjectArg{"idle_timeouts"}));

// The archive's flows to take: all, or the Flows of the list, which must be its own.
std::optional<archive::FlowList> chosen_flows(const archive::ArchiveReader& reader, PyObject* flows) {
    if (!flows || flows == Py_None) return archive::all_flows(reader);
    Ref items(PySequence_Fast(flows, "argument 'flows': a list of Flows is expected"));
    if (!items) return std::nullopt;
    archive::FlowList out;
    const Py_ssize_t n = PySequence_Size(items.get());
    for (Py_ssize_t i = 0; i < n; ++i) {
        Ref item(PySequence_GetItem(items.get(), i));
        if (!item) return std::nullopt;
        const archive::FlowRecord* record = flow_record(item.get(), reader);
        if (!record) {
            raise({PyExc_ValueError, "flows must be Flows of the archive given as source"});
            return std::nullopt;
        }
        out.push_back(record);
    }
    return out;
}

}  // namespace

PyObject* create_flow_arrays_type() {
    if (!column_type) column_type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&kColumnSpec));
    if (!column_type) return nullptr;
    if (!flow_arrays_type) flow_arrays_type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&kFlowArraysSpec));
    return reinterpret_cast<PyObject*>(flow_arrays_type);
}

PyObject* flow_arrays(PyObject*, PyObject* args, PyObject* kwargs) {
    return call(kFlowArrays, args, kwargs,
                [](PyObject* source, PyObject* strategy, uint32_t packets, uint32_t packet_bytes,
                   uint32_t payload_bytes, bool anonymize, PyObject* flows, std::vector<std::string> ip_filters,
                   std::vector<uint16_t> port_filters, ChoiceText tunnels, bool dedup,
                   PyObject* idle) -> PyObject* {
                    const arrays::Shape shape{packets, packet_bytes, payload_bytes, anonymize};
                    // Held through the walk: a signal handler run during it may close the Archive.
                    Reader reader;
                    if (is_archive(source)) {
                        const Reader* open = open_reader(source);
                        if (!open) return nullptr;
                        reader = *open;
                    }
                    // Before the work: NumPy's absence is known at once.
                    Ref numpy(import_for("numpy", "flow_arrays"));
                    if (!numpy) return nullptr;
                    arrays::Builder builder(shape);
                    SignalCheck signals;
                    if (reader) {
                        if (strategy && strategy != Py_None)
                            return raise({PyExc_ValueError, "strategy applies to a capture: an Archive keeps its own"});
                        if (!ip_filters.empty() || !port_filters.empty())
                            return raise({PyExc_ValueError,
                                          "ip_filters and port_filters apply to a capture: query the Archive instead"});
                        if (auto mode = choose_tunnels(tunnels); !mode) return raise(mode.error());
                        else if (mode.value() != TunnelMode::Outer)
                            return raise({PyExc_ValueError, "tunnels applies to a capture: an Archive keeps its own"});
                        if (dedup)
                            return raise({PyExc_ValueError,
                                          "dedup applies to a capture: an Archive keeps the packets it was made of"});
                        if (idle && idle != Py_None)
                            return raise({PyExc_ValueError,
                                          "idle_timeouts applies to a capture: an Archive keeps its own flows"});
                        auto chosen = chosen_flows(*reader, flows);
                        if (!chosen) return nullptr;
                        if (auto st = arrays::add_archive(builder, *reader, *chosen, 0, &signals); !st)
                            return raise(st.error());
                    } else {
                        if (flows && flows != Py_None)
                            return raise({PyExc_ValueError, "flows applies to an Archive given as source"});
                        auto path = path_argument(source, "source");
                        if (!path) return nullptr;
                        arrays::CaptureInput input;
                        input.path = std::move(*path);
                        if (strategy && strategy != Py_None) {
                            auto choice = choice_argument(strategy, "strategy");
                            if (!choice) return nullptr;
                            input.strategy = std::move(*choice);
                        }
                        input.ip_filters = std::move(ip_filters);
                        input.port_filters = std::move(port_filters);
                        input.tunnels = std::move(tunnels);
                        input.observer = &signals;
                        input.dedup = dedup;
                        if (!idle_timeouts_from(idle, input.idle)) return nullptr;
                        if (auto st = arrays::add_capture(builder, input, 0); !st) return raise(st.error());
                    }
                    const size_t count = builder.flows();
                    return new_flow_arrays(numpy.get(), builder.finish(false), shape, count);
                });
}

}  // namespace flowsieve::python
