#ifndef VELLORT_UTIL_CONFIGVARS_H
#define VELLORT_UTIL_CONFIGVARS_H

#include <string>

namespace UTILITIES {

// Key lookups in the collected configuration text, which holds one entry per
// significant line, each preceded by "\n" and ended by " ". A key is found only
// at the start of an entry and followed by one space; the first match wins.

// Position of the key's value (after the key, its space and further blanks), or
// std::string::npos when the key is missing or nothing but blanks follows it
// on its line.
std::string::size_type findVarValue(const std::string& text, const std::string& key);

// Reads one word (std::string) or a decimal integer with optional sign (int;
// reading stops at the first other character, so "80%" gives 80). Returns
// false, leaving value unchanged, when the key is missing, has no value, or
// for an int when the value does not start with a number that fits an int.
template <typename T>
bool readVar(const std::string& text, const std::string& key, T& value);
template <>
bool readVar<std::string>(const std::string& text, const std::string& key, std::string& value);
template <>
bool readVar<int>(const std::string& text, const std::string& key, int& value);

// A size: optional sign, decimal digits, optional unit K, M or G (upper case;
// any other character counts as 1): "10M" gives 10485760, "512 K" 524288.
// Returns false, leaving value unchanged, when the key is missing, has no value
// or no digits. A product that does not fit a 32-bit int gives 2147483647, or
// -2147483648 when negative, and sets *clamped when clamped is given.
bool parseSizeVar(const std::string& text, const std::string& key, int& value, bool* clamped = nullptr);

// Whether the key's number runs straight into other characters ("1e6", "1.5M",
// "10k"): after the sign and digits, and after one of `units` if one follows,
// must come a blank. A value without digits is not asked about here.
bool numberHasTail(const std::string& text, const std::string& key, const std::string& units = "");

}  // namespace UTILITIES

#endif
