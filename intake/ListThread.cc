#include "intake/ListThread.h"

#include <errno.h>
#include <fcntl.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <utility>

#include "events/EventText.h"
#include "events/Publisher.h"
#include "journal/Recovery.h"
#include "ledger/FileInfo.h"
#include "ledger/Storage.h"
#include "metrics/Metrics.h"
#include "util/Time.h"

namespace {

// Read at one go, and recorded in the journal together.
const size_t readSize = 65536;

const int64_t pauseAfterBlock = 1000;            // 1 us, waited out on the clock
const int64_t pauseAfterNulLine = 1000000;       // 1 ms
const int64_t pauseAfterEndOfFile = 1000000000;  // 1 s

// The pause after each block of lines read at one go; the lines of one block
// follow each other at once, for a pause per line would cost every file 1 us
// of a core. A sleep of 1 us costs about 20 us here even with the smallest
// timer slack (the way through the scheduler, not the timer, dominates); a
// pause this short is waited out on the clock instead, so that it costs what
// it says.
void pauseBetweenBlocks() {
    const int64_t end = UTILITIES::monotonicNanoseconds() + pauseAfterBlock;
    while (UTILITIES::monotonicNanoseconds() < end) {
    }
}

}  // namespace

ListThread::ListThread(const std::vector<Storage*>& storages, const std::string& logFilePath,
                       const std::string& pipePath, const std::string& ramdisk, Journal* journal,
                       Journal::Contents* recovered)
    : storages(storages),
      logFilePath(logFilePath),
      logFile(logFilePath),
      pipePath(pipePath),
      ramdisk(ramdisk),
      journal(journal),
      recovered(recovered),
      shift{0, 0, 0},
      upcoming{0, 0, 0},
      ramdiskTree(ramdisk) {
    // The acquisition may name its files by the path the configured mount
    // point leads to. That path is root's own choice, resolved once; the
    // folders below it are still walked without following a link.
    char* resolved = realpath(ramdisk.c_str(), nullptr);
    std::string configured = ramdisk;
    while (configured.size() > 1 && configured.back() == '/') configured.pop_back();
    if (resolved != nullptr && configured != resolved) {
        resolvedRamdisk = resolved;
        logFile << "++ ramdisk_mountpoint " << ramdisk << " leads to " << resolvedRamdisk
                << ": files announced below either are taken" << endl;
    }
    free(resolved);
}

void ListThread::run() {
    // With the default timer slack of 50 us the 1 ms pauses after NUL lines
    // would stretch by up to 5 percent; the slack is this thread's own, so the
    // other threads keep theirs.
    // A failure is ignored on purpose: the reader only gets slower, and loses nothing.
    prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
    _startShift();
    upcoming = shift;
    // What the journal kept of the shift may hold files; a shift of this start holds none yet.
    upcomingHasFiles = recovered != nullptr && recovered->haveShift;
    // Before the pipe is opened: the open waits for the acquisition's first writer.
    if (readyHook) readyHook();

    UniqueFd pipe = _openPipe();

    // With a journal the bytes are copied out of the pipe first and taken
    // from it only once their lines are committed: a kill in between leaves
    // them in the pipe for the next start, which then skips what it finds
    // recorded already.
    int ends[2];
    if (journal != nullptr && pipe2(ends, O_CLOEXEC) == 0) {
        copyOut[0].reset(ends[0]);
        copyOut[1].reset(ends[1]);
    }
    if (recovered != nullptr && !recovered->unread.empty()) _skipRecorded(pipe.get(), recovered->unread);
    if (recovered != nullptr) *recovered = Journal::Contents();  // taken up: its memory goes

    // While the lines of one block are acted on, the next block's are
    // already being committed: the reader never waits for the journal while
    // there is work. A block leaves the pipe only once committed.
    std::vector<char> buffer(readSize);
    LineFraming framing;  // a line may go on in the next block
    Block current, next;
    auto split = [&](ssize_t got, Block& block) {
        block.readAt = UTILITIES::monotonicNanoseconds();
        framing.feed(buffer.data(), static_cast<size_t>(got), block.lines);
        block.bytes = copyOut[0] ? got : 0;
        _prepare(block, copyOut[0] ? std::string(buffer.data(), static_cast<size_t>(got)) : "");
    };
    for (;;) {
        if (!current.lines.empty() || current.bytes > 0) {
            busy.begin(current.lines.empty() ? std::string("a block of announcements") : current.lines[0].text);
            if (journal != nullptr) journal->waitFor(current.ticket);
            if (current.bytes > 0) _drop(pipe.get(), buffer, current.bytes);
            next = Block();
            const ssize_t more = copyOut[0] ? _take(pipe.get(), buffer, true) : 0;
            if (more > 0) split(more, next);
            _act(current);
            std::swap(current, next);
            continue;
        }
        busy.end();  // waiting on the pipe is no hang
        const ssize_t got = _take(pipe.get(), buffer, false);
        busy.begin("a block of announcements");
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) {
            // The last line may end without a newline.
            current = Block();
            framing.endOfInput(current.lines);
            _prepare(current, "");
            if (journal != nullptr) journal->waitFor(current.ticket);
            _act(current);
            current = Block();
            busy.end();
            _logEndOfFileAndPause();
            // The new descriptor is opened before the old one is closed (an
            // error of that close is of no matter: a reading end has nothing
            // left to lose), so that a writer never finds the pipe without a
            // reader: its write would fail with EPIPE and the announcement
            // would be lost.
            pipe = _openPipe();
            continue;
        }
        current = Block();
        split(got, current);
    }
}

