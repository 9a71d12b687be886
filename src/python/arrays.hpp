// flow_arrays: a capture's or an archive's flows as NumPy arrays, and the
// FlowArrays that holds them. NumPy is imported when called, never linked.
#pragma once

#include "python/args.hpp"

namespace flowsieve::python {

// The FlowArrays heap type, made once; nullptr with an exception pending on failure.
PyObject* create_flow_arrays_type();

PyObject* flow_arrays(PyObject* self, PyObject* args, PyObject* kwargs);

}  // namespace flowsieve::python
