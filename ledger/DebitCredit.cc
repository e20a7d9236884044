#include "ledger/DebitCredit.h"

#include <algorithm>
#include <iterator>
#include <utility>

#include "thread/MutexGuard.h"
#include "thread/Thread.h"

namespace {

const int64_t millisecond = 1000000;  // nanoseconds

}  // namespace

DebitCredit::DebitCredit(int maxHistoryEntries, TYPE type)
    : type(type),
      pendingMutex(Thread::initializeMutex()),
      bufferMutex(Thread::initializeMutex()),
      copyListMutex(Thread::initializeMutex()),
      replaceMutex(Thread::initializeMutex()),
      linkMutex(Thread::initializeMutex()),
      deleteMutex(Thread::initializeMutex()),
      retryMutex(Thread::initializeMutex()),
      currentCount(0),
      previousCount(0),
      tavroTime_(0),
      tavroTimeMutex(Thread::initializeMutex()),
      // The configuration already refuses values below 1; an empty history
      // would leave a shift without counts, so 1 is the least kept here too.
      maxHistoryEntries(std::max(maxHistoryEntries, 1)),
      historyMutex(Thread::initializeMutex()) {}

DebitCredit::~DebitCredit() {
    delete pendingMutex;
    delete bufferMutex;
    delete copyListMutex;
    delete replaceMutex;
    delete linkMutex;
    delete deleteMutex;
    delete retryMutex;
    delete tavroTimeMutex;
    delete historyMutex;
}

void DebitCredit::insertToBuffer(const FileInfo& file) {
    // Counted before it is listed: once in the buffer, a copy worker may book
    // it at once, and a count taken down before it was put up would wrap.
    {
        MutexGuard timeGuard(tavroTimeMutex);
        if (_isCurrent(file))
            ++currentCount;
        else
            ++previousCount;
    }
    _changeHistory(file, HistoryChange::announced());
    _pendingBegins(file);
    MutexGuard bufferGuard(bufferMutex);
    buffer.push_back(file);
}

void DebitCredit::_pendingBegins(const FileInfo& file) {
    counters_.pending.fetch_add(1, std::memory_order_relaxed);
    MutexGuard pendingGuard(pendingMutex);
    ++waiting[file.announced() / millisecond];
}

void DebitCredit::_pendingEnds(const FileInfo& file) {
    counters_.pending.fetch_sub(1, std::memory_order_relaxed);
    MutexGuard pendingGuard(pendingMutex);
    auto bucket = waiting.find(file.announced() / millisecond);
    if (bucket != waiting.end() && --bucket->second == 0) waiting.erase(bucket);
}

int64_t DebitCredit::oldestPendingAge(int64_t now) const {
    MutexGuard pendingGuard(pendingMutex);
    return waiting.empty() ? 0 : std::max<int64_t>(0, now - waiting.begin()->first * millisecond);
}

bool DebitCredit::flushBuffer() {
    MutexGuard copyListGuard(copyListMutex);
    MutexGuard bufferGuard(bufferMutex);
    if (buffer.empty()) return false;
    copyList.splice(copyList.end(), buffer);
    return true;
}

bool DebitCredit::getCopyList(std::list<FileInfo>& out) {
    out.clear();
    MutexGuard copyListGuard(copyListMutex);
    if (copyList.empty()) return false;
    out.splice(out.end(), copyList);
    return true;
}

void DebitCredit::insertToCredits(const FileInfo& file, bool verified, std::string event) {
    METRICS::add(counters_.copied);
    if (verified) METRICS::add(counters_.verified);
    _pendingEnds(file);
    _book(file, Journal::COPIED, 0, HistoryChange::copiedFrom(_countedIn(file), verified), std::move(event));
    _credit(file);
}

void DebitCredit::insertToRetries(const Retry& retry) {
    METRICS::add(counters_.failures);
    if (retry.attempts == 1)
        _book(retry.file, Journal::RETRYING, 1, HistoryChange::moved(_countedIn(retry.file), HistoryChange::FAILED));
    else
        _book(retry.file, Journal::RETRYING, retry.attempts);
    MutexGuard retryGuard(retryMutex);
    retryList.push_back(retry);
}

int64_t DebitCredit::getDueRetries(std::list<Retry>& out, int64_t now) {
    MutexGuard retryGuard(retryMutex);
    int64_t next = -1;
    for (auto retry = retryList.begin(); retry != retryList.end();) {
        if (retry->due <= now) {
            METRICS::add(counters_.retries);
            out.splice(out.end(), retryList, retry++);
            continue;
        }
        if (next < 0 || retry->due < next) next = retry->due;
        ++retry;
    }
    return next;
}

