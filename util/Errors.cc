#include "util/Errors.h"

#include <string.h>

namespace UTILITIES {

std::string systemText(int errnum) {
    char buffer[256];
    // GNU strerror_r: the text may be in the buffer or a static string.
    return strerror_r(errnum, buffer, sizeof buffer);
}

}  // namespace UTILITIES