ssize_t ListThread::_take(int pipe, std::vector<char>& buffer, bool onlyWaiting) {
    if (!copyOut[0]) return read(pipe, buffer.data(), buffer.size());
    const ssize_t got = tee(pipe, copyOut[1].get(), buffer.size(), onlyWaiting ? SPLICE_F_NONBLOCK : 0);
    if (got < 0 && errno == EINVAL && !onlyWaiting) {
        // Not a pipe (a device in its place): read as before.
        copyOut[0].reset();
        copyOut[1].reset();
        return read(pipe, buffer.data(), buffer.size());
    }
    if (got <= 0) return got;
    // Cannot fail on a pipe of our own that holds the bytes.
    return _readCopied(buffer.data(), got) ? got : -1;
}

bool ListThread::_readCopied(char* into, ssize_t count) {
    for (ssize_t at = 0; at < count;) {
        const ssize_t part = read(copyOut[0].get(), into + at, static_cast<size_t>(count - at));
        if (part > 0)
            at += part;
        else if (part < 0 && errno != EINTR)
            return false;
    }
    return true;
}

void ListThread::_drop(int pipe, std::vector<char>& buffer, ssize_t count) {
    // The bytes copied out are at the head of the pipe, and this is its only reader.
    for (ssize_t at = 0; at < count;) {
        const ssize_t part = read(pipe, buffer.data(), static_cast<size_t>(count - at));
        if (part > 0)
            at += part;
        else if (part == 0 || errno != EINTR)
            return;
    }
}

void ListThread::_skipRecorded(int pipe, const std::string& recorded) {
    if (!copyOut[0]) return;
    std::vector<char> head(recorded.size());
    // Whatever the last run left is there at once; an empty pipe left nothing.
    const ssize_t got = tee(pipe, copyOut[1].get(), head.size(), SPLICE_F_NONBLOCK);
    if (got <= 0 || !_readCopied(head.data(), got)) return;
    if (static_cast<size_t>(got) != recorded.size() ||
        recorded.compare(0, recorded.size(), head.data(), head.size()) != 0)
        return;
    _drop(pipe, head, got);
    logFile << "Skipped " << got << " bytes of " << pipePath
            << ": the last run recorded them and was stopped before it took them" << endl;
}

void ListThread::_startShift() {
    if (recovered != nullptr && recovered->haveShift) {
        shift = DebitListThread::PollundInfo{recovered->uid, recovered->gid, recovered->shiftTime};
        DebitListThread::setPollundInfo(shift);
        for (size_t storage = 0; storage < storages.size(); ++storage) {
            std::list<DebitCredit::HistEntry> entries;
            if (storage < recovered->history.size())
                for (const Journal::Count& count : recovered->history[storage]) {
                    entries.emplace_back(count.time, count.uid, count.gid);
                    entries.back().pending = count.pending;
                    entries.back().copied = count.copied;
                    entries.back().failed = count.failed;
                    entries.back().verified = count.verified;
                    entries.back().verifyFailed = count.verifyFailed;
                }
            if (entries.empty())
                storages[storage]->setTavroTime(shift.time, shift.uid, shift.gid);  // none kept for it
            else
                storages[storage]->restoreHistory(shift.time, entries);
        }
        Recovery::takeUp(*recovered, storages, logFile);
        return;
    }
    time_t now = time(nullptr);
    shift = DebitListThread::PollundInfo{0, 0, static_cast<int64_t>(now)};
    DebitListThread::setPollundInfo(shift);
    if (journal != nullptr) journal->record({{true, journal->nextFileId(), "", shift.time, 0, 0}});
    for (Storage* storage : storages) storage->setTavroTime(shift.time, 0, 0);
}

