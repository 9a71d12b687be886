// The flowsieve extension module: its functions convert their arguments,
// call one core operation and turn its failure into a Python exception.
#include <exception>
#include <new>

#include "python/args.hpp"
#include "split/driver.hpp"

namespace flowsieve::python {
namespace {

constexpr const char* kModuleName = "flowsieve";

PyObject* split_error_to_exception(const SplitError& e) {
    switch (e.kind) {
        case SplitError::Kind::ValueError: return raise({PyExc_ValueError, e.message});
        case SplitError::Kind::IOError: return raise({PyExc_IOError, e.message});
        case SplitError::Kind::RuntimeError: return raise({PyExc_RuntimeError, e.message});
        case SplitError::Kind::Panic: break;
    }
    return raise({PanicException, e.message});
}

// Runs a function body, reporting any escaping C++ exception as a panic.
template <class Body>
PyObject* guarded(Body body) {
    try {
        return body();
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    } catch (const std::exception& e) {
        return raise({PanicException, e.what()});
    } catch (...) {
        return raise({PanicException, "unknown fault"});
    }
}

const Signature kSplitSignature{
    "split",
    {"input_path", "output_dir", "strategy", "max_sessions", "buffer_bytes", "ip_filters", "port_filters",
     "output_type"},
    2};

PyObject* split(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        BoundArgs a(kSplitSignature, args, kwargs);
        if (!a.ok()) return nullptr;
        SplitOptions o;
        auto input_path = a.text(0, "");
        if (!input_path) return nullptr;
        auto output_dir = a.text(1, "");
        if (!output_dir) return nullptr;
        auto strategy = a.text(2, "session");
        if (!strategy) return nullptr;
        auto max_sessions = a.u32(3, 10000);
        if (!max_sessions) return nullptr;
        auto buffer_bytes = a.u64(4, 10000);
        if (!buffer_bytes) return nullptr;
        auto ip_filters = a.texts(5);
        if (!ip_filters) return nullptr;
        auto port_filters = a.u16s(6);
        if (!port_filters) return nullptr;
        auto output_type = a.text(7, "pcap");
        if (!output_type) return nullptr;
        auto strategy_lowered = a.lowered(2, "session");
        if (!strategy_lowered) return nullptr;
        auto output_type_lowered = a.lowered(7, "pcap");
        if (!output_type_lowered) return nullptr;

        o.input_path = std::move(*input_path);
        o.output_dir = std::move(*output_dir);
        o.strategy = {std::move(*strategy), std::move(*strategy_lowered)};
        o.max_sessions = *max_sessions;
        o.buffer_bytes = size_t(*buffer_bytes);
        o.ip_filters = std::move(*ip_filters);
        o.port_filters = std::move(*port_filters);
        o.output_type = {std::move(*output_type), std::move(*output_type_lowered)};
        auto status = split_capture(o);
        if (!status) return split_error_to_exception(status.error());
        Py_RETURN_NONE;
    });
}

PyMethodDef kSplitDef = {
    "split", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(split)), METH_VARARGS | METH_KEYWORDS,
    "split(input_path, output_dir, strategy=\"session\", max_sessions=10000, buffer_bytes=10000, "
    "ip_filters=..., port_filters=..., output_type=\"pcap\")\n--\n\n"
    "Split a pcap/pcapng file into per-flow pcap or L7 files."};

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
    if (!add_public(module, "split", new_function(&kSplitDef))) {
        Py_DECREF(module);
        return nullptr;
    }
    the_module = module;  // kept for the life of the process
    Py_INCREF(module);
    return module;
}
