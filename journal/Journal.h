#ifndef VELLORT_JOURNAL_JOURNAL_H
#define VELLORT_JOURNAL_JOURNAL_H

#include <stdint.h>

#include <condition_variable>
#include <functional>
#include <string>
#include <vector>

#include "ledger/HistoryChange.h"
#include "log/LogFile.h"
#include "thread/Thread.h"

struct sqlite3;
struct sqlite3_stmt;
class MessageServer;

// The daemon's durable record, an SQLite file in WAL mode: every announced
// file, every user shift, each storage's step on each file (copied, failed
// with its attempts, linked, removed, deleted, kept) and the copy history per
// shift, so that a restarted daemon takes up where the last one stopped.
//
// The pipe reader hands its lines over with record(), which returns once they
// are committed: nothing is acted on that a kill could make the daemon forget.
// Steps are booked with book() from any thread and committed by the journal's
// own thread, the one writer, in groups; a kill may lose the last few, which
// the start-up finds out again from the files themselves.
//
// A file's reference hash, once the first copy of it has been read back, is
// kept with the file, so that a restarted daemon verifies its later copies
// against the same value; the history counts the verified copies and those
// that failed verification per shift.
//
// Files whose every storage is done are pruned at a user shift once their own
// shift is `keptShifts` shifts old, so the journal holds only the unfinished
// files and the last shifts.
class Journal : public Thread {
public:
    // A storage's step on a file, as the journal keeps it.
    enum State { PENDING = 0, RETRYING = 1, COPIED = 2, FAILED = 3, LINKED = 4, REMOVED = 5, DELETED = 6, KEPT = 7 };

    // 2: files.hash, history.verified and history.verify_failed; 3:
    // files.size. A file of an earlier schema is upgraded in place when opened.
    static constexpr int schemaVersion = 3;
    static constexpr int keptShifts = 3;

    // A line of the pipe to record: a file, or a user shift.
    struct Entry {
        bool shift;
        int64_t id;        // the file's number; for a shift, that of the first file it may have
        std::string path;  // files only
        int64_t time;      // the file's shift, or the new shift's start
        uint32_t uid;      // user shifts only
        uint32_t gid;
        int64_t size = -1;  // files only: bytes when announced, -1 when not known
        std::string event = {};  // user shifts only: the event's body, for the outbox; empty: none
    };

    struct Step {
        State state = PENDING;
        uint32_t attempts = 0;
        bool done = false;
    };
    // One shift's counts of one storage, as the status service shows them.
    struct Count {
        int64_t time;
        uint32_t uid, gid, pending, copied, failed;
        uint32_t verified, verifyFailed;
    };
    struct OpenFile {
        int64_t id;
        std::string path;
        int64_t shift;
        std::vector<Step> steps;  // by storage, in the order given to the constructor
        std::string hash;         // the reference hash, 32 lowercase hex digits; empty while unknown
        int64_t size = -1;        // as announced; -1 when not known
    };
    // What open() found.
    struct Contents {
        bool haveShift = false;
        int64_t shiftTime = 0;
        uint32_t uid = 0, gid = 0;
        std::vector<std::vector<Count>> history;  // by storage, newest first
        std::vector<OpenFile> files;              // unfinished, oldest first
        // The bytes of the pipe recorded last, which the reader takes from
        // the pipe only after the commit: still there at the next start if
        // the daemon was killed in between, and then not read twice.
        std::string unread;
    };

    // storageIDs: the configured storages, by which steps are kept.
    Journal(const std::string& path, const std::vector<std::string>& storageIDs, int historyEntries,
            const std::string& logFilePath, MessageServer* messageServer);
    // Writes what is queued and ends the writer. The daemon never destroys
    // its journal: it ends with _exit after flush().
    ~Journal() override;

    // Opens the file (making it and its folder when missing) and reads what it
    // holds. A file that cannot be read, or that a newer version wrote, is
    // moved aside as <path>.corrupt-<seconds since the epoch>, with an error
    // in the log and a message, and a fresh one is made. A file of the
    // previous schema is upgraded in place; one that cannot be (a full disk,
    // another process's lock) is left as it is, to be upgraded at the next
    // start. False when no journal can be had at all, or that upgrade failed;
    // the daemon then keeps everything in memory.
    bool open(Contents& out);

