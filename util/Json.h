#ifndef VELLORT_UTIL_JSON_H
#define VELLORT_UTIL_JSON_H

#include <string>

namespace UTILITIES {

// The text as a JSON string, quotes included. Bytes that are no valid UTF-8
// (a path may hold any) become U+FFFD, so that the document stays valid.
std::string jsonQuoted(const std::string& text);

}  // namespace UTILITIES

#endif
