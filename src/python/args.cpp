#include "python/args.hpp"

#include <cctype>
#include <cerrno>
#include <cstring>
#include <deque>
#include <limits>

#include "util/os_error.hpp"

namespace flowsieve::python {

PyObject* PanicException = nullptr;

std::string type_name(PyObject* obj) {
    Ref name(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(obj)), "__name__"));
    if (!name) {
        PyErr_Clear();
        return "?";
    }
    Ref utf8(PyUnicode_AsUTF8String(name.get()));
    if (!utf8) {
        PyErr_Clear();
        return "?";
    }
    return PyBytes_AsString(utf8.get());
}

std::optional<std::string> utf8_text(PyObject* obj) {
    if (!PyUnicode_Check(obj)) {
        raise({PyExc_TypeError, "'" + type_name(obj) + "' object cannot be converted to 'PyString'"});
        return std::nullopt;
    }
    Ref bytes(PyUnicode_AsUTF8String(obj));
    if (!bytes) return std::nullopt;
    char* data;
    Py_ssize_t size;
    if (PyBytes_AsStringAndSize(bytes.get(), &data, &size) != 0) return std::nullopt;
    return std::string(data, size_t(size));
}

namespace {

std::string call_name(const char* name) { return std::string(name) + "()"; }

constexpr const char* kOutOfRange = "out of range integral type conversion attempted";

// An integer within [0, max] through __index__; out of range is an
// OverflowError with one fixed message, whatever the size.
std::optional<uint64_t> bounded_integer(PyObject* obj, uint64_t max) {
    Ref index(PyNumber_Index(obj));
    if (!index) return std::nullopt;
    int overflow = 0;
    long long value = PyLong_AsLongLongAndOverflow(index.get(), &overflow);
    if (value == -1 && PyErr_Occurred()) return std::nullopt;
    if (overflow || value < 0 || uint64_t(value) > max) {
        raise({PyExc_OverflowError, kOutOfRange});
        return std::nullopt;
    }
    return uint64_t(value);
}

// Applies `convert` to each item of a sequence that is not a str.
template <class T, class Convert>
std::optional<std::vector<T>> sequence_of(PyObject* obj, Convert convert) {
    if (PyUnicode_Check(obj)) {
        raise({PyExc_TypeError, "Can't extract `str` to `Vec`"});
        return std::nullopt;
    }
    if (!PySequence_Check(obj)) {
        raise({PyExc_TypeError, "'" + type_name(obj) + "' object cannot be converted to 'Sequence'"});
        return std::nullopt;
    }
    Ref iter(PyObject_GetIter(obj));
    if (!iter) return std::nullopt;
    std::vector<T> out;
    while (PyObject* raw = PyIter_Next(iter.get())) {
        Ref item(raw);
        auto value = convert(item.get());
        if (!value) return std::nullopt;
        out.push_back(std::move(*value));
    }
    if (PyErr_Occurred()) return std::nullopt;
    return out;
}

// The subclasses of OSError that the module raises keep the message as
// their text: OSError's own str puts "[Errno N]" and the file name around
// strerror. Each is made once, under the name of the class it derives from.
PyObject* message_str(PyObject* self) {
    Ref args(PyObject_GetAttrString(self, "args"));
    if (!args) return nullptr;
    if (PyTuple_Check(args.get()) && PyTuple_Size(args.get()) == 1) return PyObject_Str(PyTuple_GetItem(args.get(), 0));
    // Arguments changed by the caller: OSError's own text.
    Ref str(PyObject_GetAttrString(PyExc_OSError, "__str__"));
    return str ? PyObject_CallFunctionObjArgs(str.get(), self, nullptr) : nullptr;
}

// Pickles as the built-in class, which a receiving process can find.
PyObject* message_reduce(PyObject* self, PyObject*) {
    Ref errnum(PyObject_GetAttrString(self, "errno"));
    Ref strerror(errnum ? PyObject_GetAttrString(self, "strerror") : nullptr);
    Ref filename(strerror ? PyObject_GetAttrString(self, "filename") : nullptr);
    if (!filename) return nullptr;
    Ref bases(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(self)), "__bases__"));
    if (!bases) return nullptr;
    return Py_BuildValue("(O(OOO))", PyTuple_GetItem(bases.get(), 0), errnum.get(), strerror.get(), filename.get());
}