    // Pipe reader: numbers for new files, in announcement order, and the
    // number the next one will get.
    int64_t newFileId() { return nextId++; }
    int64_t nextFileId() const { return nextId; }
    // Pipe reader: returns once the entries are committed, or could not be;
    // `bytes` are the pipe's bytes they came from (see Contents::unread).
    void record(const std::vector<Entry>& entries, const std::string& bytes = "") { waitFor(submit(entries, bytes)); }
    // The same in two halves, so that the reader can read on meanwhile:
    // submit returns a ticket (0 for nothing to record) that waitFor waits for.
    uint64_t submit(const std::vector<Entry>& entries, const std::string& bytes);
    void waitFor(uint64_t ticket);
    // Any thread: a storage's step on a file of the shift `shift`, with the
    // change to that shift's counts that goes with it.
    // `event`, when not empty, is the body of the event that reports the
    // step, committed with it in the outbox (topic EVENTS::FILE_TOPIC).
    void book(int64_t file, int storage, const Step& step, int64_t shift, const HistoryChange& change = {},
              std::string event = {});
    // Any thread: a verification of a storage's copy, a change to the counts
    // of the shift alone; the storage's step on the file stays as it is.
    void bookVerification(int storage, int64_t shift, bool verified);
    // Any thread: the file's reference hash. Ignored for file 0, which the
    // journal never numbered.
    void bookHash(int64_t file, const std::string& hash);
    // The outbox of the events, for a publisher. enableOutbox() before
    // open(): the outbox is made when missing (a journal of an earlier
    // version gains it; it reads on without it), with its stream's name,
    // 16 hex digits made once per outbox. The listener, set before start(),
    // hears after each commit how many events the outbox gained.
    void enableOutbox() { outboxWanted = true; }
    const std::string& outboxStream() const { return outboxStream_; }
    void setOutboxListener(std::function<void(int)> listener) { outboxListener = std::move(listener); }
    // Any thread: an event to the outbox, committed with the next group.
    void bookEvent(int topic, std::string body);
    // Any thread: the broker has every event up to `seq`; they leave the outbox.
    void bookSent(int64_t seq);
    // Stop: commits everything booked so far, waiting at most `seconds`.
    void flush(int seconds);

    const std::string& path() const { return path_; }

protected:
    void run() override;

private:
    struct Event {
        enum Kind { FILE, SHIFT, STEP, BYTES, COUNT, HASH, OUTBOX, SENT } kind;
        int64_t id;        // the file
        std::string path;  // for HASH, the hash
        int64_t time;
        uint32_t uid, gid;
        int storage;
        Step step;             // STEP
        HistoryChange change;  // STEP, COUNT
        int64_t size;          // FILE
        int topic;             // OUTBOX
        std::string event;     // SHIFT, STEP, OUTBOX: an event's body for the outbox; SENT: none (id is its seq)
    };

    // The writer's loop, and the checkpoints' on a connection of their own.
    void _write();
    void _checkpoints(sqlite3* copier);
    bool _openFile(std::string& why);
    // What open() reads, part by part in this order; each returns false with
    // `why` set when the file cannot be read (or written where a part writes).
    bool _read(Contents& out, std::string& why);
    // A new file gets the schema, one of an earlier schema is upgraded (a
    // failure sets upgradeFailed and leaves the file as it was); a file a
    // newer version wrote, or that SQLite's quick check finds damaged, fails.
    bool _readSchema(std::string& why);
    // The rows of storageIDs into storageKeys, made for the storages new to
    // the file, with an entry of the current shift in the history.
    bool _readStorages(std::string& why);
    // The pipe's bytes recorded last (see Contents::unread); left as they
    // are when none were kept.
    bool _readUnread(std::string& unread, std::string& why);
    // The current shift, and the newest historyEntries entries of each
    // storage's history, by storage in storageKeys' order.
    bool _readHistory(Contents& out, std::string& why);
    // The files some storage is not done with, oldest first, with their
    // steps; nextId goes past every number a file or a step has.
    bool _readFiles(std::vector<OpenFile>& files, std::string& why);
    // From schema `version` to this one, in one transaction; false leaves the file as it was.
    bool _upgrade(int64_t version, std::string& why);
    void _close();
    void _moveAside(const std::string& why);
    bool _exec(const char* sql);
    bool _commit(const std::vector<Event>& events, std::string& why);
    bool _apply(const Event& event);
    // Any thread: an event of book(), bookVerification() or bookHash().
    void _queue(Event&& event);
    bool _prune();
    bool _openOutbox(std::string& why);
    bool _toOutbox(int topic, const std::string& body);
    sqlite3_stmt* _statement(const char* sql);
    void _reportFailure(const std::string& why);

    const std::string path_;
    const std::vector<std::string> storageIDs;
    std::vector<int64_t> storageKeys;  // the rows of storageIDs in the journal
    const int historyEntries;
    LogFile logFile;
    MessageServer* messageServer;
    sqlite3* db = nullptr;                                          // the writer thread's once started
    std::vector<std::pair<const char*, sqlite3_stmt*>> statements;  // prepared once, with db
    int64_t nextId = 1;                                             // pipe reader only, after open()

    Mutex mutex{Mutex::NORMAL};
    std::condition_variable_any changed;
    std::vector<Event> queue GUARDED_BY(mutex);
    uint64_t queued GUARDED_BY(mutex) = 0;    // events ever queued
    uint64_t settled GUARDED_BY(mutex) = 0;   // of which committed, or given up
    int waiting GUARDED_BY(mutex) = 0;        // callers of flush() waiting for a commit
    int urgent GUARDED_BY(mutex) = 0;         // reader's entries queued since the last commit began
    bool stopping GUARDED_BY(mutex) = false;  // the destructor's: the writer ends once the queue is written
    bool walFull GUARDED_BY(mutex) = false;   // the writer waits for the checkpoints to catch up
    int walPages = 0;                         // writer thread only: in the write-ahead log after the last commit
    bool failing = false;                     // writer thread only: the last commit failed, and was reported
    bool upgradeFailed = false;               // open() only: the file is of the previous schema and stays so
    bool outboxWanted = false;
    std::string outboxStream_;                 // set by open()
    std::function<void(int)> outboxListener;  // set before start()
    int outboxAdded = 0;                      // writer thread only: events put in the outbox by this commit
    int64_t outboxSeq = 0;                    // writer thread only (open() before it): the last number given
};

#endif
