// What the operations called from outside the core take and return: choice
// texts, and failures named after the Python exception they become.
#pragma once

#include <string>

#include "util/result.hpp"

namespace flowsieve {

// A failure of a whole operation. A Panic is a broken invariant, not an
// ordinary error.
struct CallError {
    // Interrupted: a progress observer asked the operation to stop.
    // NotFound: nothing to work on where the caller pointed (FileNotFoundError).
    enum class Kind { ValueError, IOError, NotFound, RuntimeError, Panic, Interrupted };
    Kind kind;
    std::string message;
    int os_errno = 0;  // of an operating-system failure, else 0
    std::string path{};  // the file the failure is about, when there is one

    static CallError value(std::string m) { return {Kind::ValueError, std::move(m)}; }
    static CallError io(std::string m) { return {Kind::IOError, std::move(m)}; }
    // `path` unless the error names a file itself.
    static CallError io(Error e, std::string path) {
        return {Kind::IOError, std::move(e.message), e.os_errno, e.path.empty() ? std::move(path) : std::move(e.path)};
    }
    static CallError runtime(Error e, std::string path) {
        return {Kind::RuntimeError, std::move(e.message), e.os_errno,
                e.path.empty() ? std::move(path) : std::move(e.path)};
    }
    static CallError runtime(std::string m) { return {Kind::RuntimeError, std::move(m)}; }
    static CallError not_found(std::string m) { return {Kind::NotFound, std::move(m)}; }
    static CallError interrupted() { return {Kind::Interrupted, "Interrupted"}; }

    // Names the file, unless a more precise one is named already.
    CallError about(const std::string& file) && {
        if (path.empty()) path = file;
        return std::move(*this);
    }
};

// A choice named by text: as the caller gave it and after full Unicode
// lower-casing (done by the caller, which has the interpreter's tables).
struct ChoiceText {
    std::string given;
    std::string lowered;
};

}  // namespace flowsieve
