#include "ledger/Storage.h"

#include <fcntl.h>
#include <sys/stat.h>

#include "copy/CopyThread.h"
#include "copy/CopyWorkerThread.h"
#include "copy/FlushBufferThread.h"
#include "ledger/Cascade.h"
#include "space/DelThread.h"
#include "space/LinkThread.h"
#include "util/Paths.h"
#include "util/TrustedTree.h"

namespace {

// INTERNAL and EXTERNAL storages manage the space of their source; an
// OPTIONAL storage only copies.
bool managesItsSource(StorageType type) {
    return roleOf(type).releases != CascadeRole::NOTHING;
}

}  // namespace

Storage::Storage(const Params& params)
    : params(params),
      ledger(new DebitCredit(params.history_max_entries,
                             managesItsSource(params.type) ? DebitCredit::TRACK_FILES : DebitCredit::COUNT_ONLY)) {
    ledger->attachJournal(params.journal, params.journal_storage, roleOf(params.type).copyBookedFlag);
    // The threads start in this order: for INTERNAL and EXTERNAL the deletion
    // thread (started at once) and the link thread (made now, started after
    // the copy thread) come first; then the copy thread with its pool of
    // n_copy_processes workers; then the link thread's start; last the flush
    // thread, which needs the copy thread to wake. Their start results are not
    // checked: a thread that cannot start leaves its work undone, and the
    // start-up has no better storage to offer.
    if (managesItsSource(this->params.type)) {
        delThread.reset(new DelThread(*ledger, this->params));
        delThread->start();
        linkThread.reset(new LinkThread(*ledger, this->params));
    }
    copyThread.reset(new CopyThread(*ledger, this->params));
    copyThread->start();
    if (linkThread) linkThread->start();
    flushThread.reset(new FlushBufferThread(*ledger, *copyThread));
    flushThread->start();
}

Storage::~Storage() = default;

void Storage::insertToBuffer(const FileInfo& file) {
    ledger->insertToBuffer(file);
}

void Storage::flushBuffer() {
    flushThread->awaken();
}

void Storage::setTavroTime(int64_t time, uint32_t uid, uint32_t gid) {
    ledger->setTavroTime(time, uid, gid);
    // The link thread then hands the files it holds back to the ledger, so
    // that the previous shift's files reach the delete list.
    if (linkThread) linkThread->returnToDebitCredit();
}

void Storage::restoreHistory(int64_t time, const std::list<DebitCredit::HistEntry>& entries) {
    ledger->restoreHistory(time, entries);
}

void Storage::restore(const FileInfo& file, const Journal::Step& booked, Journal::State state) {
    ledger->restore(file, booked, state);
}

void Storage::resume() {
    flushThread->awaken();
    copyThread->awaken();  // for the retries
}

void Storage::startDeleting() {
    // OPTIONAL storages have no deletion thread and delete nothing.
    if (delThread) delThread->awaken();
}

void Storage::refill(int& copied, int& failed) {
    copied = 0;
    failed = 0;
    const uint32_t copiedFlag = roleOf(params.type).copiedFlag;
    const uint32_t letGo = roleOf(params.type).letGoFlags();
    if (!managesItsSource(params.type)) return;  // an OPTIONAL storage keeps no copied file
    // A file a pass or the deletion held while the list was read comes back
    // to the ledger (they wait while the disk is filled): a few rounds take
    // it up. A file whose copy at the target is the one booked is done.
    for (int round = 0; round < 5; ++round) {
        TrustedTree target(params.target);
        std::vector<FileInfo> held;
        ledger->copiedFiles(held);
        std::list<FileInfo> owed;
        for (const FileInfo& file : held) {
            if (!file.isSet(copiedFlag) || file.isSet(letGo)) continue;
            std::string name;
            const int dir = target.parentOf(UTILITIES::getFilePathAfterDot(file.pathToOrigin()), name);
            struct stat status;
            FileIdentity there;
            if (dir >= 0 && fstatat(dir, name.c_str(), &status, AT_SYMLINK_NOFOLLOW) == 0) {
                there = FileIdentity::of(status);
                there.device = static_cast<uint32_t>(there.device);  // as the record keeps it
            }
            if (there != file.copy(copiedFlag)) owed.push_back(file);
        }
        target.release();
        if (owed.empty()) return;
        CopyWorkerThread::Refill done;
        CopyWorkerThread job(params, owed, *copyThread, {}, &done);
        job.work();
        copied += done.copied;
        failed += done.failed;
        if (done.copied == 0) return;  // what failed now fails again
    }
}

std::list<DebitCredit::HistEntry> Storage::history(int n) {
    return ledger->history(n);
}

const METRICS::MountGauges* Storage::mountGauges() const {
    return linkThread ? &linkThread->gauges() : nullptr;
}