void DebitCredit::bookVerification(const FileInfo& file, bool verified) {
    METRICS::add(verified ? counters_.verified : counters_.verifyFailures);
    _countVerification(file, verified);
}

void DebitCredit::restoreVerification(const FileInfo& file) {
    _countVerification(file, true);
}

void DebitCredit::_countVerification(const FileInfo& file, bool verified) {
    _changeHistory(file, HistoryChange::verification(verified));
    if (journal != nullptr && file.journalId() != 0)
        journal->bookVerification(journalStorage, file.tavroTime(), verified);
}

void DebitCredit::insertToRetriedCredits(const FileInfo& file, bool verified, std::string event) {
    METRICS::add(counters_.copied);
    if (verified) METRICS::add(counters_.verified);
    _pendingEnds(file);
    _book(file, Journal::COPIED, 0, HistoryChange::copiedFrom(HistoryChange::FAILED, verified), std::move(event));
    _credit(file);
}

void DebitCredit::insertToGivenUp(const FileInfo& file, uint32_t attempts, std::string event) {
    _pendingEnds(file);
    _book(file, Journal::FAILED, attempts, HistoryChange(), std::move(event));  // counted failed at its first failure
    insertToTrash(file);
}

void DebitCredit::_credit(const FileInfo& file) {
    if (type == COUNT_ONLY) {
        _countDone(file);
        return;
    }
    {
        MutexGuard replaceGuard(replaceMutex);
        MutexGuard timeGuard(tavroTimeMutex);
        if (_isCurrent(file)) {
            // Stays counted until its source is linked or removed.
            replaceByLinkList.push_back(file);
            return;
        }
        _doneEarlier(file);
    }
}

void DebitCredit::insertToFailedCopies(const FileInfo& file, std::string event) {
    METRICS::add(counters_.failures);
    _pendingEnds(file);
    _book(file, Journal::FAILED, 0, HistoryChange::moved(_countedIn(file), HistoryChange::FAILED), std::move(event));
    insertToTrash(file);
}

void DebitCredit::insertToTrash(const FileInfo& file) {
    // Listed before it leaves the count (see _doneEarlier).
    if (type == TRACK_FILES) _appendToDeleteList(file);
    _countDone(file);
}

void DebitCredit::insertToFailedLinks(const FileInfo& file) {
    insertToTrash(file);
}

void DebitCredit::insertToLinks(const FileInfo& file) {
    METRICS::add(counters_.linked);
    _book(file, Journal::LINKED);
    {
        MutexGuard linkGuard(linkMutex);
        MutexGuard timeGuard(tavroTimeMutex);
        if (_isCurrent(file)) {
            // Stays counted until the link itself is removed.
            if (type == TRACK_FILES) linkList.push_back(file);
            return;
        }
        if (type == TRACK_FILES)
            _doneEarlier(file);
        else
            --previousCount;
    }
}

void DebitCredit::forgetAbout(const FileInfo& file, bool removed) {
    if (removed) METRICS::add(counters_.removed);
    _book(file, removed ? Journal::REMOVED : Journal::KEPT);
    _countDone(file);
}

void DebitCredit::postponeDeletion(std::list<FileInfo>& files) {
    MutexGuard deleteGuard(deleteMutex);
    deleteList.splice(deleteList.end(), files);
}

void DebitCredit::postponeReplacement(std::list<FileInfo>& files) {
    std::list<FileInfo> earlier;
    {
        MutexGuard replaceGuard(replaceMutex);
        MutexGuard timeGuard(tavroTimeMutex);
        for (auto file = files.begin(); file != files.end();) {
            if (_isCurrent(*file)) {
                ++file;
                continue;
            }
            // As for a credit of an earlier shift: done, and to delete.
            earlier.splice(earlier.end(), files, file++);
        }
        replaceByLinkList.splice(replaceByLinkList.begin(), files);
        const uint32_t done = static_cast<uint32_t>(earlier.size());
        {
            MutexGuard deleteGuard(deleteMutex);
            deleteList.splice(deleteList.end(), earlier);
        }
        previousCount -= done;  // after listing them, as in _doneEarlier
    }
}

void DebitCredit::bookDeletion(const FileInfo& file, bool deleted) {
    if (deleted) METRICS::add(counters_.deleted);
    _book(file, deleted ? Journal::DELETED : Journal::KEPT);
}

