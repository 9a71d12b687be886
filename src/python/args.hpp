// Binding of positional and keyword arguments to named parameters, the
// converters for each parameter type, and the one place where a failure of
// the core becomes a Python exception.
//
// A function declares its parameters once, as a signature of typed
// parameters, and receives converted C++ values:
//
//   constexpr auto kSig = signature("Archive.get_flow", 1, U64Arg{"flow_id"});
//   return call(kSig, args, kwargs, [&](uint64_t id) -> PyObject* { ... });
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <array>
#include <cstdint>
#include <exception>
#include <new>
#include <optional>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "flow/connection.hpp"
#include "util/call.hpp"
#include "util/growing_mapping.hpp"
#include "util/progress.hpp"

namespace flowsieve::python {

// An exception to raise: created from the pair only when raised.
struct PyFailure {
    PyObject* type;
    std::string message;
};

// Sets the pending Python exception; returns nullptr for `return raise(...)`.
PyObject* raise(const PyFailure& failure);
// A core failure as the exception of its kind, with its message. An
// IOError with an error number becomes the OSError subclass the number
// selects (FileNotFoundError, PermissionError, ...), with errno, strerror
// and filename set and the message as its text.
PyObject* raise(const CallError& error);

// The type's name, for messages.
std::string type_name(PyObject* obj);
// The UTF-8 text of a str; nullopt with a TypeError pending otherwise.
std::optional<std::string> utf8_text(PyObject* obj);

// A path as a str, its bytes decoded as os.fsdecode does.
PyObject* path_object(const std::string& path);

// Runs the interpreter's signal handlers while a long operation works: a
// handler that raises (KeyboardInterrupt by default) stops the operation,
// and its exception propagates.
class SignalCheck final : public ProgressObserver {
public:
    bool keep_going(const Progress&) override { return PyErr_CheckSignals() == 0; }
};

// Raised for broken invariants; derives from BaseException.
extern PyObject* PanicException;

// Typed parameters. Each converts to the C++ value its `type` names; the
// fallback serves an omitted optional parameter.
struct TextArg {
    using type = std::string;
    const char* name;
    const char* fallback = nullptr;
};
struct PathArg {  // str, bytes or any os.PathLike, as os.fsencode(os.fspath(...)) gives it
    using type = std::string;
    const char* name;
};
struct ChoiceArg {  // text, also lower-cased by str.lower
    using type = ChoiceText;
    const char* name;
    const char* fallback = nullptr;
};
struct U16Arg {
    using type = uint16_t;
    const char* name;
};
struct U32Arg {
    using type = uint32_t;
    const char* name;
    uint32_t fallback;
};
struct U64Arg {
    using type = uint64_t;
    const char* name;
    uint64_t fallback = 0;
};
struct ObjectArg {  // any object, borrowed; nullptr when omitted
    using type = PyObject*;
    const char* name;
};
struct BoolArg {  // any object's truth
    using type = bool;
    const char* name;
    bool fallback;
};
struct CountArg {  // a ValueError naming the parameter when negative or above max
    using type = uint32_t;
    const char* name;
    uint32_t fallback;
    uint32_t max;
};
struct TextListArg {  // defaults to empty
    using type = std::vector<std::string>;
    const char* name;
};
struct PortListArg {  // defaults to empty
    using type = std::vector<uint16_t>;
    const char* name;
};

// `idle_timeouts`: None, or a mapping of "tcp", "udp" and "icmp" to
// seconds; false with the exception set.
bool idle_timeouts_from(PyObject* mapping, IdleTimeouts& out);

template <class... Params>
struct Signature {
    const char* name;  // "split" or "Archive.find_by_ip"
    size_t required;   // the leading parameters without a default
    std::tuple<Params...> params;
    std::array<const char*, sizeof...(Params)> names;
    size_t positional = sizeof...(Params);  // the leading parameters that may be given by position
};

template <class... Params>
constexpr Signature<Params...> signature(const char* name, size_t required, Params... params) {
    return {name, required, {params...}, {params.name...}};
}

// The signature with only its first `positional` parameters given by
// position, the rest by keyword only.
template <class... Params>
constexpr Signature<Params...> positional_first(size_t positional, Signature<Params...> s) {
    s.positional = positional;
    return s;
}

// Parameters that are all optional and given by keyword only.
template <class... Params>
constexpr Signature<Params...> keyword_signature(const char* name, Params... params) {
    return {name, 0, {params...}, {params.name...}, 0};
}

// The bound values, one per parameter; nullptr where the default applies.
// Borrowed references, valid while the call's arguments live.
class BoundArgs {
public:
    // Binds args and kwargs; on failure a TypeError is pending and ok() is false.
    BoundArgs(const char* name, const char* const* params, size_t n_params, size_t required, size_t positional,
              PyObject* args, PyObject* kwargs);
    bool ok() const { return ok_; }

