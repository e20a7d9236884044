#ifndef VELLORT_TESTS_SYSTEM_DURABILITYCHECKS_H
#define VELLORT_TESTS_SYSTEM_DURABILITYCHECKS_H

#include <sys/stat.h>

#include <regex>
#include <string>
#include <vector>

#include "support/AcquisitionScript.h"
#include "support/ChildProcess.h"
#include "support/LoopDisk.h"
#include "support/StatusClient.h"
#include "support/TempDir.h"

// What the power-cut and write-back-error tests look at on the disks and in
// the journal once the daemon has gone, in the files' own numbers.

// Whether `path`, followed through links, holds the file's bytes.
inline bool holds(const std::string& path, long file) {
    thread_local std::string bytes;  // kept, as AcquisitionScript::content() keeps its own
    return readFile(path, bytes, nullptr) && bytes == AcquisitionScript::content(file);
}

// What lies at `path` instead, for a failure's report.
inline std::string found(const std::string& path, long file) {
    struct stat status;
    if (lstat(path.c_str(), &status) != 0) return "missing";
    const std::string bytes = readFile(path), kind = S_ISLNK(status.st_mode) ? "a link to " : "";
    if (bytes == AcquisitionScript::content(file)) return kind + "the file";
    return kind + std::to_string(bytes.size()) + " bytes of " +
           std::to_string(AcquisitionScript::content(file).size()) + ", not the file";
}

// The first few of a failure's items, one a line.
inline std::string listed(const std::vector<std::string>& items) {
    std::string text;
    for (size_t i = 0; i < items.size() && i < 8; ++i) text += "\n  " + items[i];
    return text + (items.size() > 8 ? "\n  ..." : "");
}

// Whether every storage has copied or given up every file of every shift.
inline bool nothingPending(int statusPort) {
    const std::string reply = StatusClient(statusPort).ask("<request><action id='history'/></request>");
    return reply.find("pending=\"") != std::string::npos && !std::regex_search(reply, std::regex("pending=\"[^0]"));
}

// A copy that a journal books as made: copied, or linked, removed or deleted
// on its strength (what a deletion kept was never booked made).
struct BookedCopy {
    long file;  // AcquisitionScript's number
    std::string storage;
    std::string relative;  // below the storage's target
};

// The booked copies in a stopped daemon's journal, read with the sqlite3
// program as an operator would; empty, with the reason in *problem, when it cannot be read.
inline std::vector<BookedCopy> bookedCopies(const std::string& journal, std::string* problem) {
    std::string output, errors;
    const int status = runProgram({LoopDisk::program("sqlite3"), "-readonly", "-separator", "|", journal,
                                   "SELECT s.name, f.path FROM steps p JOIN files f ON f.id = p.file JOIN storages s "
                                   "ON s.id = p.storage WHERE p.state IN (2, 4, 5, 6)"},
                                  &output, &errors);
    std::vector<BookedCopy> copies;
    *problem = status == 0 ? "" : "sqlite3 " + journal + " ended with " + std::to_string(status) + ": " + errors;
    for (size_t at = 0, end; status == 0 && (end = output.find('\n', at)) != std::string::npos; at = end + 1) {
        const std::string line = output.substr(at, end - at);
        const size_t bar = line.find('|'), marker = line.find("/./");
        if (bar == std::string::npos || marker == std::string::npos) {
            *problem = "a step of no announced path: " + line;
            break;
        }
        copies.push_back({AcquisitionScript::number(line), line.substr(0, bar), line.substr(marker + 3)});
    }
    return copies;
}

#endif
