// Arrays as a .npz file, as numpy.load opens it: a zip archive, stored
// without compression (ZIP64 where sizes need it), of one NAME.npy file per
// array. The format is NumPy's .npy version 1.0: a magic string, a header
// dictionary of the dtype, order and shape padded to 64 bytes, then the
// bytes in C order.
#pragma once

#include <string>
#include <vector>

#include "arrays/flow_arrays.hpp"
#include "util/call.hpp"
#include "util/result.hpp"

namespace flowsieve::arrays {

// The .npy header of an array: everything before its bytes.
std::string npy_header(const Array& array);

// Writes the file at `path` by the destination rule (write_to_path): a
// failure leaves nothing of it. The arrays are spent as they are written.
Status<CallError> write_npz(const std::string& path, std::vector<Array>& arrays);

}  // namespace flowsieve::arrays