bool DebitCredit::getReplaceByLinkList(std::list<FileInfo>& out) {
    if (type == COUNT_ONLY) return false;
    out.clear();
    MutexGuard replaceGuard(replaceMutex);
    if (replaceByLinkList.empty()) return false;
    out.splice(out.end(), replaceByLinkList);
    return true;
}

void DebitCredit::getDeleteLinkList(std::list<FileInfo>& out, uint64_t n) {
    if (type == COUNT_ONLY) return;
    out.clear();
    {
        MutexGuard linkGuard(linkMutex);
        // linkList holds files of the current shift only: setTavroTime empties it
        // under linkMutex, so these leave currentCount.
        uint64_t moved = std::min<uint64_t>(n, linkList.size());
        std::list<FileInfo>::iterator end = linkList.begin();
        std::advance(end, moved);
        out.splice(out.end(), linkList, linkList.begin(), end);
        currentCount -= static_cast<uint32_t>(moved);
    }
    // The link thread removes them now; the ledger is done with them.
    METRICS::add(counters_.deleted, out.size());
    for (const FileInfo& file : out) _book(file, Journal::DELETED);
}

bool DebitCredit::getDeleteList(std::list<FileInfo>& out) {
    if (type == COUNT_ONLY) return false;
    out.clear();
    // The count is read before the list: a file leaves the count only once
    // it is listed, so one that leaves it after this read is either taken
    // now or comes with the next call, which this one's true asks for.
    MutexGuard deleteGuard(deleteMutex);
    const bool more = previousCount.load() != 0;
    const bool moved = !deleteList.empty();
    out.splice(out.end(), deleteList);
    return more || moved;
}

void DebitCredit::copiedFiles(std::vector<FileInfo>& out) {
    if (type == COUNT_ONLY) return;
    {
        MutexGuard replaceGuard(replaceMutex);
        out.insert(out.end(), replaceByLinkList.begin(), replaceByLinkList.end());
    }
    MutexGuard deleteGuard(deleteMutex);
    out.insert(out.end(), deleteList.begin(), deleteList.end());
}

void DebitCredit::setTavroTime(int64_t time, uint32_t uid, uint32_t gid) {
    // Held to the end: no file enters the buffer, gets credited or linked
    // while the shift changes under it.
    MutexGuard linkGuard(linkMutex);
    MutexGuard replaceGuard(replaceMutex);
    MutexGuard bufferGuard(bufferMutex);

    // Held across the counter move as well, so that every booking that
    // decides "current or earlier" sees either the old shift with its count
    // still in currentCount or the new one with the count already moved.
    MutexGuard timeGuard(tavroTimeMutex);
    if (time == tavroTime_) {
        MutexGuard historyGuard(historyMutex);
        if (!history_.empty() && history_.front().time == time) {
            history_.front().uid = uid;
            history_.front().gid = gid;
            return;
        }
    }
    tavroTime_ = time;
    {
        MutexGuard historyGuard(historyMutex);
        while (static_cast<int>(history_.size()) >= maxHistoryEntries) history_.pop_back();
        history_.push_front(HistEntry(time, uid, gid));
    }
    MutexGuard deleteGuard(deleteMutex);
    previousCount += currentCount.exchange(0);
    // Copied and linked files of the old shift are done, not in progress: they
    // leave the count as they enter the delete list.
    previousCount -= static_cast<uint32_t>(replaceByLinkList.size() + linkList.size());
    deleteList.splice(deleteList.end(), replaceByLinkList);
    deleteList.splice(deleteList.end(), linkList);
}

int64_t DebitCredit::tavroTime() {
    MutexGuard timeGuard(tavroTimeMutex);
    return tavroTime_;
}

std::list<DebitCredit::HistEntry> DebitCredit::history(int n) {
    MutexGuard historyGuard(historyMutex);
    if (n < 0) return history_;
    std::list<HistEntry>::const_iterator end = history_.begin();
    std::advance(end, std::min<size_t>(static_cast<size_t>(n), history_.size()));
    return std::list<HistEntry>(history_.cbegin(), end);
}

bool DebitCredit::shiftOf(int64_t time, uint32_t& uid, uint32_t& gid) {
    MutexGuard historyGuard(historyMutex);
    for (const HistEntry& entry : history_) {
        if (entry.time != time) continue;
        uid = entry.uid;
        gid = entry.gid;
        return true;
    }
    return false;
}

int DebitCredit::size() const {
    return static_cast<int>(currentCount.load() + previousCount.load());
}

