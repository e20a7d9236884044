#include "log/LogFile.h"

#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <unordered_map>

#include "thread/MutexGuard.h"
#include "thread/Thread.h"
#include "util/Errors.h"
#include "util/UniqueFd.h"

namespace {

// A problem text written lately: when, and how often it came again since.
struct Repeat {
    int64_t written;
    int64_t leftOut;
};

// Bounds the memory of texts: beyond it, new problems are written untracked.
const size_t maxTrackedTexts = 1024;
// Only the start of a text is searched for the words that make it a problem.
const size_t problemWordsWithin = 200;

// Keyed by path, a NUL, and the text. Never deleted, so that a thread logging
// while the process ends finds it whole.
std::unordered_map<std::string, Repeat>& repeats() REQUIRES(LogFile::__mainMutex) {
    static std::unordered_map<std::string, Repeat>* table = new std::unordered_map<std::string, Repeat>();
    return *table;
}
int64_t lastReport GUARDED_BY(LogFile::__mainMutex) = 0;

bool namesProblem(const std::string& text) {
    const std::string start = text.substr(0, problemWordsWithin);
    return start.find("Error: ") != std::string::npos || start.find("Warning: ") != std::string::npos;
}

void append(const std::string& path, const std::string& text) {
    const UniqueFd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644));
    if (!fd) return;  // the text is lost: the log itself is unreachable
    ssize_t written = ::write(fd.get(), text.data(), text.size());
    (void)written;  // a short or failed log write has nowhere to be reported
}

std::string leftOutText(const Repeat& repeat, int64_t now, const std::string& text) {
    return "++ Left out " + std::to_string(repeat.leftOut) + " more of this text in " +
           std::to_string(now - repeat.written) + " s: " + text;
}

}  // namespace

Mutex* LogFile::__mainMutex = Thread::initializeMutex();

LogFile::LogFile() : openFailed_(false) {}

LogFile::LogFile(const std::string& path) : openFailed_(false) { open(path); }

LogFile& LogFile::open(const std::string& path) {
    openFailed_ = false;
    path_ = path;
    lineBuffer.clear();
    FILE* file = fopen(path.c_str(), "a");
    if (file == nullptr) {
        openFailed_ = true;
        return *this;
    }
    fclose(file);
    chmod(path.c_str(), 0644);  // best effort: the file is usable whatever its mode
    return *this;
}

LogFile& LogFile::use(const std::string& path) {
    openFailed_ = false;
    path_ = path;
    lineBuffer.clear();
    return *this;
}

LogFile& LogFile::flush() {
    log(lineBuffer);
    lineBuffer.clear();
    return *this;
}

LogFile& LogFile::endl() {
    lineBuffer += '\n';
    return flush();
}

LogFile& LogFile::errmsg(int errnum) {
    lineBuffer += UTILITIES::systemText(errnum);
    return *this;
}

LogFile& LogFile::errmsg(LogFile& log, int errnum) { return log.errmsg(errnum); }

void LogFile::log(const std::string& text) {
    MutexGuard guard(__mainMutex);
    const int64_t now = monotonicSeconds();
    if (now != lastReport) reportRepeats(now);
    if (namesProblem(text)) {
        std::unordered_map<std::string, Repeat>& table = repeats();
        const std::string key = path_ + '\0' + text;
        auto found = table.find(key);
        if (found != table.end()) {
            // Within its minute; else reportRepeats has just started the next one.
            ++found->second.leftOut;
            return;
        }
        if (table.size() < maxTrackedTexts) table.emplace(key, Repeat{now, 0});
    }
    append(path_, text);
}

void LogFile::reportRepeats(int64_t now) {
    MutexGuard guard(__mainMutex);
    lastReport = now;
    std::unordered_map<std::string, Repeat>& table = repeats();
    for (auto entry = table.begin(); entry != table.end();) {
        Repeat& repeat = entry->second;
        if (now - repeat.written < repeatSeconds) {
            ++entry;
        } else if (repeat.leftOut == 0) {
            entry = table.erase(entry);  // not seen again: the next one is written at once
        } else {
            const std::string::size_type nul = entry->first.find('\0');
            append(entry->first.substr(0, nul), leftOutText(repeat, now, entry->first.substr(nul + 1)));
            repeat = Repeat{now, 0};
            ++entry;
        }
    }
}

int64_t LogFile::monotonicSeconds() {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<int64_t>(now.tv_sec);
}

int64_t LogFile::fileSize() {
    MutexGuard guard(__mainMutex);
    struct stat status;
    if (::stat(path_.c_str(), &status) != 0) return -1;
    return status.st_size;
}

void LogFile::rotate(int count) {
    // The numbered renames are made under the log mutex too, so that the
    // rotations of two storages' copy schedulers cannot interleave and lose a
    // backup.
    MutexGuard guard(__mainMutex);
    for (int i = count - 1; i >= 0; --i) {
        std::string from = path_ + "." + std::to_string(i);
        std::string to = path_ + "." + std::to_string(i + 1);
        rename(from.c_str(), to.c_str());  // a missing backup is expected
    }
    rename(path_.c_str(), (path_ + ".0").c_str());  // a missing log is rotated next time
}

bool LogFile::rotateIfLarger(int maxSize, int count) {
    MutexGuard guard(__mainMutex);  // recursive: fileSize and rotate take it again
    int64_t size = fileSize();
    if (size < 0) return false;
    if (static_cast<uint64_t>(size) <= static_cast<uint64_t>(static_cast<int64_t>(maxSize))) return false;
    rotate(count);
    return true;
}

LogFile& flush(LogFile& log) { return log.flush(); }

LogFile& endl(LogFile& log) { return log.endl(); }
