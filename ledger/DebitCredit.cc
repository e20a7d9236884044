#include "ledger/DebitCredit.h"

#include <algorithm>
#include <iterator>

#include "thread/MutexGuard.h"
#include "thread/Thread.h"

namespace {

void destroyMutex(pthread_mutex_t* mutex) {
    pthread_mutex_destroy(mutex);
    delete mutex;
}

}  // namespace

DebitCredit::DebitCredit(int maxHistoryEntries, TYPE type)
    : type(type),
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
    destroyMutex(bufferMutex);
    destroyMutex(copyListMutex);
    destroyMutex(replaceMutex);
    destroyMutex(linkMutex);
    destroyMutex(deleteMutex);
    destroyMutex(retryMutex);
    destroyMutex(tavroTimeMutex);
    destroyMutex(historyMutex);
}

void DebitCredit::insertToBuffer(const FileInfo& file) {
    {
        MutexGuard bufferGuard(bufferMutex);
        buffer.push_back(file);
    }
    {
        MutexGuard timeGuard(tavroTimeMutex);
        if (_isCurrent(file))
            ++currentCount;
        else
            ++previousCount;
    }
    MutexGuard historyGuard(historyMutex);
    std::list<HistEntry>::iterator entry = std::find(history_.begin(), history_.end(), file.tavroTime());
    if (entry != history_.end()) ++entry->pending;
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

void DebitCredit::insertToCredits(const FileInfo& file) {
    _bookInHistory(file, true);
    _credit(file);
}

void DebitCredit::insertToRetries(const Retry& retry) {
    if (retry.attempts == 1) _bookInHistory(retry.file, false);
    MutexGuard retryGuard(retryMutex);
    retryList.push_back(retry);
}

int64_t DebitCredit::getDueRetries(std::list<Retry>& out, int64_t now) {
    MutexGuard retryGuard(retryMutex);
    int64_t next = -1;
    for (auto retry = retryList.begin(); retry != retryList.end();) {
        if (retry->due <= now) {
            out.splice(out.end(), retryList, retry++);
            continue;
        }
        if (next < 0 || retry->due < next) next = retry->due;
        ++retry;
    }
    return next;
}

void DebitCredit::insertToRetriedCredits(const FileInfo& file) {
    _changeHistory(file, 0, 1, -1);
    _credit(file);
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
        --previousCount;
    }
    _appendToDeleteList(file);
}

void DebitCredit::insertToFailedCopies(const FileInfo& file) {
    _bookInHistory(file, false);
    _countDone(file);
    if (type == TRACK_FILES) _appendToDeleteList(file);
}

void DebitCredit::insertToTrash(const FileInfo& file) {
    _countDone(file);
    if (type == TRACK_FILES) _appendToDeleteList(file);
}

void DebitCredit::insertToFailedLinks(const FileInfo& file) {
    insertToTrash(file);
}

void DebitCredit::insertToLinks(const FileInfo& file) {
    {
        MutexGuard linkGuard(linkMutex);
        MutexGuard timeGuard(tavroTimeMutex);
        if (_isCurrent(file)) {
            // Stays counted until the link itself is removed.
            if (type == TRACK_FILES) linkList.push_back(file);
            return;
        }
        --previousCount;
    }
    if (type == TRACK_FILES) _appendToDeleteList(file);
}

void DebitCredit::forgetAbout(const FileInfo& file) {
    _countDone(file);
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
    MutexGuard linkGuard(linkMutex);
    // linkList holds files of the current shift only: setTavroTime empties it
    // under linkMutex, so these leave currentCount.
    uint64_t moved = std::min<uint64_t>(n, linkList.size());
    std::list<FileInfo>::iterator end = linkList.begin();
    std::advance(end, moved);
    out.splice(out.end(), linkList, linkList.begin(), end);
    currentCount -= static_cast<uint32_t>(moved);
}

bool DebitCredit::getDeleteList(std::list<FileInfo>& out) {
    if (type == COUNT_ONLY) return false;
    out.clear();
    bool moved;
    {
        MutexGuard deleteGuard(deleteMutex);
        moved = !deleteList.empty();
        out.splice(out.end(), deleteList);
    }
    return previousCount.load() != 0 || moved;
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

void DebitCredit::_appendToDeleteList(const FileInfo& file) {
    MutexGuard deleteGuard(deleteMutex);
    deleteList.push_back(file);
}

void DebitCredit::_bookInHistory(const FileInfo& file, bool copied) {
    _changeHistory(file, -1, copied ? 1 : 0, copied ? 0 : 1);
}

void DebitCredit::_changeHistory(const FileInfo& file, int pending, int copied, int failed) {
    MutexGuard historyGuard(historyMutex);
    // The newest entry of the file's shift; a shift already dropped from the
    // history is not counted anywhere.
    std::list<HistEntry>::iterator entry = std::find(history_.begin(), history_.end(), file.tavroTime());
    if (entry == history_.end()) return;
    entry->pending += pending;
    entry->copied += copied;
    entry->failed += failed;
}
