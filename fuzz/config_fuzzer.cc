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

// A word setting is one word: non-empty when set, never with white space.
bool isWord(const std::string& value) {
    return value.find_first_of(whiteSpace) == std::string::npos;
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

    FUZZ_REQUIRE(!parser.logfile.empty() && isWord(parser.logfile));
    FUZZ_REQUIRE(!parser.ramdisk_mountpoint.empty() && isWord(parser.ramdisk_mountpoint));
    FUZZ_REQUIRE(parser.history_max_entries >= 1);
    FUZZ_REQUIRE(parser.logfile_max_number >= 0 && parser.logfile_max_number <= ConfigFileParser::maxLogfileNumber);
    FUZZ_REQUIRE(parser.logfile_max_size >= ConfigFileParser::minLogfileSize);
    FUZZ_REQUIRE(parser.fillstate_limit >= 1 && parser.fillstate_limit <= 100);
    FUZZ_REQUIRE(parser.message_port >= 1 && parser.message_port <= 65535);
    FUZZ_REQUIRE(parser.status_port >= 1 && parser.status_port <= 65535);
    // Every block starts at a "storageID " of the collected text, which the
    // file holds as "storageID" (the space may be the one added at a line's end).
    FUZZ_REQUIRE(parser.storages.size() <= occurrences(content, "storageID"));
    for (const ConfigFileParser::StorageData& storage : parser.storages) {
        // A type, given or taken from the block before, is a word the file names.
        FUZZ_REQUIRE(!storage.type || occurrences(content, storageTypeName(*storage.type)) > 0);
        FUZZ_REQUIRE(storage.n_copy_processes >= 1 && storage.n_copy_processes <= ConfigFileParser::maxCopyProcesses);
        FUZZ_REQUIRE(isWord(storage.storageID) && isWord(storage.target) && isWord(storage.mountpoint));
    }
    for (const std::string& warning : parser.warnings) FUZZ_REQUIRE(warning.compare(0, 9, "Warning: ") == 0);
    return 0;
}