void DebitCredit::_countDone(const FileInfo& file) {
    MutexGuard timeGuard(tavroTimeMutex);
    if (_isCurrent(file))
        --currentCount;
    else
        --previousCount;
}

void DebitCredit::_doneEarlier(const FileInfo& file) {
    // Listed first: a deletion run that found the file neither counted nor
    // listed would end, and leave it until the next user shift.
    _appendToDeleteList(file);
    --previousCount;
}

void DebitCredit::_appendToDeleteList(const FileInfo& file) {
    MutexGuard deleteGuard(deleteMutex);
    deleteList.push_back(file);
}

void DebitCredit::_book(const FileInfo& file, Journal::State state, uint32_t attempts, const HistoryChange& change,
                        std::string event) {
    if (!change.isNone()) _changeHistory(file, change);
    if (journal == nullptr || file.journalId() == 0) return;
    // An OPTIONAL storage is done once it has copied or failed; the others
    // once the file (or its link) is removed, deleted or kept for good.
    const bool done =
        type == COUNT_ONLY ? state == Journal::COPIED || state == Journal::FAILED : state >= Journal::REMOVED;
    journal->book(file.journalId(), journalStorage, {state, attempts, done}, file.tavroTime(), change,
                  std::move(event));
}

void DebitCredit::attachJournal(Journal* journal, int storage, uint32_t bookedCopy) {
    this->journal = journal;
    journalStorage = storage;
    this->bookedCopy = bookedCopy;
}

void DebitCredit::restoreHistory(int64_t time, const std::list<HistEntry>& entries) {
    MutexGuard timeGuard(tavroTimeMutex);
    tavroTime_ = time;
    MutexGuard historyGuard(historyMutex);
    history_ = entries;
    while (static_cast<int>(history_.size()) > maxHistoryEntries) history_.pop_back();
}

void DebitCredit::restore(const FileInfo& file, const Journal::Step& booked, Journal::State state) {
    // Where each step counts in the history.
    auto column = [](Journal::State step) {
        if (step == Journal::PENDING) return HistoryChange::PENDING;
        return step == Journal::RETRYING || step == Journal::FAILED ? HistoryChange::FAILED : HistoryChange::COPIED;
    };
    const HistoryChange::Column from = column(booked.state), to = column(state);
    // A copy looked at again stays booked, and counted, as made until then:
    // a stop before that finds it so once more.
    const bool lookedAtAgain = booked.state == Journal::COPIED && state == Journal::PENDING && file.isSet(bookedCopy);
    if (!lookedAtAgain && (state != booked.state || from != to))
        _book(file, state, booked.attempts, HistoryChange::moved(from, to));
    auto count = [&]() {
        MutexGuard timeGuard(tavroTimeMutex);
        if (_isCurrent(file))
            ++currentCount;
        else
            ++previousCount;
    };
    switch (state) {
        case Journal::PENDING: {
            count();
            _pendingBegins(file);
            MutexGuard bufferGuard(bufferMutex);
            buffer.push_back(file);
            return;
        }
        case Journal::RETRYING: {
            count();
            _pendingBegins(file);
            MutexGuard retryGuard(retryMutex);
            retryList.push_back({file, booked.attempts, 0});
            return;
        }
        case Journal::COPIED:
            // Copied, its copy since let go by a later storage (see Recovery).
            count();
            _credit(file);
            return;
        case Journal::FAILED:
            if (type == TRACK_FILES) _appendToDeleteList(file);
            return;
        case Journal::LINKED: {
            if (type == COUNT_ONLY) return;
            {
                MutexGuard linkGuard(linkMutex);
                MutexGuard timeGuard(tavroTimeMutex);
                if (_isCurrent(file)) {
                    ++currentCount;
                    linkList.push_back(file);
                    return;
                }
            }
            _appendToDeleteList(file);
            return;
        }
        default:
            return;  // done with
    }
}

void DebitCredit::_changeHistory(const FileInfo& file, const HistoryChange& change) {
    MutexGuard historyGuard(historyMutex);
    // The newest entry of the file's shift; a shift already dropped from the
    // history is not counted anywhere.
    std::list<HistEntry>::iterator entry = std::find(history_.begin(), history_.end(), file.tavroTime());
    if (entry == history_.end()) return;
    entry->pending += change.pending;
    entry->copied += change.copied;
    entry->failed += change.failed;
    entry->verified += change.verified;
    entry->verifyFailed += change.verifyFailed;
}
