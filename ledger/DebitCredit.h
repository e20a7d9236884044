#ifndef VELLORT_LEDGER_DEBITCREDIT_H
#define VELLORT_LEDGER_DEBITCREDIT_H

#include "thread/Mutex.h"
#include <stdint.h>

#include <atomic>
#include <list>
#include <map>
#include <vector>

#include "journal/Journal.h"
#include "ledger/FileInfo.h"
#include "ledger/HistoryChange.h"
#include "metrics/Metrics.h"

// The ledger of one storage: the files it still owes work on. An announced
// file is a debit until its copy is made (the credit); a TRACK_FILES ledger
// (INTERNAL and EXTERNAL storages) then keeps it until its source has been
// replaced by a link or deleted, a COUNT_ONLY ledger (OPTIONAL storages)
// forgets it. Files pass from thread to thread through the lists below; two
// counters hold the files still in progress of the current and of earlier user
// shifts, and a short history holds per-shift counts for the status service.
//
// Called by the pipe reader (insertToBuffer, setTavroTime), the storage's
// flush, copy, link and deletion threads and their copy workers, and the status
// service's workers (history). Every operation is thread-safe. The lists hold
// handles, never records: a handle appended here keeps its record alive.
//
// Lock order, where two are held together: linkMutex, replaceMutex,
// bufferMutex, tavroTimeMutex, then historyMutex or deleteMutex (setTavroTime);
// copyListMutex before bufferMutex (flushBuffer); replaceMutex or linkMutex
// before tavroTimeMutex (a credit or link of the current shift). historyMutex
// and deleteMutex are never held with each other or with a list mutex other
// than in setTavroTime.
class DebitCredit {
public:
    enum TYPE { COUNT_ONLY = 0, TRACK_FILES = 1 };

    // Counts of one user shift, for the status service.
    struct HistEntry {
        HistEntry(int64_t time, uint32_t uid, uint32_t gid)
            : time(time), uid(uid), gid(gid), pending(0), copied(0), failed(0), verified(0), verifyFailed(0) {}

        bool operator==(const HistEntry& other) const { return time == other.time; }
        bool operator==(int64_t otherTime) const { return time == otherTime; }

        int64_t time;  // start of the shift, the tavroTime of its files
        uint32_t uid;
        uint32_t gid;
        uint32_t pending;  // announced, not yet copied or failed
        uint32_t copied;
        uint32_t failed;
        uint32_t verified;      // copies read back and found equal to the source's hash
        uint32_t verifyFailed;  // copies read back and found different
    };

    // A failed copy that will be tried again (copy_retry_max_delay).
    struct Retry {
        FileInfo file;
        uint32_t attempts;  // failed attempts so far
        int64_t due;        // when to try again: CLOCK_MONOTONIC nanoseconds
    };

    // maxHistoryEntries below 1 counts as 1.
    DebitCredit(int maxHistoryEntries, TYPE type);
    ~DebitCredit();

    DebitCredit(const DebitCredit&) = delete;
    DebitCredit& operator=(const DebitCredit&) = delete;

    // Pipe reader: a newly announced file.
    void insertToBuffer(const FileInfo& file);
    // Flush thread: buffer to the end of the copy list; true if anything moved.
    bool flushBuffer();
    // Copy thread: the whole copy list into out (cleared first); false if there was none.
    bool getCopyList(std::list<FileInfo>& out);

    // Copy workers: a file copied (and read back and found right, where
    // `verified`: counted with the copy, in one booking), or a copy that failed.
    // `event`: the body of the event that reports it, booked with the step
    // in the journal's outbox (see Journal::book).
    void insertToCredits(const FileInfo& file, bool verified = false, std::string event = {});
    void insertToFailedCopies(const FileInfo& file, std::string event = {});
    // Copy workers, with retries on: a failed copy to try again. The file
    // stays in progress; its first failure (attempts 1) is booked failed in
    // the history, later ones are not booked again.
    void insertToRetries(const Retry& retry);
    // Copy thread: the retries due at `now` into out (appended); returns the
    // earliest due time of those left, or -1 when none is left.
    int64_t getDueRetries(std::list<Retry>& out, int64_t now);
    // Copy workers, with verification on: a copy read back and found equal
    // to its file's reference hash, or not. A count of the file's shift only;
    // the file stays where it is in the ledger.
    void bookVerification(const FileInfo& file, bool verified);
    // Copy workers: a retried copy that succeeded. The history takes its
    // failure back (failed -1, copied +1); then as insertToCredits.
    void insertToRetriedCredits(const FileInfo& file, bool verified = false, std::string event = {});
    // Copy workers: a retry given up, booked failed at its first failure;
    // then as insertToTrash.
    void insertToGivenUp(const FileInfo& file, uint32_t attempts, std::string event = {});

