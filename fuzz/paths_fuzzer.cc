// normalizePath and parseFilename on any text: the marker form that every
// storage relies on, and a split of a numbered name that puts it together again.
#include <stddef.h>
#include <stdint.h>

#include <string>

#include "fuzz/FuzzCheck.h"
#include "util/Paths.h"

namespace {

bool isDigit(char c) {
    return c >= '0' && c <= '9';
}

void checkNormalizePath(const std::string& path) {
    const std::string normalized = UTILITIES::normalizePath(path);
    FUZZ_REQUIRE(normalized.find("//") == std::string::npos);
    FUZZ_REQUIRE(UTILITIES::normalizePath(normalized) == normalized);
    if (path.find('/') == std::string::npos) {
        FUZZ_REQUIRE(normalized == path);
        return;
    }
    FUZZ_REQUIRE(normalized.find("/./") != std::string::npos);
    FUZZ_REQUIRE(UTILITIES::getFilePathBeforeDot(normalized) + "/./" + UTILITIES::getFilePathAfterDot(normalized) ==
                 normalized);
    // Only slashes are taken out, and at most one "./" put in.
    std::string withoutSlashes;
    for (char c : path)
        if (c != '/') withoutSlashes += c;
    std::string normalizedWithoutSlashes;
    for (char c : normalized)
        if (c != '/') normalizedWithoutSlashes += c;
    FUZZ_REQUIRE(normalizedWithoutSlashes == withoutSlashes ||
                 normalizedWithoutSlashes.size() == withoutSlashes.size() + 1);
}

void checkParseFilename(const std::string& name) {
    std::string stem = "old stem";
    std::string extension = "old extension";
    int number = -1;
    const bool numbered = UTILITIES::parseFilename(name, stem, number, extension);
    const size_t point = name.rfind('.');
    FUZZ_REQUIRE(numbered == (point != std::string::npos && point > 0 && isDigit(name[point - 1])));
    if (point == std::string::npos) {
        FUZZ_REQUIRE(extension.empty());
    } else {
        FUZZ_REQUIRE(extension == name.substr(point + 1));
    }
    if (!numbered) {
        FUZZ_REQUIRE(stem.empty() && number == 0);
        return;
    }
    FUZZ_REQUIRE(stem.size() < point);
    FUZZ_REQUIRE(stem.empty() || !isDigit(stem.back()));
    const std::string digits = name.substr(stem.size(), point - stem.size());
    uint32_t value = 0;
    for (char c : digits) {
        FUZZ_REQUIRE(isDigit(c));
        value = value * 10u + static_cast<uint32_t>(c - '0');
    }
    FUZZ_REQUIRE(static_cast<uint32_t>(number) == value);
    FUZZ_REQUIRE(stem + digits + "." + extension == name);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    checkNormalizePath(text);
    checkParseFilename(text);
    // The reader hands parseFilename names of normalized paths.
    checkParseFilename(UTILITIES::normalizePath(text));
    return 0;
}
