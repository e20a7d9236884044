#ifndef VELLORT_LEDGER_DEBITLISTTHREAD_H
#define VELLORT_LEDGER_DEBITLISTTHREAD_H

#include <pthread.h>
#include <stdint.h>

#include <list>
#include <string>
#include <utility>

#include "ledger/DebitCredit.h"
#include "ledger/FileInfo.h"
#include "thread/Thread.h"

// Base of the threads that work on one storage's ledger (copy scheduler, flush,
// link and deletion threads): it borrows the ledger and forwards the ledger's
// operations to it. Borrowed: the ledger outlives the thread (the storage owns
// both).
//
// It also keeps the process-wide record of the current user shift, which the
// pipe reader sets and the space-management threads read.
class DebitListThread : public Thread {
public:
    struct PollundInfo {
        uint32_t uid;
        uint32_t gid;
        int64_t time;  // start of the shift
    };

    explicit DebitListThread(DebitCredit& debitCredit) : debitCredit(debitCredit) {}

    void insertToTrash(const FileInfo& file) { debitCredit.insertToTrash(file); }
    void insertToFailedLinks(const FileInfo& file) { debitCredit.insertToFailedLinks(file); }
    void insertToFailedCopies(const FileInfo& file, std::string event = {}) {
        debitCredit.insertToFailedCopies(file, std::move(event));
    }
    void forgetAbout(const FileInfo& file, bool removed = true) { debitCredit.forgetAbout(file, removed); }
    void insertToLinks(const FileInfo& file) { debitCredit.insertToLinks(file); }
    void insertToCredits(const FileInfo& file, bool verified = false, std::string event = {}) {
        debitCredit.insertToCredits(file, verified, std::move(event));
    }
    METRICS::StorageCounters& counters() { return debitCredit.counters(); }
    void bookVerification(const FileInfo& file, bool verified) { debitCredit.bookVerification(file, verified); }
    void insertToRetriedCredits(const FileInfo& file, bool verified = false, std::string event = {}) {
        debitCredit.insertToRetriedCredits(file, verified, std::move(event));
    }
    bool shiftOf(int64_t time, uint32_t& uid, uint32_t& gid) { return debitCredit.shiftOf(time, uid, gid); }
    void insertToGivenUp(const FileInfo& file, uint32_t attempts, std::string event = {}) {
        debitCredit.insertToGivenUp(file, attempts, std::move(event));
    }
    int size() const { return debitCredit.size(); }
    void setTavroTime(int64_t time, uint32_t uid, uint32_t gid) { debitCredit.setTavroTime(time, uid, gid); }
    bool getDeleteList(std::list<FileInfo>& out) { return debitCredit.getDeleteList(out); }
    void getDeleteLinkList(std::list<FileInfo>& out, uint64_t n) { debitCredit.getDeleteLinkList(out, n); }
    bool getReplaceByLinkList(std::list<FileInfo>& out) { return debitCredit.getReplaceByLinkList(out); }
    bool getCopyList(std::list<FileInfo>& out) { return debitCredit.getCopyList(out); }
    bool flushBuffer() { return debitCredit.flushBuffer(); }

    // Safe from any thread: the record is copied in and out under its mutex.
    static void setPollundInfo(const PollundInfo& info);
    static PollundInfo getPollundInfo();

protected:
    DebitCredit& debitCredit;

private:
    // All zero until the pipe reader starts.
    static Mutex* __pollundInfoMutex;
    static PollundInfo pollundInfo GUARDED_BY(__pollundInfoMutex);
};

#endif
