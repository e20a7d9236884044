#include "ledger/Storage.h"

#include "copy/CopyThread.h"
#include "copy/FlushBufferThread.h"
#include "space/DelThread.h"
#include "space/LinkThread.h"

namespace {

// INTERNAL and EXTERNAL storages manage the space of their source; any other
// type value is an OPTIONAL storage, which only copies.
bool managesItsSource(int type) {
    return static_cast<unsigned>(type) <= static_cast<unsigned>(Storage::EXTERNAL);
}

}  // namespace

Storage::Storage(const Params& params)
    : params(params),
      ledger(new DebitCredit(params.history_max_entries,
                             managesItsSource(params.type) ? DebitCredit::TRACK_FILES : DebitCredit::COUNT_ONLY)) {
    ledger->attachJournal(params.journal, params.journal_storage);
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

std::list<DebitCredit::HistEntry> Storage::history(int n) {
    return ledger->history(n);
}

const METRICS::MountGauges* Storage::mountGauges() const {
    return linkThread ? &linkThread->gauges() : nullptr;
}
