#include "soak/LogWatcher.h"

#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

#include "soak/SoakContext.h"

namespace {

bool startsWith(const std::string& text, const char* prefix) {
    return text.rfind(prefix, 0) == 0;
}

}  // namespace

std::string singleSlashes(std::string path) {
    for (size_t at = path.find("//"); at != std::string::npos; at = path.find("//", at)) path.erase(at, 1);
    return path;
}

void LogWatcher::start() {
    worker = std::thread([this]() {
        for (; !quit; SoakContext::pause(0.1)) _poll();
    });
}

void LogWatcher::stop() {
    quit = true;
    if (worker.joinable()) worker.join();
    _poll();
}

bool LogWatcher::saw(Trace trace, const std::string& name) {
    std::lock_guard<std::mutex> guard(mutex);
    return traces[trace].count(name) > 0;
}

std::map<std::string, long> LogWatcher::counters() {
    std::lock_guard<std::mutex> guard(mutex);
    return counts;
}

void LogWatcher::_poll() {
    std::lock_guard<std::mutex> guard(pollMutex);
    const std::string& path = soak.sandbox.logPath;
    if (fd < 0) {
        fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0) return;
    }
    _drain();
    // Rotated: the path names a new file. Whatever reached the old one before
    // the rename has been read above.
    struct stat byPath, byDescriptor;
    if (stat(path.c_str(), &byPath) == 0 && fstat(fd, &byDescriptor) == 0 && byPath.st_ino != byDescriptor.st_ino) {
        _drain();
        close(fd);
        fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
        {
            std::lock_guard<std::mutex> countGuard(mutex);
            ++counts["log rotations seen"];
        }
        if (fd >= 0) _drain();
    }
}

void LogWatcher::_drain() {
    char buffer[65536];
    for (;;) {
        ssize_t got = read(fd, buffer, sizeof buffer);
        if (got <= 0) break;
        partial.append(buffer, static_cast<size_t>(got));
    }
    size_t start = 0;
    for (size_t end; (end = partial.find('\n', start)) != std::string::npos; start = end + 1)
        _line(partial.substr(start, end - start));
    partial.erase(0, start);
}

// A problem repeated within a minute is written once; the daemon writes how
// many it left out as one line when the minute is over.
void LogWatcher::_line(const std::string& line) {
    std::lock_guard<std::mutex> guard(mutex);
    const char* const leftOut = "++ Left out ";
    const size_t text = line.find(" s: ");
    if (!startsWith(line, leftOut) || text == std::string::npos) return _count(line);
    for (long repeat = atol(line.c_str() + strlen(leftOut)); repeat > 0; --repeat) _count(line.substr(text + 4));
}

void LogWatcher::_count(const std::string& line) {
    size_t at;
    if ((at = line.find(": Error: Copying ")) != std::string::npos ||
        (at = line.find(": Critical Error: Copying ")) != std::string::npos) {
        size_t to = line.find(" to ", at);
        if (to != std::string::npos) {
            size_t end = line.find(' ', to + 4);
            traces[COPY_ERROR].insert(
                singleSlashes(line.substr(to + 4, end == std::string::npos ? end : end - to - 4)));
        }
        ++counts["copy errors"];
    } else if (startsWith(line, "Warning: Not removing ")) {
        size_t end = line.find(": ", 22);
        traces[NOT_REMOVING].insert(singleSlashes(line.substr(22, end - 22)));
        ++counts["Warning: Not removing"];
    } else if (startsWith(line, "++ Converting ")) {
        size_t on = line.find(" files on ");
        std::string mountPoint = line.substr(on + 10, line.find(' ', on + 10) - on - 10);
        ++counts["link passes on " + mountPoint];
        counts["files offered to link passes on " + mountPoint] += atol(line.c_str() + 14);
    } else if (startsWith(line, "++ Accepted connection from ")) {
        traces[ACCEPTED].insert(line.substr(28, line.find(' ', 28) - 28));
    } else if (startsWith(line, "Warning: Closing connection from ")) {
        traces[TIMED_OUT].insert(line.substr(33, line.find(": ", 33) - 33));
        ++counts["clients closed at a time-out"];
    } else if (startsWith(line, "Error: Unkown action '")) {
        ++counts["unknown actions"];
        long& longest = counts["longest unknown-action line"];
        longest = std::max(longest, static_cast<long>(line.size()));
    } else if (!_countPlain(line) &&
               (startsWith(line, "Error") || startsWith(line, "++ Error") || startsWith(line, " Error") ||
                startsWith(line, "Warning") || line.find("Error: ") != std::string::npos)) {
        ++counts["other problem lines"];
        if (otherShown++ < 10) soak.say("log: %s", line.c_str());
    }
}

// Lines that are only counted: by how they begin, or, after a '*', by what they hold.
bool LogWatcher::_countPlain(const std::string& line) {
    static const struct {
        const char* text;
        const char* counter;  // null: known, not counted
    } plain[] = {
        {"Error: Rejected announcement ", "rejected announcements"},
        {"* returned EOF", "pipe EOF"},
        {"++ Error: Creating symbolic link", "link errors"},
        {"++ Error: could not remove", "remove errors"},
        {"* is not reading; dropped ", "message clients not reading"},
        {"Error: Failed to parse request from ", "status requests refused"},
        {"Error=XML_", nullptr},  // the parser's text, a later line of a refused request's entry
        {"Error: Failed to write to ", "message clients reset"},  // the silent client closing with frames unread
        {"Warning: Refused connection from ", "refusal lines"},
        {"Warning: Message queue full; ", "central message queue overflows"},
        {"Usershift on ", "user shifts"},
    };
    for (const auto& kind : plain) {
        if (kind.text[0] == '*' ? line.find(kind.text + 1) == std::string::npos : !startsWith(line, kind.text))
            continue;
        if (kind.counter != nullptr) ++counts[kind.counter];
        return true;
    }
    if (!startsWith(line, "++ Removing ") || line.find(" links on ") == std::string::npos) return false;
    ++counts["inode relief steps"];
    return true;
}
