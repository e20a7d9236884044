#ifndef VELLORT_INTAKE_LISTTHREAD_H
#define VELLORT_INTAKE_LISTTHREAD_H

#include <stdint.h>

#include <functional>
#include <string>
#include <vector>

#include "intake/Announcement.h"
#include "intake/LineFraming.h"
#include "journal/Journal.h"
#include "ledger/DebitListThread.h"
#include "log/LogFile.h"
#include "systemd/ServiceNotifier.h"
#include "thread/Thread.h"
#include "util/TrustedTree.h"
#include "util/UniqueFd.h"

class Storage;
namespace EVENTS {
class Publisher;
}
struct stat;

// The daemon's one reader of the announcement pipe. Each line is a finished
// file, which becomes one shared FileInfo handed to every storage, or a
// "usershift:" line, which records the new user process-wide, switches every
// storage to the new shift and starts the removal of the previous users'
// files. run() never returns: the start-up waits on this thread for the life
// of the process.
//
// Borrowed: the storages, which the start-up never deletes. Everything else
// belongs to the reader's own thread.
class ListThread : public Thread {
public:
    // ramdisk: the RAM disk's mount point as configured; only files below it
    // are taken, or below the path it resolves to now, where it is a link.
    // journal: borrowed, null without one; every line is recorded in it
    // before it is acted on, and `recovered`, what it held at the start, is
    // taken up again first.
    ListThread(const std::vector<Storage*>& storages, const std::string& logFilePath, const std::string& pipePath,
               const std::string& ramdisk, Journal* journal = nullptr, Journal::Contents* recovered = nullptr);

    // When a regular file stands at pipePath (written there before the pipe
    // existed), renames it, unread, to pipePath.stale-<seconds since the
    // epoch>, makes the pipe (mode 0600) in its place and logs both; true once
    // it is moved, also when the pipe then cannot be made (logged). False for
    // anything else there, and when the file cannot be moved (logged).
    static bool moveRegularFileAside(const std::string& pipePath, LogFile& log);

    // systemd: called once on the reader's thread when what the journal held
    // is taken up and the reader goes to open and read the pipe (READY=1).
    // Set before start().
    void setReadyHook(std::function<void()> hook) { readyHook = std::move(hook); }
    // Before start(): each user shift is published through it (borrowed).
    void setEvents(EVENTS::Publisher* publisher) { events = publisher; }

protected:
    void run() override;

private:
    // What a line asks for, decided before it is recorded and acted on.
    struct Action {
        Announcement announcement;
        int64_t id;                          // the file's number in the journal
        DebitListThread::PollundInfo shift;  // the file's shift, or the new one
    };

    // The first shift: the one the journal kept, with what is unfinished of
    // it and before, or a new one.
    void _startShift();
    // Opens the pipe for reading, waiting for a writer, and our own writer
    // on the same pipe; retries every second while the pipe cannot be opened.
    // A regular file in its place is moved aside, never read.
    UniqueFd _openPipe();
    // Points keepOpen at the pipe just opened for reading, unless it is there already.
    void _keepWriterOn(int pipe, const struct stat& opened);
    void _logEndOfFileAndPause();
    // The lines read at one go, recorded together, then acted on in order.
    struct Block {
        std::vector<LineFraming::Line> lines;
        std::vector<Action> actions;
        uint64_t ticket = 0;  // of their commit
        ssize_t bytes = 0;    // still in the pipe, to take once committed
        int64_t readAt = 0;   // CLOCK_MONOTONIC nanoseconds: when its lines arrived
    };
    // Decides the block's actions (shifts counted on from `upcoming`) and
    // submits them to the journal; `bytes` are what they were read from,
    // when still in the pipe.
    void _prepare(Block& block, const std::string& bytes);
    void _act(const Block& block);
    // Reads what the pipe holds into buffer: with copyOut only a copy, which
    // _drop then takes from the pipe; `onlyWaiting`: what is there now, else
    // -1 (EAGAIN).
    ssize_t _take(int pipe, std::vector<char>& buffer, bool onlyWaiting);
    // Reads the `count` bytes that tee has just put into copyOut, retrying
    // only an interruption: they are there already. False when a read fails.
    bool _readCopied(char* into, ssize_t count);
    void _drop(int pipe, std::vector<char>& buffer, ssize_t count);
    // At a start: takes `recorded` from the pipe when the pipe begins with it.
    void _skipRecorded(int pipe, const std::string& recorded);
    void _userShift(const DebitListThread::PollundInfo& next);
    // Why the announced file's folder cannot be taken: a directory on the way
    // below the RAM disk is a symbolic link. Empty otherwise, also when the
    // folder is missing (its copies then fail and are reported).
    std::string _linkOnTheWay(const std::string& belowRamdisk);
    // The size of an announced file, recorded in the journal: what a copy
    // must have when the daemon is restarted after the file is gone. -1 when
    // it is no regular file (yet).
    int64_t _announcedSize(const std::string& belowRamdisk);
    // `path` is in the marker form and safe for every storage.
    // `readAt`: when the line arrived, the start of its copies' delay.
    void _announce(const std::string& path, int64_t id, int64_t time, int64_t readAt);

    std::vector<Storage*> storages;
    std::string logFilePath;
    LogFile logFile;
    std::string pipePath;
    std::string ramdisk;
    std::string resolvedRamdisk;  // where ramdisk is a link: the path it led to at the start; else empty
    Journal* journal;
    EVENTS::Publisher* events = nullptr;
    Journal::Contents* recovered;  // emptied once taken up
    UniqueFd copyOut[2];           // with a journal: the pipe the bytes are copied out to
    UniqueFd keepOpen;             // our own writer on the pipe read from, never written to

    // Used by the reader's thread only.
    DebitListThread::PollundInfo shift;     // the current user and the start of its shift
    DebitListThread::PollundInfo upcoming;  // the same once the lines read so far are acted on
    bool upcomingHasFiles = true;           // a file was announced in `upcoming`'s shift (or may have been)
    TrustedTree ramdiskTree;                // holds the folder of the file announced last
    // systemd: set while a block is acted on, clear while the reader waits on the pipe.
    std::function<void()> readyHook;
    SYSTEMD::BusyStamp busy{"the pipe reader"};
};

#endif
