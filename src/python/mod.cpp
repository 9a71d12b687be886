// The flowsieve extension module: its functions convert their arguments,
// call one core operation and turn its failure into a Python exception.
#include <fcntl.h>
#include <unistd.h>

#include "archive/mod.hpp"
#include "archive/store.hpp"
#include "archive/writer.hpp"
#include "python/args.hpp"
#include "python/arrays.hpp"
#include "python/classes.hpp"
#include "split/driver.hpp"
#include "util/file_io.hpp"
#include "util/os_error.hpp"

namespace flowsieve::python {
namespace {

constexpr const char* kModuleName = "flowsieve";

// A flag reads as what it asks for by its name alone: dedup is given by keyword, and so are the
// idle timeouts, which follow it.
constexpr auto kSplit = positional_first(
    9, signature("split", 2, PathArg{"input_path"}, PathArg{"output_dir"}, ChoiceArg{"strategy", "session"},
                 U32Arg{"max_sessions", 10000}, U64Arg{"buffer_bytes", 10000}, TextListArg{"ip_filters"},
                 PortListArg{"port_filters"}, ChoiceArg{"output_type", "pcap"}, ChoiceArg{"tunnels", "outer"},
                 BoolArg{"dedup", false}, ObjectArg{"idle_timeouts"}));
constexpr auto kCreateArchive = positional_first(
    7, signature("create_archive", 2, PathArg{"input_path"}, PathArg{"output_path"}, ChoiceArg{"strategy", "session"},
                 U32Arg{"max_sessions", 10000}, TextListArg{"ip_filters"}, PortListArg{"port_filters"},
                 ChoiceArg{"tunnels", "outer"}, BoolArg{"dedup", false}, ObjectArg{"idle_timeouts"}));
constexpr auto kReadFlows = positional_first(
    6, signature("read_flows", 1, PathArg{"input_path"}, ChoiceArg{"strategy", "session"},
                 U32Arg{"max_sessions", 10000}, TextListArg{"ip_filters"}, PortListArg{"port_filters"},
                 ChoiceArg{"tunnels", "outer"}, BoolArg{"dedup", false}, ObjectArg{"idle_timeouts"}));
constexpr auto kPipeArchive = signature("pipe_archive", 1, PathArg{"archive_path"});

PyObject* split(PyObject*, PyObject* args, PyObject* kwargs) {
    return call(kSplit, args, kwargs,
                [](std::string input_path, std::string output_dir, ChoiceText strategy, uint32_t max_sessions,
                   uint64_t buffer_bytes, std::vector<std::string> ip_filters, std::vector<uint16_t> port_filters,
                   ChoiceText output_type, ChoiceText tunnels, bool dedup,
                   PyObject* idle) -> PyObject* {
                    SignalCheck signals;
                    SplitOptions options{std::move(input_path), std::move(output_dir), std::move(strategy),
                                         max_sessions,          size_t(buffer_bytes),  std::move(ip_filters),
                                         std::move(port_filters), std::move(output_type), &signals};
                    options.tunnels = std::move(tunnels);
                    options.dedup = dedup;
                    if (!idle_timeouts_from(idle, options.idle)) return nullptr;
                    auto status = split_capture(options);
                    if (!status) return raise(status.error());
                    Py_RETURN_NONE;
                });
}

PyObject* create_archive(PyObject*, PyObject* args, PyObject* kwargs) {
    return call(kCreateArchive, args, kwargs,
                [](std::string input_path, std::string output_path, ChoiceText strategy, uint32_t max_sessions,
                   std::vector<std::string> ip_filters, std::vector<uint16_t> port_filters,
                   ChoiceText tunnels, bool dedup, PyObject* idle) -> PyObject* {
                    if (auto refused = output_among_inputs(output_path, {input_path}))
                        return raise({PyExc_ValueError, *refused});
                    SignalCheck signals;
                    archive::BuildOptions options{std::move(input_path), std::move(output_path), std::move(strategy),
                                                  max_sessions, std::move(ip_filters), std::move(port_filters),
                                                  &signals};
                    options.tunnels = std::move(tunnels);
                    options.dedup = dedup;
                    if (!idle_timeouts_from(idle, options.idle)) return nullptr;
                    auto status = archive::build_archive(options);
                    if (!status) return raise(status.error());
                    Py_RETURN_NONE;
                });
}

PyObject* read_flows(PyObject*, PyObject* args, PyObject* kwargs) {
    return call(kReadFlows, args, kwargs,
                [](std::string input_path, ChoiceText strategy, uint32_t max_sessions,
                   std::vector<std::string> ip_filters, std::vector<uint16_t> port_filters,
                   ChoiceText tunnels, bool dedup, PyObject* idle) -> PyObject* {
                    std::string path = "/tmp/flowsieve_py_" + std::to_string(::getpid()) + ".fsieve";
                    SignalCheck signals;
                    archive::BuildOptions options{std::move(input_path), path, std::move(strategy), max_sessions,
                                                  std::move(ip_filters), std::move(port_filters), &signals};
                    options.tunnels = std::move(tunnels);
                    options.dedup = dedup;
                    if (!idle_timeouts_from(idle, options.idle)) return nullptr;
                    auto built = archive::build_private_archive(options);
                    if (!built) return raise(built.error());
                    const std::optional<FileId> id = file_id(built->get());
                    if (!id) return raise(CallError::io(os_error_text(errno)));
                    // Read through the descriptor that wrote it: the path may name another file by now.
                    auto reader = archive::open_archive(std::move(built).value());
                    if (!reader) {
                        unlink_if_same(AT_FDCWD, path.c_str(), *id);
                        return raise(CallError::io(reader.error(), path));
                    }
                    PyObject* result = new_archive(std::move(reader).value(), path, TemporaryArchive{path, *id});
                    if (!result) unlink_if_same(AT_FDCWD, path.c_str(), *id);
                    return result;
                });
}

PyObject* pipe_archive(PyObject*, PyObject* args, PyObject* kwargs) {
    return call(kPipeArchive, args, kwargs, [](std::string path) -> PyObject* {
        auto reader = archive::open_archive(path);
        if (!reader) return raise(CallError::io(reader.error(), path));
        const auto& records = reader.value()->records();
        if (auto found = archive::find_packets(*reader.value(), archive::all_flows(*reader.value()), path); !found)
            return raise(found.error());
        archive::ExportBudget budget(*reader.value());
        Ref list(PyList_New(Py_ssize_t(records.size())));
        if (!list) return nullptr;
        for (size_t i = 0; i < records.size(); ++i) {
            if (PyErr_CheckSignals() != 0) return nullptr;
            auto pcap = archive::FlowPcap::of(*reader.value(), records[i], budget);
            if (!pcap) return raise(CallError::runtime(pcap.error().message));
            PyObject* bytes = PyBytes_FromStringAndSize(nullptr, Py_ssize_t(pcap->size()));
            if (!bytes) return nullptr;
            pcap->write(reinterpret_cast<uint8_t*>(PyBytes_AsString(bytes)));
            PyList_SetItem(list.get(), Py_ssize_t(i), bytes);
        }
        return list.release();
    });
}

PyMethodDef kFunctions[] = {
    {"create_archive", keywords(create_archive), METH_VARARGS | METH_KEYWORDS,
     "create_archive(input_path, output_path, strategy=\"session\", max_sessions=10000, ip_filters=..., "
     "port_filters=..., tunnels=\"outer\", *, dedup=False, idle_timeouts=None)\n--\n\n"
     "Create a .fsieve archive from a pcap/pcapng file."},
    {"split", keywords(split), METH_VARARGS | METH_KEYWORDS,
     "split(input_path, output_dir, strategy=\"session\", max_sessions=10000, buffer_bytes=10000, "
     "ip_filters=..., port_filters=..., output_type=\"pcap\", tunnels=\"outer\", *, dedup=False, idle_timeouts=None)\n--\n\n"
     "Split a pcap/pcapng file into per-flow pcap or L7 files."},
    {"pipe_archive", keywords(pipe_archive), METH_VARARGS | METH_KEYWORDS,
     "pipe_archive(archive_path)\n--\n\nYield each flow from a .fsieve archive as a complete pcap file (bytes).\n"
     "Returns a list of bytes; each bytes object is a standalone pcap file."},
    {"flow_arrays", keywords(flow_arrays), METH_VARARGS | METH_KEYWORDS,
     "flow_arrays(source, strategy=None, packets=8, packet_bytes=0, payload_bytes=0, anonymize=True, "
     "flows=None, ip_filters=..., port_filters=..., tunnels=\"outer\", *, dedup=False, idle_timeouts=None)\n--\n\n"
     "A capture's flows (a path, or \"-\" for standard input) or an Archive's as NumPy arrays, one row per flow.\n\n"
     "Returns a FlowArrays whose attributes are the arrays: the flow's fields and counts, the sizes,\n"
     "directions, gaps and TCP flags of its first `packets` packets (the earliest, in time order), their\n"
     "first `packet_bytes` bytes from the IP header on, and the first `payload_bytes` bytes of its payload."},
    {"read_flows", keywords(read_flows), METH_VARARGS | METH_KEYWORDS,
     "read_flows(input_path, strategy=\"session\", max_sessions=10000, ip_filters=..., port_filters=..., "
     "tunnels=\"outer\", *, dedup=False, idle_timeouts=None)\n--\n\n"
     "Directly read a pcap/pcapng file and return all flows as an Archive.\n\n"
     "Internally creates a temporary .fsieve archive, opens it, and returns\n"
     "the Archive. The temp file is cleaned up when the Archive is garbage collected."},
};

PyModuleDef kModuleDef = {PyModuleDef_HEAD_INIT, kModuleName, "", 0, nullptr, nullptr, nullptr, nullptr, nullptr};

PyObject* the_module = nullptr;

// Adds obj (a new reference, consumed) under name and lists it in __all__.
bool add_public(PyObject* module, const char* name, PyObject* obj) {
    if (!obj) return false;
    PyObject* all = PyObject_GetAttrString(module, "__all__");
    if (!all) {
        PyErr_Clear();
        all = PyList_New(0);
        if (!all || PyModule_AddObject(module, "__all__", all) != 0) {
            Py_XDECREF(all);
            Py_DECREF(obj);
            return false;
        }
        Py_INCREF(all);
    }
    PyObject* text = PyUnicode_FromString(name);
    bool listed = text && PyList_Append(all, text) == 0;
    Py_XDECREF(text);
    Py_DECREF(all);
    if (!listed || PyModule_AddObject(module, name, obj) != 0) {
        Py_DECREF(obj);
        return false;
    }
    return true;
}

PyObject* new_ref(PyObject* o) {
    Py_INCREF(o);
    return o;
}

PyObject* new_function(PyMethodDef* def) {
    PyObject* module_name = PyUnicode_FromString(kModuleName);
    if (!module_name) return nullptr;
    PyObject* fn = PyCFunction_NewEx(def, nullptr, module_name);
    Py_DECREF(module_name);
    return fn;
}

}  // namespace
}  // namespace flowsieve::python

