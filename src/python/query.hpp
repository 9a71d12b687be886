// The query arguments of Archive.find and Store.find, converted to the
// core's FlowQuery through the core's reading of their text forms.
#pragma once

#include "python/args.hpp"

#include <optional>

#include "archive/query.hpp"

namespace flowsieve::python {

// The parameters, each optional and given by keyword.
inline constexpr auto query_signature(const char* name) {
    return keyword_signature(name, ObjectArg{"ip"}, ObjectArg{"port"}, ObjectArg{"between"},
                             ObjectArg{"between_port"}, ObjectArg{"proto"}, ObjectArg{"since"}, ObjectArg{"until"},
                             ObjectArg{"flow"}, ObjectArg{"community_id"}, ObjectArg{"vni"}, ObjectArg{"name"},
                             ObjectArg{"app"}, ObjectArg{"state"});
}

// The query of the arguments (nullptr or None where not given); nullopt with the
// exception pending when one is of a wrong type (TypeError) or value
// (ValueError), named in the message.
// ip, port and proto take any of their values, between and between_port
// all of theirs, as the command's options of those names; name one pattern
// or a list of which any will do.
std::optional<archive::FlowQuery> query_of(PyObject* ip, PyObject* port, PyObject* between, PyObject* between_port,
                                           PyObject* proto, PyObject* since, PyObject* until, PyObject* flow,
                                           PyObject* community_id, PyObject* vni, PyObject* name, PyObject* app,
                                           PyObject* state);

}  // namespace flowsieve::python