    // Converters: nullopt with a Python exception pending on failure. The
    // parameter's name prefixes a TypeError's message.
    std::optional<std::string> convert(const TextArg& p, size_t i) const;
    std::optional<std::string> convert(const PathArg& p, size_t i) const;
    std::optional<ChoiceText> convert(const ChoiceArg& p, size_t i) const;
    std::optional<uint16_t> convert(const U16Arg& p, size_t i) const;
    std::optional<uint32_t> convert(const U32Arg& p, size_t i) const;
    std::optional<uint64_t> convert(const U64Arg& p, size_t i) const;
    std::optional<std::vector<std::string>> convert(const TextListArg& p, size_t i) const;
    std::optional<std::vector<uint16_t>> convert(const PortListArg& p, size_t i) const;
    std::optional<PyObject*> convert(const ObjectArg& p, size_t i) const;
    std::optional<bool> convert(const BoolArg& p, size_t i) const;
    std::optional<uint32_t> convert(const CountArg& p, size_t i) const;

private:
    void prefix_type_error(size_t i) const;

    const char* const* params_;
    std::vector<PyObject*> values_;
    bool ok_ = false;
};

// The converters of a path and of a choice, for an argument whose kind
// depends on another's; a TypeError names the parameter.
std::optional<std::string> path_argument(PyObject* value, const char* name);
std::optional<ChoiceText> choice_argument(PyObject* value, const char* name);
void prefix_type_error(const char* name);

// Runs a function body, reporting an escaping C++ exception as a panic (or
// MemoryError for a failed allocation).
template <class Body>
PyObject* guarded(Body&& body) {
    try {
        return body();
    } catch (const AllocationRefused& e) {
        return raise({PyExc_MemoryError, e.what()});
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    } catch (const std::exception& e) {
        return raise(PyFailure{PanicException, e.what()});
    } catch (...) {
        return raise(PyFailure{PanicException, "unknown fault"});
    }
}

namespace detail {
template <class Sig, class Body, size_t... I>
PyObject* convert_and_call(const Sig& sig, const BoundArgs& a, Body& body, std::index_sequence<I...>) {
    std::tuple<std::optional<typename std::tuple_element_t<I, decltype(sig.params)>::type>...> values;
    // In parameter order; the first failure stops the rest.
    const bool ok = ((std::get<I>(values) = a.convert(std::get<I>(sig.params), I), std::get<I>(values).has_value()) &&
                     ...);
    if (!ok) return nullptr;
    return body(std::move(*std::get<I>(values))...);
}
}  // namespace detail

// Binds and converts the arguments by the signature, then returns
// body(converted values...).
template <class... Params, class Body>
PyObject* call(const Signature<Params...>& sig, PyObject* args, PyObject* kwargs, Body&& body) {
    return guarded([&]() -> PyObject* {
        BoundArgs a(sig.name, sig.names.data(), sizeof...(Params), sig.required, sig.positional, args, kwargs);
        if (!a.ok()) return nullptr;
        return detail::convert_and_call(sig, a, body, std::index_sequence_for<Params...>{});
    });
}

// A function taking (self, args, kwargs) as a method table's entry.
template <class F>
PyCFunction keywords(F f) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f));
}

// An owned reference, released on every path out.
class Ref {
public:
    explicit Ref(PyObject* o = nullptr) : o_(o) {}
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    ~Ref() { Py_XDECREF(o_); }
    PyObject* get() const { return o_; }
    PyObject* release() { return std::exchange(o_, nullptr); }
    void reset(PyObject* o) { Py_XDECREF(std::exchange(o_, o)); }
    explicit operator bool() const { return o_ != nullptr; }

private:
    PyObject* o_;
};

}  // namespace flowsieve::python