PyMethodDef kMessageMethods[] = {
    {"__reduce__", message_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyObject* message_class(PyObject* base) {
    static std::deque<std::pair<PyObject*, PyObject*>> made;  // (base, class), kept for the process
    static std::deque<std::string> names;                     // the classes' tp_name points here
    for (const auto& [b, c] : made)
        if (b == base) return c;
    Ref base_name(PyObject_GetAttrString(base, "__name__"));
    auto name = base_name ? utf8_text(base_name.get()) : std::nullopt;
    if (!name) return nullptr;
    names.push_back("flowsieve." + *name);
    PyType_Slot slots[] = {
        {Py_tp_str, reinterpret_cast<void*>(message_str)},
        {Py_tp_methods, kMessageMethods},
        {0, nullptr},
    };
    PyType_Spec definition = {names.back().c_str(), 0, 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE, slots};
    Ref bases(PyTuple_Pack(1, base));
    PyObject* made_class = bases ? PyType_FromSpecWithBases(&definition, bases.get()) : nullptr;
    if (!made_class) {
        names.pop_back();
        return nullptr;
    }
    made.emplace_back(base, made_class);
    return made_class;
}

// The OSError subclass of the error number, with errno, strerror and
// filename set and `message` as its text.
PyObject* raise_os_error(const CallError& e) {
    const std::string strerror = strerror_text(e.os_errno);
    // OSError itself picks the subclass of the number.
    Ref probe(PyObject_CallFunction(PyExc_OSError, "is", e.os_errno, strerror.c_str()));
    if (!probe) return nullptr;
    PyObject* type = message_class(reinterpret_cast<PyObject*>(Py_TYPE(probe.get())));
    if (!type) return nullptr;
    Ref filename(e.path.empty() ? (Py_INCREF(Py_None), Py_None)
                                : PyUnicode_DecodeFSDefaultAndSize(e.path.data(), Py_ssize_t(e.path.size())));
    Ref text(PyUnicode_DecodeUTF8(e.message.data(), Py_ssize_t(e.message.size()), "replace"));
    if (!filename || !text) return nullptr;
    Ref exc(PyObject_CallFunction(type, "isO", e.os_errno, strerror.c_str(), filename.get()));
    Ref args(exc ? PyTuple_Pack(1, text.get()) : nullptr);
    if (!args || PyObject_SetAttrString(exc.get(), "args", args.get()) != 0) return nullptr;
    PyErr_SetObject(type, exc.get());
    return nullptr;
}

}  // namespace

PyObject* raise(const PyFailure& failure) {
    // Messages may quote caller text holding NUL characters: keep them whole.
    Ref message(PyUnicode_DecodeUTF8(failure.message.data(), Py_ssize_t(failure.message.size()), "replace"));
    if (message) PyErr_SetObject(failure.type, message.get());
    return nullptr;
}

PyObject* raise(const CallError& e) {
    switch (e.kind) {
        case CallError::Kind::ValueError: return raise({PyExc_ValueError, e.message});
        case CallError::Kind::IOError:
            return e.os_errno ? raise_os_error(e) : raise({PyExc_IOError, e.message});
        case CallError::Kind::NotFound: {
            CallError missing = e;
            missing.os_errno = ENOENT;
            return raise_os_error(missing);
        }
        case CallError::Kind::RuntimeError: return raise({PyExc_RuntimeError, e.message});
        case CallError::Kind::Interrupted:
            // The signal handler's exception is pending already.
            return PyErr_Occurred() ? nullptr : raise({PyExc_KeyboardInterrupt, e.message});
        case CallError::Kind::Panic: break;
    }
    return raise({PanicException, e.message});
}

BoundArgs::BoundArgs(const char* name, const char* const* params, size_t n_params, size_t required,
                     size_t positional, PyObject* args, PyObject* kwargs)
    : params_(params), values_(n_params, nullptr) {
    const size_t n_args = args ? size_t(PyTuple_Size(args)) : 0;
    if (n_args > positional) {
        std::string m = call_name(name);
        if (required == positional)
            m += " takes " + std::to_string(positional);
        else
            m += " takes from " + std::to_string(required) + " to " + std::to_string(positional);
        m += " positional arguments but " + std::to_string(n_args) + (n_args == 1 ? " was" : " were") + " given";
        raise({PyExc_TypeError, m});
        return;
    }
    for (size_t i = 0; i < n_args; ++i) values_[i] = PyTuple_GetItem(args, Py_ssize_t(i));

    if (kwargs) {
        Py_ssize_t pos = 0;
        PyObject *key, *value;
        while (PyDict_Next(kwargs, &pos, &key, &value)) {
            auto keyword = PyUnicode_Check(key) ? utf8_text(key) : std::nullopt;
            if (!keyword) {
                PyErr_Clear();
                raise({PyExc_TypeError, call_name(name) + " keywords must be strings"});
                return;
            }
            size_t i = 0;
            while (i < n_params && *keyword != params[i]) ++i;
            if (i == n_params) {
                raise({PyExc_TypeError, call_name(name) + " got an unexpected keyword argument '" + *keyword + "'"});
                return;
            }
            if (values_[i]) {
                raise({PyExc_TypeError, call_name(name) + " got multiple values for argument '" + *keyword + "'"});
                return;
            }
            values_[i] = value;
        }
    }

    std::vector<const char*> missing;
    for (size_t i = 0; i < required; ++i)
        if (!values_[i]) missing.push_back(params[i]);
    if (!missing.empty()) {
        std::string m = call_name(name) + " missing " + std::to_string(missing.size()) + " required positional " +
                        (missing.size() == 1 ? "argument" : "arguments") + ": ";
        for (size_t i = 0; i < missing.size(); ++i) {
            if (i) {
                if (missing.size() > 2) m += ",";
                m += i + 1 == missing.size() ? " and " : " ";
            }
            m += std::string("'") + missing[i] + "'";
        }
        raise({PyExc_TypeError, m});
        return;
    }
    ok_ = true;
}

void prefix_type_error(const char* name) {
    if (!PyErr_ExceptionMatches(PyExc_TypeError)) return;
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    Ref t(type), v(value), tb(traceback);
    std::string message;
    if (v) {
        Ref text(PyObject_Str(v.get()));
        auto utf8 = text ? utf8_text(text.get()) : std::nullopt;
        PyErr_Clear();
        message = utf8.value_or("");
    }
    raise({PyExc_TypeError, std::string("argument '") + name + "': " + message});
}

void BoundArgs::prefix_type_error(size_t i) const { python::prefix_type_error(params_[i]); }

std::optional<std::string> BoundArgs::convert(const TextArg& p, size_t i) const {
    if (!values_[i]) return std::string(p.fallback ? p.fallback : "");
    auto out = utf8_text(values_[i]);
    if (!out) prefix_type_error(i);
    return out;
}

std::optional<std::string> path_argument(PyObject* value, const char* name) {
    // As open() takes a path: os.fspath, then a str encoded as os.fsencode
    // encodes it, so that a name that is not UTF-8 (a str with surrogate
    // escapes, as os.listdir gives it) names its file again.
    Ref path(PyOS_FSPath(value));
    if (!path) {
        if (!PyErr_ExceptionMatches(PyExc_TypeError)) return std::nullopt;
        PyErr_Clear();  // not path-like: the text parameter's message
        (void)utf8_text(value);
        prefix_type_error(name);
        return std::nullopt;
    }
    Ref bytes(PyUnicode_Check(path.get()) ? PyUnicode_EncodeFSDefault(path.get()) : path.release());
    char* data;
    Py_ssize_t size;
    if (!bytes || PyBytes_AsStringAndSize(bytes.get(), &data, &size) != 0) return std::nullopt;
    // The C library would read the name only up to it: another file.
    if (std::memchr(data, 0, size_t(size))) {
        raise({PyExc_ValueError, "embedded null byte"});
        return std::nullopt;
    }
    return std::string(data, size_t(size));
}

PyObject* path_object(const std::string& path) {
    return PyUnicode_DecodeFSDefaultAndSize(path.data(), Py_ssize_t(path.size()));
}

std::optional<std::string> BoundArgs::convert(const PathArg&, size_t i) const {
    return path_argument(values_[i], params_[i]);
}

std::optional<ChoiceText> choice_argument(PyObject* value, const char* name) {
    auto given = utf8_text(value);
    if (!given) {
        prefix_type_error(name);
        return std::nullopt;
    }
    // str.lower itself, not a subclass's override.
    Ref lower(PyObject_GetAttrString(reinterpret_cast<PyObject*>(&PyUnicode_Type), "lower"));
    if (!lower) return std::nullopt;
    Ref result(PyObject_CallFunctionObjArgs(lower.get(), value, nullptr));
    if (!result) return std::nullopt;
    auto lowered = utf8_text(result.get());
    if (!lowered) return std::nullopt;
    return ChoiceText{std::move(*given), std::move(*lowered)};
}

std::optional<ChoiceText> BoundArgs::convert(const ChoiceArg& p, size_t i) const {
    if (!values_[i]) return ChoiceText{p.fallback ? p.fallback : "", p.fallback ? p.fallback : ""};
    return choice_argument(values_[i], params_[i]);
}

std::optional<PyObject*> BoundArgs::convert(const ObjectArg&, size_t i) const { return values_[i]; }

std::optional<bool> BoundArgs::convert(const BoolArg& p, size_t i) const {
    if (!values_[i]) return p.fallback;
    const int truth = PyObject_IsTrue(values_[i]);
    if (truth < 0) return std::nullopt;
    return truth != 0;
}

std::optional<uint32_t> BoundArgs::convert(const CountArg& p, size_t i) const {
    if (!values_[i]) return p.fallback;
    Ref index(PyNumber_Index(values_[i]));
    if (!index) {
        prefix_type_error(i);
        return std::nullopt;
    }
    int overflow = 0;
    const long long value = PyLong_AsLongLongAndOverflow(index.get(), &overflow);
    if (value == -1 && PyErr_Occurred()) return std::nullopt;
    if (overflow < 0 || (overflow == 0 && value < 0)) {
        raise({PyExc_ValueError, std::string(p.name) + " must not be negative"});
        return std::nullopt;
    }
    if (overflow > 0 || uint64_t(value) > p.max) {
        raise({PyExc_ValueError, std::string(p.name) + " must be at most " + std::to_string(p.max)});
        return std::nullopt;
    }
    return uint32_t(value);
}

std::optional<uint64_t> BoundArgs::convert(const U64Arg& p, size_t i) const {
    if (!values_[i]) return p.fallback;
    Ref index(PyNumber_Index(values_[i]));
    if (!index) {
        prefix_type_error(i);
        return std::nullopt;
    }
    unsigned long long value = PyLong_AsUnsignedLongLong(index.get());
    if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
        // A negative value keeps the interpreter's own OverflowError; a value
        // too large gets the same message as the narrower integers.
        int overflow = 0;
        PyErr_Clear();
        long long as_signed = PyLong_AsLongLongAndOverflow(index.get(), &overflow);
        if (overflow < 0 || (overflow == 0 && as_signed < 0)) PyLong_AsUnsignedLongLong(index.get());
        else raise({PyExc_OverflowError, kOutOfRange});
        return std::nullopt;
    }
    return uint64_t(value);
}

