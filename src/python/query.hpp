// The query arguments of Archive.find and Store.find, converted to the
// core's FlowQuery through the core's reading of their text forms.
#pragma once

#include "python/args.hpp"

#include <optional>

#include "archive/query.hpp"

namespace flowsieve::python {

// The parameters, each optional and given by keyword.
inline constexpr auto query_signature(const char* name) {
    return keyword_signature(name, AnyArg{"ip"}, AnyArg{"port"}, AnyArg{"proto"}, AnyArg{"since"}, AnyArg{"until"},
                             AnyArg{"flow"}, AnyArg{"community_id"});
}

// The query of the arguments (nullptr where not given); nullopt with the
// exception pending when one is of a wrong type (TypeError) or value
// (ValueError), named in the message.
std::optional<archive::FlowQuery> query_of(PyObject* ip, PyObject* port, PyObject* proto, PyObject* since,
                                           PyObject* until, PyObject* flow, PyObject* community_id);

}  // namespace flowsieve::python
