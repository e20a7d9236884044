// Bytes as the pipe reader gets them: split into reads the way fgets with its
// 1023-byte limit splits them, each read classified as the reader does, the
// user of a shift carried on to the next read. An accepted file must be safe
// for every storage to rebuild below its own directory.
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>

#include <sstream>
#include <string>
#include <vector>

#include "fuzz/FuzzCheck.h"
#include "intake/Announcement.h"
#include "util/Paths.h"

namespace {

const size_t readLimit = 1022;  // bytes of one fgets with the reader's buffer size
const char* const blanks = " \t\n\v\f\r";

// The words of a line as a string stream splits them, the way the reader
// always split its lines: the oracle for the classification.
std::vector<std::string> streamWords(const std::string& line, size_t count) {
    std::istringstream stream(line);
    std::vector<std::string> words;
    std::string word;
    while (words.size() < count && stream >> word) words.push_back(word);
    return words;
}

void checkUserShift(const std::vector<std::string>& words, const Announcement& shift, uint32_t previousUid,
                    uint32_t previousGid) {
    const uint32_t previous[2] = {previousUid, previousGid};
    const uint32_t got[2] = {shift.uid, shift.gid};
    for (size_t i = 0; i < 2; ++i) {
        const std::string word = i + 1 < words.size() ? words[i + 1] : std::string();
        bool decimal = !word.empty() && word.size() <= 10 && word.find_first_not_of("0123456789") == std::string::npos;
        unsigned long long value = decimal ? strtoull(word.c_str(), nullptr, 10) : 0;
        if (decimal && value <= UINT32_MAX)
            FUZZ_REQUIRE(got[i] == value);
        else
            FUZZ_REQUIRE(got[i] == previous[i]);
    }
}

void checkFile(const Announcement& file) {
    const std::string& path = file.path;
    FUZZ_REQUIRE(file.reason.empty());
    FUZZ_REQUIRE(path.find("//") == std::string::npos);
    FUZZ_REQUIRE(path.find_first_of(blanks) == std::string::npos);
    FUZZ_REQUIRE(path.find("/./") != std::string::npos);
    FUZZ_REQUIRE(UTILITIES::getFilePathBeforeDot(path) + "/./" + UTILITIES::getFilePathAfterDot(path) == path);
    // target + "/" + relative must stay below target, and the file below the RAM disk.
    const std::string relative = UTILITIES::getFilePathAfterDot(path);
    FUZZ_REQUIRE(!relative.empty() && relative[0] != '/');
    FUZZ_REQUIRE(path.compare(0, 9, "/ramdisk/") == 0);
    FUZZ_REQUIRE(!file.belowRamdisk.empty() && file.belowRamdisk[0] != '/');
    size_t start = 0;
    for (;;) {
        size_t end = path.find('/', start);
        std::string component = path.substr(start, end == std::string::npos ? std::string::npos : end - start);
        FUZZ_REQUIRE(component != "..");
        if (end == std::string::npos) break;
        start = end + 1;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string input(reinterpret_cast<const char*>(data), size);
    uint32_t uid = 0;
    uint32_t gid = 0;
    size_t at = 0;
    while (at < input.size()) {
        size_t newline = input.find('\n', at);
        size_t length = newline == std::string::npos ? input.size() - at : newline - at + 1;
        if (length > readLimit) length = readLimit;
        std::string read = input.substr(at, length);
        at += length;
        if (read[0] == '\0') continue;  // the reader pauses and drops such a read
        const std::string line = read.substr(0, read.find('\0'));

        Announcement announcement = Announcement::classify(line, uid, gid, "/ramdisk");
        const std::vector<std::string> words = streamWords(line, 3);
        FUZZ_REQUIRE((announcement.kind == Announcement::IGNORED) == words.empty());
        if (announcement.kind == Announcement::IGNORED) continue;
        const std::string& first = words[0];
        FUZZ_REQUIRE((announcement.kind == Announcement::USER_SHIFT) == (first == "usershift:"));

        switch (announcement.kind) {
            case Announcement::USER_SHIFT:
                checkUserShift(words, announcement, uid, gid);
                uid = announcement.uid;
                gid = announcement.gid;
                break;
            case Announcement::FILE:
                FUZZ_REQUIRE(announcement.announcedPath == first);
                checkFile(announcement);
                break;
            case Announcement::REJECTED:
                FUZZ_REQUIRE(announcement.announcedPath == first);
                FUZZ_REQUIRE(!announcement.reason.empty());
                break;
            case Announcement::IGNORED:
                break;
        }
    }
    return 0;
}