std::optional<uint32_t> BoundArgs::convert(const U32Arg& p, size_t i) const {
    if (!values_[i]) return p.fallback;
    auto value = bounded_integer(values_[i], std::numeric_limits<uint32_t>::max());
    if (!value) prefix_type_error(i);
    return value ? std::optional<uint32_t>(uint32_t(*value)) : std::nullopt;
}

std::optional<uint16_t> BoundArgs::convert(const U16Arg&, size_t i) const {
    auto value = bounded_integer(values_[i], std::numeric_limits<uint16_t>::max());
    if (!value) prefix_type_error(i);
    return value ? std::optional<uint16_t>(uint16_t(*value)) : std::nullopt;
}

std::optional<std::vector<std::string>> BoundArgs::convert(const TextListArg&, size_t i) const {
    if (!values_[i]) return std::vector<std::string>{};
    auto out = sequence_of<std::string>(values_[i], utf8_text);
    if (!out) prefix_type_error(i);
    return out;
}

std::optional<std::vector<uint16_t>> BoundArgs::convert(const PortListArg&, size_t i) const {
    if (!values_[i]) return std::vector<uint16_t>{};
    auto out = sequence_of<uint16_t>(values_[i], [](PyObject* item) -> std::optional<uint16_t> {
        auto v = bounded_integer(item, std::numeric_limits<uint16_t>::max());
        return v ? std::optional<uint16_t>(uint16_t(*v)) : std::nullopt;
    });
    if (!out) prefix_type_error(i);
    return out;
}

bool idle_timeouts_from(PyObject* mapping, IdleTimeouts& out) {
    if (!mapping || mapping == Py_None) return true;
    if (!PyDict_Check(mapping)) {
        raise({PyExc_TypeError, "idle_timeouts must be a dict of protocol names to seconds"});
        return false;
    }
    PyObject* key;
    PyObject* value;
    Py_ssize_t at = 0;
    while (PyDict_Next(mapping, &at, &key, &value)) {
        const std::optional<std::string> name = PyUnicode_Check(key) ? utf8_text(key) : std::nullopt;
        if (!name) {
            if (!PyErr_Occurred()) raise({PyExc_TypeError, "idle_timeouts keys must be str"});
            return false;
        }
        const double seconds = PyFloat_AsDouble(value);
        if (seconds == -1.0 && PyErr_Occurred()) return false;
        std::string lowered(*name);
        for (char& c : lowered) c = char(std::tolower(static_cast<unsigned char>(c)));
        if (auto st = out.set(lowered, seconds); !st) {
            raise({PyExc_ValueError, st.error().message});
            return false;
        }
    }
    return true;
}

}  // namespace flowsieve::python
