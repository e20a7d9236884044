#include "ledger/FileInfo.h"

#include <sched.h>
#include <string.h>

#include <new>

#include "metrics/Metrics.h"
#include "util/Time.h"

namespace {

// Bits of the flag word above the twelve steps, for the source identity: the
// worker that claims it writes it and then marks it recorded.
const uint32_t sourceClaimed = 0x10000;
const uint32_t sourceRecorded = 0x20000;
// The same for the reference hash.
const uint32_t hashClaimed = 0x40000;
const uint32_t hashRecorded = 0x80000;

}  // namespace

FileInfo::FileInfoPrivate::FileInfoPrivate(size_t pathLength, int64_t tavroTime, int64_t journalId,
                                           int64_t announced)
    : tavroTime(tavroTime),
      journalId(journalId),
      announced(announced != 0 ? announced : UTILITIES::monotonicNanoseconds()),
      references(0),
      flags(0),
      hash(nullptr),
      pathLength(static_cast<uint32_t>(pathLength)) {
    // A journaled file is unfinished for as long as any part of the daemon
    // still holds it: the ledgers let it go once no storage owes it anything.
    if (journalId != 0) METRICS::journalUnfinishedFiles().fetch_add(1, std::memory_order_relaxed);
}

FileInfo::FileInfoPrivate::~FileInfoPrivate() {
    if (journalId != 0) METRICS::journalUnfinishedFiles().fetch_sub(1, std::memory_order_relaxed);
    delete hash;
}

FileInfo::FileInfoPrivate* FileInfo::FileInfoPrivate::create(const std::string& path, int64_t tavroTime,
                                                             int64_t journalId, int64_t announced) {
    // Paths come from lines of the pipe or rows of the journal, far below the
    // 4 GiB that the length holds.
    void* memory = ::operator new(sizeof(FileInfoPrivate) + path.size());
    FileInfoPrivate* record = new (memory) FileInfoPrivate(path.size(), tavroTime, journalId, announced);
    memcpy(reinterpret_cast<char*>(record + 1), path.data(), path.size());
    return record;
}

void intrusive_ptr_release(FileInfo::FileInfoPrivate* record) {
    // Whatever a thread wrote to the record happens before its destruction.
    if (record->references.fetch_sub(1, std::memory_order_acq_rel) != 1) return;
    record->~FileInfoPrivate();
    ::operator delete(record);
}

FileInfo::FileInfo(const std::string& path, int64_t tavroTime, int64_t journalId, int64_t announced)
    : d(FileInfoPrivate::create(path, tavroTime, journalId, announced)) {}

std::string FileInfo::pathToOrigin() const {
    return d->path();
}

int64_t FileInfo::tavroTime() const {
    return d->tavroTime;
}

int64_t FileInfo::journalId() const {
    return d->journalId;
}

int64_t FileInfo::announced() const {
    return d->announced;
}

void FileInfo::setFlag(uint32_t mask) {
    d->flags.fetch_or(mask, std::memory_order_acq_rel);
}

bool FileInfo::isSet(uint32_t mask) const {
    return (d->flags.load(std::memory_order_acquire) & mask) != 0;
}

void FileInfo::recordSource(const FileIdentity& identity) {
    if ((d->flags.fetch_or(sourceClaimed, std::memory_order_acq_rel) & sourceClaimed) == 0) {
        d->source = identity;
        d->flags.fetch_or(sourceRecorded, std::memory_order_release);
        return;
    }
    // Another storage's worker is writing it this very moment: wait the few
    // instructions it takes, so that the caller's flags never run ahead of it.
    while (!isSet(sourceRecorded)) sched_yield();
}

FileIdentity FileInfo::source() const {
    return isSet(sourceRecorded) ? d->source : FileIdentity();
}

std::string FileInfo::referenceHash(const std::string& candidate) {
    if (!candidate.empty() && (d->flags.fetch_or(hashClaimed, std::memory_order_acq_rel) & hashClaimed) == 0) {
        d->hash = new std::string(candidate);
        d->flags.fetch_or(hashRecorded, std::memory_order_release);
        return candidate;
    }
    if (candidate.empty() && !isSet(hashClaimed)) return "";
    while (!isSet(hashRecorded)) sched_yield();  // being written by another worker
    return *d->hash;
}

void FileInfo::recordCopy(uint32_t copiedFlag, const FileIdentity& identity) {
    (copiedFlag == INTERNAL_COPIED ? d->internalCopy : d->externalCopy) = identity;
}

FileIdentity FileInfo::copy(uint32_t copiedFlag) const {
    if (!isSet(copiedFlag)) return FileIdentity();
    return copiedFlag == INTERNAL_COPIED ? d->internalCopy : d->externalCopy;
}

int FileInfo::lockRead() {
    d->rwlock.lockRead();
    return 0;
}

int FileInfo::lockWrite() {
    d->rwlock.lockWrite();
    return 0;
}

int FileInfo::unlock() {
    d->rwlock.unlock();
    return 0;
}
