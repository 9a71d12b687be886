// Binding of positional and keyword arguments to named parameters, the
// converters for each parameter type, and the one place where a failure of
// the core becomes a Python exception.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <initializer_list>
#include <optional>
#include <string>
#include <vector>

namespace flowsieve::python {

// An exception to raise: created from the pair only when raised.
struct PyFailure {
    PyObject* type;
    std::string message;
};

// Sets the pending Python exception; returns nullptr for `return raise(...)`.
PyObject* raise(const PyFailure& failure);

// Raised for broken invariants; derives from BaseException.
extern PyObject* PanicException;

struct Signature {
    const char* name;  // "split" or "Archive.find_by_ip"
    std::vector<const char*> params;
    size_t required;
};

// The bound values, one per parameter; nullptr where the default applies.
// Borrowed references, valid while the call's arguments live.
class BoundArgs {
public:
    // Binds args and kwargs; on failure a TypeError is pending and ok() is false.
    BoundArgs(const Signature& sig, PyObject* args, PyObject* kwargs);
    bool ok() const { return ok_; }
    PyObject* operator[](size_t i) const { return values_[i]; }

    // Converters: nullopt with a Python exception pending on failure. The
    // parameter's name prefixes a TypeError's message.
    std::optional<std::string> text(size_t i, const char* fallback) const;
    std::optional<uint64_t> u64(size_t i, uint64_t fallback) const;
    std::optional<uint32_t> u32(size_t i, uint32_t fallback) const;
    std::optional<std::vector<std::string>> texts(size_t i) const;
    std::optional<std::vector<uint16_t>> u16s(size_t i) const;
    // The value lower-cased by str.lower (full Unicode lower-casing).
    std::optional<std::string> lowered(size_t i, const char* fallback) const;

private:
    void prefix_type_error(size_t i) const;

    const Signature& sig_;
    std::vector<PyObject*> values_;
    bool ok_ = false;
};

}  // namespace flowsieve::python
