#include "intake/ListThread.h"

#include <errno.h>
#include <fcntl.h>
#include <stdint.h>
#include <sys/prctl.h>
#include <time.h>
#include <unistd.h>

#include "ledger/FileInfo.h"
#include "ledger/Storage.h"
#include "util/Paths.h"
#include "util/Time.h"

namespace {

// fgets reads at most this many bytes less one; a longer line arrives in
// pieces, each handled as a line of its own.
const int readLimit = 1023;

const int64_t pauseAfterLine = 1000;             // 1 us, waited out on the clock
const int64_t pauseAfterNulLine = 1000000;       // 1 ms
const int64_t pauseAfterEndOfFile = 1000000000;  // 1 s

// An unsigned 32-bit decimal number and nothing else.
bool readId(const std::string& word, uint32_t& id) {
    if (word.empty() || word.size() > 10) return false;
    uint64_t value = 0;
    for (char digit : word) {
        if (digit < '0' || digit > '9') return false;
        value = value * 10 + static_cast<uint64_t>(digit - '0');
    }
    if (value > UINT32_MAX) return false;
    id = static_cast<uint32_t>(value);
    return true;
}

// Every storage writes its copy to its own target + "/" + the part after
// "/./", and the link and removal passes act on the same relative path below
// their origin. A path that has no such part, an empty one, or one that climbs
// out with ".." would make them write or delete outside their directories.
// Returns why the path is refused, or null when it is safe.
const char* unsafePathReason(const std::string& announcedPath, const std::string& normalizedPath) {
    if (announcedPath.find('/') == std::string::npos) return "no directory part";
    std::string relative = UTILITIES::getFilePathAfterDot(normalizedPath);
    if (relative.empty()) return "empty file name after /./";
    size_t start = 0;
    for (;;) {
        size_t end = relative.find('/', start);
        if (relative.compare(start, end == std::string::npos ? std::string::npos : end - start, "..") == 0)
            return "'..' in the relative path";
        if (end == std::string::npos) return nullptr;
        start = end + 1;
    }
}

int64_t monotonicNanoseconds() {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

// The pause after each line. A sleep of 1 us costs about 20 us here even with
// the smallest timer slack (the way through the scheduler, not the timer,
// dominates), which would cap the reader near 50,000 lines a second; a pause
// this short is waited out on the clock instead, so that it costs what it says.
void pauseAfterEachLine() {
    const int64_t end = monotonicNanoseconds() + pauseAfterLine;
    while (monotonicNanoseconds() < end) {
    }
}

std::string localTimeText(time_t when) {
    struct tm local;
    char text[64];
    if (localtime_r(&when, &local) == nullptr || asctime_r(&local, text) == nullptr) return "(time unknown)\n";
    return text;
}

}  // namespace

ListThread::ListThread(const std::vector<Storage*>& storages, const std::string& logFilePath,
                       const std::string& pipePath)
    : storages(storages), logFilePath(logFilePath), logFile(logFilePath), pipePath(pipePath), shift{0, 0, 0} {}

void ListThread::run() {
    // With the default timer slack of 50 us the 1 ms pauses after NUL lines
    // would stretch by up to 5 percent; the slack is this thread's own, so the
    // other threads keep theirs.
    if (prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL) != 0) {
        // Ignored on purpose: the reader only gets slower, and loses nothing.
    }

    time_t now = time(nullptr);
    shift = DebitListThread::PollundInfo{0, 0, static_cast<int64_t>(now)};
    DebitListThread::setPollundInfo(shift);
    for (Storage* storage : storages) storage->setTavroTime(shift.time, 0, 0);

    FILE* stream = _openPipe();
    // Our own writer keeps the pipe open, so a read waits for the next line
    // instead of meeting end of file whenever the acquisition program closes
    // its end. The descriptor is never used or closed; when it cannot be
    // opened the reader still works, it only meets end of file more often.
    int keepOpen = open(pipePath.c_str(), O_WRONLY);
    (void)keepOpen;

    char line[readLimit + 1];
    for (;;) {
        if (fgets(line, readLimit, stream) == nullptr) {
            _logEndOfFileAndPause();
            // Ignored on purpose: a read stream has nothing left to lose.
            fclose(stream);
            stream = _openPipe();
            continue;
        }
        line[readLimit] = '\0';
        if (line[0] == '\0') {
            UTILITIES::sleepNanoSeconds(pauseAfterNulLine);
            continue;
        }
        _handleLine(line);
        line[0] = '\0';
        pauseAfterEachLine();
    }
}

FILE* ListThread::_openPipe() {
    for (;;) {
        FILE* stream = fopen(pipePath.c_str(), "r");
        if (stream != nullptr) return stream;
        if (errno == EINTR) continue;
        // A missing or unreadable pipe is reported like an end of file and
        // tried again after the same pause: the start-up made it, so an
        // operator can put it back.
        _logEndOfFileAndPause();
    }
}

void ListThread::_logEndOfFileAndPause() {
    logFile << "Error: Reading from " << pipePath << " returned EOF" << endl;
    UTILITIES::sleepNanoSeconds(pauseAfterEndOfFile);
}

void ListThread::_handleLine(const char* line) {
    words.clear();
    words.str(line);
    std::string first;
    if (!(words >> first)) return;  // blanks only
    if (first == "usershift:")
        _userShift();
    else
        _announce(first);
}

void ListThread::_userShift() {
    // Each number on its own: one that is missing or not an unsigned 32-bit
    // decimal keeps the previous user's value, and the shift happens anyway.
    std::string uidWord;
    std::string gidWord;
    words >> uidWord >> gidWord;
    uint32_t uid = shift.uid;
    uint32_t gid = shift.gid;
    readId(uidWord, uid);
    readId(gidWord, gid);

    // Two shifts in one second would share one shift time, and the files of
    // the earlier shift could no longer be told from those of the later one:
    // they would never be booked as the previous users' files. A shift
    // therefore starts at least one second after the one before (after a
    // clock set back, shift times count on from the last one until the clock
    // has caught up).
    int64_t now = static_cast<int64_t>(time(nullptr));
    if (now <= shift.time) now = shift.time + 1;

    const std::string plusLine(72, '+');
    logFile << "\n"
            << plusLine << "\n"
            << "\n";
    logFile << "Usershift on " << localTimeText(static_cast<time_t>(now)) << " with uid=" << uid << " gid=" << gid
            << "\n";
    logFile << "\n"
            << plusLine << "\n"
            << "\n";
    logFile.flush();

    shift = DebitListThread::PollundInfo{uid, gid, now};
    DebitListThread::setPollundInfo(shift);
    for (Storage* storage : storages) {
        storage->setTavroTime(now, uid, gid);
        logFile << "Removing files from previous users" << endl;
        storage->startDeleting();
    }
}

void ListThread::_announce(const std::string& announcedPath) {
    std::string path = UTILITIES::normalizePath(announcedPath);
    const char* reason = unsafePathReason(announcedPath, path);
    if (reason != nullptr) {
        logFile << "Error: Rejected announcement " << announcedPath << ": " << reason << endl;
        return;
    }
    FileInfo file(path, shift.time);
    for (Storage* storage : storages) {
        storage->insertToBuffer(file);
        storage->flushBuffer();
    }
}
