#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include "soak/Soak.h"

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
    const std::string path = soak.sandbox.runner.logPath();
    if (fd < 0 && (fd = open(path.c_str(), O_RDONLY | O_CLOEXEC)) < 0) return;
    _drain();
    // Rotated: the path names a new file. What reached the old one before the rename has been read above.
    struct stat byPath, byDescriptor;
    if (stat(path.c_str(), &byPath) != 0 || fstat(fd, &byDescriptor) != 0 || byPath.st_ino == byDescriptor.st_ino)
        return;
    _drain();
    close(fd);
    if ((fd = open(path.c_str(), O_RDONLY | O_CLOEXEC)) >= 0) _drain();
}

// A problem repeated within a minute is written once; when the minute is over the daemon writes how many it left
// out as one line, which counts as that many.
void LogWatcher::_drain() {
    char buffer[65536];
    for (ssize_t got; (got = read(fd, buffer, sizeof buffer)) > 0;) partial.append(buffer, static_cast<size_t>(got));
    std::lock_guard<std::mutex> guard(mutex);
    size_t start = 0;
    for (size_t end; (end = partial.find('\n', start)) != std::string::npos; start = end + 1) {
        const std::string line = partial.substr(start, end - start);
        const size_t text = line.find(" s: ");
        const bool leftOut = line.rfind("++ Left out ", 0) == 0 && text != std::string::npos;
        for (long repeat = leftOut ? atol(line.c_str() + 12) : 1; repeat > 0; --repeat)
            _count(leftOut ? line.substr(text + 4) : line);
    }
    partial.erase(0, start);
}

void LogWatcher::_count(const std::string& line) {
    size_t at = line.find(": Error: Copying ");
    if (at == std::string::npos) at = line.find(": Critical Error: Copying ");
    if (at != std::string::npos) {
        size_t to = line.find(" to ", at);
        if (to != std::string::npos)
            traces[COPY_ERROR].insert(singleSlashes(line.substr(to + 4, line.find(' ', to + 4) - to - 4)));
        ++counts["copy errors"];
        return;
    }
    if (line.find("returned EOF") != std::string::npos) ++counts["pipe EOF"];
    // The name that follows the line's first words, up to `end`.
    auto trace = [&](Trace kind, const std::string& text, const char* end) {
        if (line.rfind(text, 0) == 0)
            traces[kind].insert(singleSlashes(line.substr(text.size(), line.find(end, text.size()) - text.size())));
    };
    trace(NOT_REMOVING, "Warning: Not removing ", ": ");
    // "<id>: Error: Storage <id> is failing: ..." and "<id>: Error: <n> more copy errors while the storage was ...".
    const size_t error = line.find(": Error: ");
    if (error != std::string::npos && line.compare(error, 17, ": Error: Storage ") == 0)
        traces[STORAGE_DOWN].insert(line.substr(0, error));
    if (error != std::string::npos && line.find(" more copy errors while the storage was ", error) != std::string::npos)
        traces[ERRORS_COUNTED].insert(line.substr(0, error));
    trace(ACCEPTED, "++ Accepted connection from ", " ");
}
