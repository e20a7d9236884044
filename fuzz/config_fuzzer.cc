// The configuration parser on any file content: it must never fail, and what
// it hands to the start-up must hold whatever the file says.
#include <stddef.h>
#include <stdint.h>

#include <sstream>
#include <string>

#include "daemon/ConfigFileParser.h"
#include "fuzz/FuzzCheck.h"

namespace {

const char* const whiteSpace = " \t\n\v\f\r";

// Every number lies within the bounds of its row; a word setting is one
// word, never with white space.
template <class Values, class Rows>
bool fits(const Values& values, const Rows& rows) {
    for (const auto& row : rows)
        if ((row.numberMember && (values.*row.numberMember < row.low || values.*row.numberMember > row.high)) ||
            (row.wordMember && (values.*row.wordMember).find_first_of(whiteSpace) != std::string::npos))
            return false;
    return true;
}

size_t occurrences(const std::string& text, const std::string& part) {
    size_t count = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++count;
    return count;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string content(reinterpret_cast<const char*>(data), size);
    std::istringstream in(content);
    ConfigFileParser parser("/fuzz-root");
    parser.readConfigStream(in, "fuzz.conf");

    FUZZ_REQUIRE(fits(parser, ConfigFileParser::globalSettings()));
    FUZZ_REQUIRE(!parser.logfile.empty() && !parser.ramdisk_mountpoint.empty());
    // Every block starts at a "storageID " of the collected text, which the
    // file holds as "storageID" (the space may be the one added at a line's end).
    FUZZ_REQUIRE(parser.storages.size() <= occurrences(content, "storageID"));
    for (const ConfigFileParser::StorageData& storage : parser.storages) {
        // A type, given or taken from the block before, is a word the file names.
        FUZZ_REQUIRE(!storage.type || occurrences(content, storageTypeName(*storage.type)) > 0);
        FUZZ_REQUIRE(fits(storage, ConfigFileParser::storageSettings()));
    }
    for (const std::string& warning : parser.warnings) FUZZ_REQUIRE(warning.compare(0, 9, "Warning: ") == 0);
    return 0;
}