extern "C" __attribute__((visibility("default"))) PyObject* PyInit_flowsieve() {
    using namespace flowsieve::python;
    if (the_module) {
        PyErr_SetString(PyExc_ImportError,
                        "flowsieve may be initialised only once per interpreter process");
        return nullptr;
    }
    PyObject* module = PyModule_Create2(&kModuleDef, 3);
    if (!module) return nullptr;
    if (!PanicException) {
        PanicException = PyErr_NewExceptionWithDoc(
            "flowsieve.PanicException", "A fault inside flowsieve: a broken internal invariant.",
            PyExc_BaseException, nullptr);
        if (!PanicException) {
            Py_DECREF(module);
            return nullptr;
        }
    }
    const ArchiveTypes types = create_archive_types();
    bool added = types.archive && add_public(module, "Archive", new_ref(types.archive)) &&
                 add_public(module, "Flow", new_ref(types.flow)) &&
                 add_public(module, "Packet", new_ref(types.packet)) &&
                 add_public(module, "Store", new_ref(types.store));
    PyObject* flow_arrays_type = added ? create_flow_arrays_type() : nullptr;
    added = flow_arrays_type && add_public(module, "FlowArrays", new_ref(flow_arrays_type));
    for (PyMethodDef& def : kFunctions) added = added && add_public(module, def.ml_name, new_function(&def));
    added = added && PyModule_AddStringConstant(module, "__version__", FLOWSIEVE_VERSION) == 0;
    if (!added) {
        Py_DECREF(module);
        return nullptr;
    }
    the_module = module;  // kept for the life of the process
    Py_INCREF(module);
    return module;
}
