#include "util/ConfigVars.h"

#include <ctype.h>
#include <stdint.h>

#include <limits>
#include <sstream>

namespace UTILITIES {

std::string::size_type findVarValue(const std::string& text, const std::string& key) {
    std::string needle = "\n" + key + " ";
    std::string::size_type at;
    if (text.compare(0, needle.size() - 1, needle, 1, std::string::npos) == 0) {
        at = needle.size() - 1;  // the text's first entry, without its leading newline
    } else {
        at = text.find(needle);
        if (at == std::string::npos) return std::string::npos;
        at += needle.size();
    }
    // Every blank, not only spaces: after "key \t" the value's word would
    // otherwise be read from the next line, its key taken for the value.
    while (at < text.size() && text[at] != '\n' && isspace(static_cast<unsigned char>(text[at]))) ++at;
    if (at >= text.size() || text[at] == '\n') return std::string::npos;
    return at;
}

template <>
bool readVar<std::string>(const std::string& text, const std::string& key, std::string& value) {
    std::string::size_type at = findVarValue(text, key);
    if (at == std::string::npos) return false;
    std::istringstream stream(text.substr(at));
    std::string word;
    if (!(stream >> word)) return false;
    value = word;
    return true;
}

template <>
bool readVar<int>(const std::string& text, const std::string& key, int& value) {
    std::string::size_type at = findVarValue(text, key);
    if (at == std::string::npos) return false;
    std::istringstream stream(text.substr(at));
    int number;
    if (!(stream >> number)) return false;
    value = number;
    return true;
}

bool parseSizeVar(const std::string& text, const std::string& key, int& value, bool* clamped) {
    std::string::size_type at = findVarValue(text, key);
    if (at == std::string::npos) return false;

    int64_t sign = 1;
    if (text[at] == '+' || text[at] == '-') {
        if (text[at] == '-') sign = -1;
        ++at;
        while (at < text.size() && text[at] == ' ') ++at;
        if (at >= text.size() || text[at] == '\n') return false;
    }

    const int64_t limit = std::numeric_limits<int32_t>::max();
    int64_t digits = 0;
    bool anyDigit = false;
    bool overflow = false;
    for (; at < text.size() && text[at] >= '0' && text[at] <= '9'; ++at) {
        anyDigit = true;
        digits = digits * 10 + (text[at] - '0');
        if (digits > limit) {
            overflow = true;
            digits = limit;  // keeps the accumulation bounded; the result is clamped below
        }
    }
    if (!anyDigit) return false;
    while (at < text.size() && text[at] == ' ') ++at;

    int64_t unit = 1;
    if (at < text.size()) {
        if (text[at] == 'K') unit = 1024;
        else if (text[at] == 'M') unit = 1048576;
        else if (text[at] == 'G') unit = 1073741824;
    }

    int64_t product = digits * unit * sign;
    if (overflow || product > limit || product < std::numeric_limits<int32_t>::min()) {
        if (clamped != nullptr) *clamped = true;
        // The sign is kept: a negative size that does not fit stays negative.
        value = sign < 0 ? std::numeric_limits<int32_t>::min() : static_cast<int>(limit);
        return true;
    }
    value = static_cast<int>(product);
    return true;
}

bool numberHasTail(const std::string& text, const std::string& key, const std::string& units) {
    std::string::size_type at = findVarValue(text, key);
    if (at == std::string::npos) return false;
    if (text[at] == '+' || text[at] == '-') ++at;
    while (at < text.size() && text[at] == ' ') ++at;
    const std::string::size_type digits = at;
    while (at < text.size() && isdigit(static_cast<unsigned char>(text[at]))) ++at;
    if (at == digits || at == text.size()) return false;
    if (units.find(text[at]) != std::string::npos) ++at;
    // Every entry ends with a space, so a blank always follows a clean value.
    return at < text.size() && !isspace(static_cast<unsigned char>(text[at]));
}

}  // namespace UTILITIES