    // Link thread: a held file handed back, a link that failed, a link made,
    // a source removed or kept by the removal pass (the ledger keeps no entry
    // for it; `removed` says which).
    void insertToTrash(const FileInfo& file);
    void insertToFailedLinks(const FileInfo& file);
    void insertToLinks(const FileInfo& file);
    void forgetAbout(const FileInfo& file, bool removed = true);
    // Deletion thread: a file of an earlier shift deleted, or kept; or
    // files it cannot take yet, for its next round.
    void bookDeletion(const FileInfo& file, bool deleted);
    void postponeDeletion(std::list<FileInfo>& files);
    // Link thread: copied files it cannot take yet, back to the front of the
    // replace-by-link list (to the delete list once their shift is over).
    void postponeReplacement(std::list<FileInfo>& files);

    // Link and removal passes: the copied files of the current shift. A
    // COUNT_ONLY ledger returns false and leaves out as it is.
    bool getReplaceByLinkList(std::list<FileInfo>& out);
    // Link thread: the n oldest links, which leave the count of files in
    // progress. A COUNT_ONLY ledger leaves out as it is.
    void getDeleteLinkList(std::list<FileInfo>& out, uint64_t n);
    // Deletion thread: the files to delete. True while files of earlier shifts
    // are still in progress (more will come), else whether any were handed
    // over. A COUNT_ONLY ledger returns false and leaves out as it is.
    bool getDeleteList(std::list<FileInfo>& out);

    // A storage's watch, to fill a new disk: the copied files the ledger
    // still holds for the passes and the deletion (appended to out, the
    // lists left as they are). A COUNT_ONLY ledger holds none.
    void copiedFiles(std::vector<FileInfo>& out);

    // Switches to a new user shift: a new history entry, and the previous
    // shift's finished files go to the delete list. The time of the current
    // shift hands that shift to the user given: its history entry takes the
    // new uid and gid, and its files, if any, stay the current shift's. The
    // pipe reader does so only for a shift that has no file.
    void setTavroTime(int64_t time, uint32_t uid, uint32_t gid);
    int64_t tavroTime();

    // Newest first: all entries for n < 0, none for 0, the newest n otherwise.
    std::list<HistEntry> history(int n);
    // The user and group of the shift that began at `time`; false when the
    // history no longer holds it.
    bool shiftOf(int64_t time, uint32_t& uid, uint32_t& gid);
    // Files in progress, of all shifts.
    int size() const;
    // The part of size() of the current shift.
    uint32_t currentShiftInProgress() const { return currentCount.load(); }

    // What the storage did since the start, for the metrics service. The
    // ledger counts its own steps; the copy workers add bytes and delays.
    METRICS::StorageCounters& counters() { return counters_; }
    // How long the oldest file still to copy has waited since it was
    // announced (or taken up at a start), in nanoseconds; 0 when none waits.
    int64_t oldestPendingAge(int64_t now) const;

