#include "intake/ListThread.h"

#include <errno.h>
#include <fcntl.h>
#include <stdint.h>
#include <sys/prctl.h>
#include <time.h>
#include <unistd.h>

#include "intake/Announcement.h"
#include "ledger/FileInfo.h"
#include "ledger/Storage.h"
#include "util/Time.h"

namespace {

// fgets reads at most this many bytes less one; a longer line arrives in
// pieces, each handled as a line of its own.
const int readLimit = 1023;

const int64_t pauseAfterLine = 1000;             // 1 us, waited out on the clock
const int64_t pauseAfterNulLine = 1000000;       // 1 ms
const int64_t pauseAfterEndOfFile = 1000000000;  // 1 s

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
                       const std::string& pipePath, const std::string& ramdisk)
    : storages(storages),
      logFilePath(logFilePath),
      logFile(logFilePath),
      pipePath(pipePath),
      ramdisk(ramdisk),
      shift{0, 0, 0},
      ramdiskTree(ramdisk) {}

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
            // The new stream is opened before the old one is closed, so that
            // a writer never finds the pipe without a reader: its write would
            // fail with EPIPE and the announcement would be lost.
            FILE* fresh = _openPipe();
            fclose(stream);  // ignored on purpose: a read stream has nothing left to lose
            stream = fresh;
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
    Announcement announcement = Announcement::classify(line, shift.uid, shift.gid, ramdisk);
    if (announcement.kind == Announcement::FILE) {
        announcement.reason = _linkOnTheWay(announcement.belowRamdisk);
        if (!announcement.reason.empty()) announcement.kind = Announcement::REJECTED;
    }
    switch (announcement.kind) {
        case Announcement::IGNORED:
            return;
        case Announcement::USER_SHIFT:
            _userShift(announcement.uid, announcement.gid);
            return;
        case Announcement::REJECTED:
            logFile << "Error: Rejected announcement " << announcement.announcedPath << ": " << announcement.reason
                    << endl;
            return;
        case Announcement::FILE:
            _announce(announcement.path);
            return;
    }
}

void ListThread::_userShift(uint32_t uid, uint32_t gid) {
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
    ramdiskTree.release();  // a new user may bring a RAM disk mounted anew
    for (Storage* storage : storages) {
        storage->setTavroTime(now, uid, gid);
        logFile << "Removing files from previous users" << endl;
        storage->startDeleting();
    }
}

std::string ListThread::_linkOnTheWay(const std::string& belowRamdisk) {
    std::string name;
    if (ramdiskTree.parentOf(belowRamdisk, name) >= 0 || errno != ELOOP) return "";
    // The folder held may be one of a RAM disk mounted anew since: look again
    // from the mount point before refusing.
    ramdiskTree.release();
    if (ramdiskTree.parentOf(belowRamdisk, name) >= 0 || errno != ELOOP) return "";
    return "a directory on the way is a symbolic link";
}

void ListThread::_announce(const std::string& path) {
    FileInfo file(path, shift.time);
    for (Storage* storage : storages) {
        storage->insertToBuffer(file);
        storage->flushBuffer();
    }
}
