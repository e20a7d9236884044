#ifndef VELLORT_UTIL_ERRORS_H
#define VELLORT_UTIL_ERRORS_H

#include <string>

namespace UTILITIES {

// The system's text for an error number (GNU strerror_r), safe in any thread.
std::string systemText(int errnum);

}  // namespace UTILITIES

#endif
