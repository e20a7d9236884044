#include "util/Json.h"

#include <cstdio>

namespace UTILITIES {

namespace {

// Bytes a valid UTF-8 sequence starting with `lead` holds, 0 when none starts there.
size_t sequenceLength(const std::string& text, size_t at) {
    const unsigned char lead = static_cast<unsigned char>(text[at]);
    size_t length = lead < 0x80                   ? 1
                    : lead >= 0xc2 && lead < 0xe0 ? 2
                    : lead >= 0xe0 && lead < 0xf0 ? 3
                    : lead >= 0xf0 && lead < 0xf5 ? 4
                                                  : 0;
    if (length == 0 || at + length > text.size()) return 0;
    for (size_t i = 1; i < length; ++i)
        if ((static_cast<unsigned char>(text[at + i]) & 0xc0) != 0x80) return 0;
    const unsigned char second = static_cast<unsigned char>(text[at + 1 < text.size() ? at + 1 : at]);
    // Overlong forms, surrogates and code points beyond U+10FFFF.
    if ((lead == 0xe0 && second < 0xa0) || (lead == 0xed && second >= 0xa0) || (lead == 0xf0 && second < 0x90) ||
        (lead == 0xf4 && second >= 0x90))
        return 0;
    return length;
}

}  // namespace

std::string jsonQuoted(const std::string& text) {
    std::string out = "\"";
    out.reserve(text.size() + 2);
    for (size_t at = 0; at < text.size();) {
        const unsigned char c = static_cast<unsigned char>(text[at]);
        const size_t length = sequenceLength(text, at);
        if (length == 0) {
            out += "\xef\xbf\xbd";
            ++at;
            continue;
        }
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20) {
            char escape[8];
            snprintf(escape, sizeof escape, "\\u%04x", c);
            out += escape;
        } else {
            out.append(text, at, length);
        }
        at += length;
    }
    return out + "\"";
}

}  // namespace UTILITIES