    // Before any file arrives: every step is booked in the journal too, as
    // the storage `storage` of it. `bookedCopy` is the FileInfo flag that the
    // start-up sets on a file whose copy here the journal holds as made.
    void attachJournal(Journal* journal, int storage, uint32_t bookedCopy = 0);
    // At a start with a journal, before any file arrives: the shift and the
    // history as the journal kept them (newest first).
    void restoreHistory(int64_t time, const std::list<HistEntry>& entries);
    // At a start with a journal: a file taken up again at the step `state`,
    // where the journal last booked `booked` for this storage (the start-up
    // may find that a step went further, or must be done again). Files still
    // to copy (PENDING) go to the buffer (the caller flushes it), failed
    // retries back to the retries, links and failed copies where they were.
    // The history moves the file between pending, copied and failed as the
    // two steps differ, so nothing is counted twice.
    void restore(const FileInfo& file, const Journal::Step& booked, Journal::State state);
    // At a start, after restore(): a verification of the file's copy that
    // the last run made and was stopped before it booked. Counted in the
    // history (and the journal), not in this run's metrics.
    void restoreVerification(const FileInfo& file);

private:
    // A file starts or stops waiting for its copy (pending, retries).
    void _pendingBegins(const FileInfo& file);
    void _pendingEnds(const FileInfo& file);
    // Takes a file out of the count of files in progress. The caller holds no
    // lock that orders after tavroTimeMutex.
    void _countDone(const FileInfo& file);
    void _appendToDeleteList(const FileInfo& file);
    // A file of an earlier shift that the storage is done with: to the
    // delete list, then out of the count of files in progress. The caller
    // may also hold the list mutexes ordered before tavroTimeMutex.
    void _doneEarlier(const FileInfo& file) REQUIRES(tavroTimeMutex);
    // The history entry of a file's shift: its counts changed by `change`.
    void _changeHistory(const FileInfo& file, const HistoryChange& change);
    // insertToCredits after the history was booked.
    void _credit(const FileInfo& file);
    // The history change of _changeHistory, and the step in the journal.
    void _book(const FileInfo& file, Journal::State state, uint32_t attempts = 0, const HistoryChange& change = {},
               std::string event = {});
    // Where the history counts a file whose copy here is still to be made:
    // pending, or copied for one the journal holds as copied (bookedCopy).
    HistoryChange::Column _countedIn(const FileInfo& file) const {
        return file.isSet(bookedCopy) ? HistoryChange::COPIED : HistoryChange::PENDING;
    }
    void _countVerification(const FileInfo& file, bool verified);
    // True when the file belongs to the current shift.
    bool _isCurrent(const FileInfo& file) const REQUIRES(tavroTimeMutex) { return file.tavroTime() == tavroTime_; }

    const TYPE type;
    METRICS::StorageCounters counters_;
    Journal* journal = nullptr;  // set before use, then read only
    int journalStorage = -1;
    // A file taken up with this flag is looked at again still counted as
    // copied: its first booking after the start moves it from there, not
    // from pending.
    uint32_t bookedCopy = 0;

    // Where several are held, they are taken linkMutex, replaceMutex,
    // copyListMutex, bufferMutex, tavroTimeMutex, then historyMutex or
    // deleteMutex (the compiler checks it); retryMutex and pendingMutex are
    // never held with another.
    std::list<FileInfo> buffer GUARDED_BY(bufferMutex);
    std::list<FileInfo> copyList GUARDED_BY(copyListMutex);
    std::list<FileInfo> replaceByLinkList GUARDED_BY(replaceMutex);
    std::list<FileInfo> linkList GUARDED_BY(linkMutex);
    std::list<FileInfo> deleteList GUARDED_BY(deleteMutex);
    std::list<Retry> retryList GUARDED_BY(retryMutex);
    // How many files still to copy were announced in each millisecond: the
    // metrics' oldest pending age, read up to a millisecond high. Files come
    // in bursts, so a burst costs a few nodes, not one per file.
    std::map<int64_t, uint32_t> waiting GUARDED_BY(pendingMutex);
    mutable Mutex* pendingMutex;
    Mutex* bufferMutex ACQUIRED_BEFORE(tavroTimeMutex);
    Mutex* copyListMutex ACQUIRED_BEFORE(bufferMutex);
    Mutex* replaceMutex ACQUIRED_BEFORE(bufferMutex);
    Mutex* linkMutex ACQUIRED_BEFORE(replaceMutex);
    Mutex* deleteMutex;
    Mutex* retryMutex;

    // Changed by atomic steps. Whether a file counts here as current or
    // earlier is decided and booked under tavroTimeMutex, which setTavroTime
    // holds while it moves currentCount to previousCount, so no file is
    // counted on the wrong side of a shift.
    std::atomic<uint32_t> currentCount;
    std::atomic<uint32_t> previousCount;

    int64_t tavroTime_ GUARDED_BY(tavroTimeMutex);
    Mutex* tavroTimeMutex ACQUIRED_BEFORE(historyMutex, deleteMutex);

    std::list<HistEntry> history_ GUARDED_BY(historyMutex);  // with the counts in it
    const int maxHistoryEntries;
    Mutex* historyMutex;
};

#endif
