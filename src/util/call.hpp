// What the operations called from outside the core take and return: choice
// texts, and failures named after the Python exception they become.
#pragma once

#include <string>

namespace flowsieve {

// A failure of a whole operation. A Panic is a broken invariant, not an
// ordinary error.
struct CallError {
    // Interrupted: a progress observer asked the operation to stop.
    enum class Kind { ValueError, IOError, RuntimeError, Panic, Interrupted };
    Kind kind;
    std::string message;

    static CallError value(std::string m) { return {Kind::ValueError, std::move(m)}; }
    static CallError io(std::string m) { return {Kind::IOError, std::move(m)}; }
    static CallError runtime(std::string m) { return {Kind::RuntimeError, std::move(m)}; }
    static CallError interrupted() { return {Kind::Interrupted, "Interrupted"}; }
};

// A choice named by text: as the caller gave it and after full Unicode
// lower-casing (done by the caller, which has the interpreter's tables).
struct ChoiceText {
    std::string given;
    std::string lowered;
};

}  // namespace flowsieve