UniqueFd ListThread::_openPipe() {
    for (;;) {
        UniqueFd pipe(open(pipePath.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
        if (!pipe && errno == EINTR) continue;
        struct stat opened;
        if (pipe && fstat(pipe.get(), &opened) == 0 && !S_ISREG(opened.st_mode)) {
            _keepWriterOn(pipe.get(), opened);
            return pipe;
        }
        if (pipe) {
            pipe.reset();  // an error of this close ignored on purpose: nothing was read from it
            if (moveRegularFileAside(pipePath, logFile)) continue;
        }
        // A missing or unreadable pipe is reported like an end of file and
        // tried again after the same pause: the start-up made it, so an
        // operator can put it back.
        _logEndOfFileAndPause();
    }
}

void ListThread::_keepWriterOn(int pipe, const struct stat& opened) {
    struct stat held;
    if (keepOpen && fstat(keepOpen.get(), &held) == 0 && held.st_dev == opened.st_dev && held.st_ino == opened.st_ino)
        return;
    keepOpen.reset();  // of a pipe that was made anew since
    if (!S_ISFIFO(opened.st_mode)) return;
    // Through the reading descriptor, so that the writer is on this very pipe
    // whatever stands at the path by now. A failure is ignored: the reader
    // only meets end of file more often.
    const std::string self = "/proc/self/fd/" + std::to_string(pipe);
    keepOpen.reset(open(self.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC));
}

bool ListThread::moveRegularFileAside(const std::string& pipePath, LogFile& log) {
    const std::string::size_type slash = pipePath.rfind('/');
    const std::string folder = slash == std::string::npos ? "./" : pipePath.substr(0, slash + 1);
    const std::string name = pipePath.substr(slash == std::string::npos ? 0 : slash + 1);
    // An error of its close is ignored on purpose: a directory descriptor has nothing to lose.
    const UniqueFd dir(open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!dir) return false;
    struct stat found, moved;
    UniqueFd file(openat(dir.get(), name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    const bool regular = file && fstat(file.get(), &found) == 0 && S_ISREG(found.st_mode);
    file.reset();  // an error of this close ignored on purpose: only what it is was needed
    const std::string stale = name + ".stale-" + std::to_string(time(nullptr));
    int result = regular ? renameat2(dir.get(), name.c_str(), dir.get(), stale.c_str(), RENAME_NOREPLACE) : -1;
    const int renameErrno = errno;
    if (regular && result != 0) {
        log << "Error: Cannot move the regular file " << pipePath
            << " aside: " << LogManip(&LogFile::errmsg, renameErrno) << endl;
    } else if (regular && (fstatat(dir.get(), stale.c_str(), &moved, AT_SYMLINK_NOFOLLOW) != 0 ||
                           moved.st_dev != found.st_dev || moved.st_ino != found.st_ino)) {
        // Something else was put there between the look and the rename: it
        // stays under the new name, and the pipe is not made in its place.
        log << "Error: " << folder << stale << " is not the regular file found at " << pipePath << endl;
        result = -1;
    } else if (regular && mkfifoat(dir.get(), name.c_str(), 0600) != 0) {
        const int mkfifoErrno = errno;
        log << "++ Error: Creating " << pipePath << "\n"
            << "          " << LogManip(&LogFile::errmsg, mkfifoErrno) << endl;
    } else if (regular) {
        log << "Warning: " << pipePath << " was a regular file: moved it aside, unread, to " << folder << stale
            << " and made the pipe" << endl;
    }
    return regular && result == 0;
}

void ListThread::_logEndOfFileAndPause() {
    logFile << "Error: Reading from " << pipePath << " returned EOF" << endl;
    UTILITIES::sleepNanoSeconds(pauseAfterEndOfFile);
}

void ListThread::_prepare(Block& block, const std::string& bytes) {
    // What each line asks for, with the shifts it starts, all of it into the
    // journal at once; it is acted on once committed.
    std::vector<Journal::Entry> entries;
    DebitListThread::PollundInfo& next = upcoming;
    for (const LineFraming::Line& line : block.lines) {
        Action action{Announcement(), 0, next};  // a line starting with a NUL byte stays IGNORED
        Announcement& announcement = action.announcement;
        // Up to a NUL byte, as the C string it is to the acquisition program.
        if (line.refused()) {
            announcement.kind = Announcement::REJECTED;
            announcement.announcedPath = line.shown();
            announcement.reason = LineFraming::Line::whyRefused();
        } else if (!line.startsWithNul()) {
            announcement = Announcement::classify(line.text.c_str(), next.uid, next.gid, ramdisk, resolvedRamdisk);
        }
        if (announcement.kind == Announcement::FILE) {
            announcement.reason = _linkOnTheWay(announcement.belowRamdisk);
            if (!announcement.reason.empty()) announcement.kind = Announcement::REJECTED;
        }
        if (announcement.kind == Announcement::USER_SHIFT) {
            // Two shifts in one second would share one shift time, and the
            // files of the earlier shift could no longer be told from those of
            // the later one: they would never be booked as the previous users'
            // files. A shift therefore starts at least one second after the
            // one before (after a clock set back, shift times count on from
            // the last one until the clock has caught up). But a shift
            // without a file needs no time of its own: one that would be
            // dated ahead of the clock takes its place, with the same time
            // and the new user, so that a flood of shift lines cannot date
            // the shifts ahead. Only a shift with files is ever a second
            // ahead of the one before it.
            int64_t now = static_cast<int64_t>(time(nullptr));
            if (now <= next.time) now = upcomingHasFiles ? next.time + 1 : next.time;
            upcomingHasFiles = false;
            next = DebitListThread::PollundInfo{announcement.uid, announcement.gid, now};
            action.shift = next;
            // Its event goes to the journal's outbox with it, or else to the publisher.
            std::string event;
            if (events != nullptr) event = EVENTS::shiftBody(events->hostName(), {next.uid, next.gid, now});
            const bool eventWithEntry = journal != nullptr && events != nullptr && events->journaled();
            if (journal != nullptr) {
                entries.push_back({true, journal->nextFileId(), "", now, next.uid, next.gid});
                if (eventWithEntry) entries.back().event = std::move(event);
            }
            if (events != nullptr && !eventWithEntry) events->post(EVENTS::SHIFT_TOPIC, std::move(event));
        } else if (announcement.kind == Announcement::FILE) {
            upcomingHasFiles = true;
        }
        if (announcement.kind == Announcement::FILE && journal != nullptr) {
            action.id = journal->newFileId();
            entries.push_back(
                {false, action.id, announcement.path, next.time, 0, 0, _announcedSize(announcement.belowRamdisk)});
        }
        block.actions.push_back(std::move(action));
    }
    if (journal != nullptr) block.ticket = journal->submit(entries, bytes);
}

void ListThread::_act(const Block& block) {
    const std::vector<LineFraming::Line>& lines = block.lines;
    const std::vector<Action>& actions = block.actions;

    // The storages' flush threads are woken once for the files of the block
    // (and before a shift), not once for each file.
    bool unflushed = false;
    auto flush = [&] {
        if (unflushed)
            for (Storage* storage : storages) storage->flushBuffer();
        unflushed = false;
    };
    for (size_t i = 0; i < actions.size(); ++i) {
        const Action& action = actions[i];
        if (lines[i].startsWithNul()) {
            flush();
            UTILITIES::sleepNanoSeconds(pauseAfterNulLine);
            continue;
        }
        switch (action.announcement.kind) {
            case Announcement::IGNORED:
                break;
            case Announcement::USER_SHIFT:
                flush();
                _userShift(action.shift);
                break;
            case Announcement::REJECTED:
                logFile << "Error: Rejected announcement " << action.announcement.announcedPath << ": "
                        << action.announcement.reason << endl;
                break;
            case Announcement::FILE:
                _announce(action.announcement.path, action.id, action.shift.time, block.readAt);
                unflushed = true;
                break;
        }
    }
    flush();
    pauseBetweenBlocks();
}

void ListThread::_userShift(const DebitListThread::PollundInfo& next) {
    const std::string plusLine(72, '+');
    logFile << "\n"
            << plusLine << "\n"
            << "\n";
    logFile << "Usershift on " << UTILITIES::asciiTime(next.time) << " with uid=" << next.uid << " gid=" << next.gid
            << "\n";
    logFile << "\n"
            << plusLine << "\n"
            << "\n";
    logFile.flush();

    shift = next;
    METRICS::add(METRICS::userShifts());
    DebitListThread::setPollundInfo(shift);
    ramdiskTree.release();  // a new user may bring a RAM disk mounted anew
    for (Storage* storage : storages) {
        storage->setTavroTime(shift.time, shift.uid, shift.gid);
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

int64_t ListThread::_announcedSize(const std::string& belowRamdisk) {
    std::string name;
    const int dir = ramdiskTree.parentOf(belowRamdisk, name);
    struct stat status;
    if (dir < 0 || fstatat(dir, name.c_str(), &status, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(status.st_mode)) return -1;
    return static_cast<int64_t>(status.st_size);
}

void ListThread::_announce(const std::string& path, int64_t id, int64_t time, int64_t readAt) {
    FileInfo file(path, time, id, readAt);
    METRICS::add(METRICS::filesAnnounced());
    for (Storage* storage : storages) storage->insertToBuffer(file);
}
