// Operating-system failures as error values with the C library's text.
#pragma once

#include <string>

#include "util/result.hpp"

namespace flowsieve {

// The C library's description of the error number.
std::string strerror_text(int errnum);

// "<strerror text> (os error N)"
std::string os_error_text(int errnum);

inline Error os_error(int errnum) { return Error{os_error_text(errnum), errnum}; }

// Paths reach the C library as NUL-terminated strings, so an embedded NUL
// would silently name another file.
inline constexpr const char* kNulInPath = "file name contained an unexpected NUL byte";

}  // namespace flowsieve
