#include "util/os_error.hpp"

#include <string.h>

namespace flowsieve {

std::string strerror_text(int errnum) {
    char buf[256];
    // GNU strerror_r may return a static string instead of filling buf.
    return strerror_r(errnum, buf, sizeof buf);
}

std::string os_error_text(int errnum) {
    std::string out = strerror_text(errnum);
    out += " (os error ";
    out += std::to_string(errnum);
    out += ')';
    return out;
}

}  // namespace flowsieve
