#include "ledger/FileInfo.h"

#include <sched.h>
#include <string.h>

#include <new>

#include "metrics/Metrics.h"
#include "util/Time.h"

inline void intrusive_ptr_add_ref(FileInfo::FileInfoPrivate::Folder* folder) {
    folder->references.fetch_add(1, std::memory_order_relaxed);
}

inline void intrusive_ptr_release(FileInfo::FileInfoPrivate::Folder* folder) {
    if (folder->references.fetch_sub(1, std::memory_order_acq_rel) == 1) delete folder;
}

namespace {

// Bits of the flag word above the public ones, for the source identity: the
// worker that claims it writes it and then marks it recorded.
const uint32_t sourceClaimed = 0x100000;
const uint32_t sourceRecorded = 0x200000;
// The same for the reference hash.
const uint32_t hashClaimed = 0x400000;
const uint32_t hashRecorded = 0x800000;
// Set, with the extra part, before the record is shared: the size recorded.
const uint32_t sizeRecorded = 0x1000000;
// A copy was made from another state of the source than the one recorded.
const uint32_t sourceDisputedBit = 0x2000000;

// Files are announced folder by folder: each thread that makes records keeps
// the folder of its last one, and the next file of that folder and shift
// shares it.
thread_local boost::intrusive_ptr<FileInfo::FileInfoPrivate::Folder> lastFolder;

}  // namespace

FileInfo::FileInfoPrivate::FileInfoPrivate(Folder* folder, size_t nameLength, int64_t journalId, int64_t announced)
    : references(0),
      flags(0),
      journalId(journalId),
      announced(announced != 0 ? announced : UTILITIES::monotonicNanoseconds()),
      extra(nullptr),
      nameLength(static_cast<uint32_t>(nameLength)),
      devices{0, 0, 0},
      folder(folder),
      identities{{0, -1, 0}, {0, -1, 0}, {0, -1, 0}} {
    intrusive_ptr_add_ref(folder);
    // A journaled file is unfinished for as long as any part of the daemon
    // still holds it: the ledgers let it go once no storage owes it anything.
    if (journalId != 0) METRICS::journalUnfinishedFiles().fetch_add(1, std::memory_order_relaxed);
}

FileInfo::FileInfoPrivate::~FileInfoPrivate() {
    if (journalId != 0) METRICS::journalUnfinishedFiles().fetch_sub(1, std::memory_order_relaxed);
    delete extra;
    intrusive_ptr_release(folder);
}

FileInfo::FileInfoPrivate* FileInfo::FileInfoPrivate::create(const std::string& path, int64_t tavroTime,
                                                             int64_t journalId, int64_t announced) {
    const size_t cut = path.rfind('/') + 1;  // 0 when there is no '/'
    if (!lastFolder || lastFolder->tavroTime != tavroTime ||
        lastFolder->path.compare(0, std::string::npos, path, 0, cut) != 0)
        lastFolder = new Folder{{0}, tavroTime, path.substr(0, cut)};
    // Paths come from lines of the pipe or rows of the journal, far below the
    // 4 GiB that the length holds.
    const size_t nameLength = path.size() - cut;
    void* memory = ::operator new(sizeof(FileInfoPrivate) + nameLength);
    FileInfoPrivate* record = new (memory) FileInfoPrivate(lastFolder.get(), nameLength, journalId, announced);
    memcpy(reinterpret_cast<char*>(record + 1), path.data() + cut, nameLength);
    return record;
}

void FileInfo::FileInfoPrivate::store(Which which, const FileIdentity& identity) {
    devices[which] = static_cast<uint32_t>(identity.device);
    // Wraps, without overflow, for times before 1678 or after 2262: such a
    // file then no longer matches its record, and is kept, not released.
    const uint64_t mtime =
        static_cast<uint64_t>(identity.mtimeSeconds) * 1000000000u + static_cast<uint64_t>(identity.mtimeNanoseconds);
    identities[which] = {identity.inode, identity.size, static_cast<int64_t>(mtime)};
}

FileIdentity FileInfo::FileInfoPrivate::load(Which which) const {
    const Identity& packed = identities[which];
    FileIdentity identity;
    identity.device = devices[which];
    identity.inode = packed.inode;
    identity.size = packed.size;
    // Floor division, so that times before 1970 come back as they went in.
    identity.mtimeSeconds = packed.mtime / 1000000000 - (packed.mtime % 1000000000 < 0 ? 1 : 0);
    identity.mtimeNanoseconds = packed.mtime - identity.mtimeSeconds * 1000000000;
    return identity;
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
    return d->tavroTime();
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
        d->store(FileInfoPrivate::SOURCE, identity);
        d->flags.fetch_or(sourceRecorded, std::memory_order_release);
        return;
    }
    // Another storage's worker may be writing it this very moment: wait the
    // few instructions it takes, so that the caller's flags never run ahead of it.
    while (!isSet(sourceRecorded)) sched_yield();
    if (d->load(FileInfoPrivate::SOURCE) != identity) setFlag(sourceDisputedBit);
}

FileIdentity FileInfo::source() const {
    return isSet(sourceRecorded) ? d->load(FileInfoPrivate::SOURCE) : FileIdentity();
}

bool FileInfo::sourceDisputed() const {
    return isSet(sourceDisputedBit);
}

std::string FileInfo::referenceHash(const std::string& candidate) {
    if (!candidate.empty() && (d->flags.fetch_or(hashClaimed, std::memory_order_acq_rel) & hashClaimed) == 0) {
        // Made here unless the journal's size made it before the record was shared.
        if (d->extra == nullptr) d->extra = new FileInfoPrivate::Extra;
        d->extra->hash = candidate;
        d->flags.fetch_or(hashRecorded, std::memory_order_release);
        return candidate;
    }
    if (candidate.empty() && !isSet(hashClaimed)) return "";
    while (!isSet(hashRecorded)) sched_yield();  // being written by another worker
    return d->extra->hash;
}

void FileInfo::setRecordedSize(int64_t size) {
    if (d->extra == nullptr) d->extra = new FileInfoPrivate::Extra;
    d->extra->recordedSize = size;
    setFlag(sizeRecorded);
}

int64_t FileInfo::recordedSize() const {
    return isSet(sizeRecorded) ? d->extra->recordedSize : -1;
}

void FileInfo::recordCopy(uint32_t copiedFlag, const FileIdentity& identity) {
    d->store(copiedFlag == INTERNAL_COPIED ? FileInfoPrivate::INTERNAL_COPY : FileInfoPrivate::EXTERNAL_COPY, identity);
}

FileIdentity FileInfo::copy(uint32_t copiedFlag) const {
    if (!isSet(copiedFlag)) return FileIdentity();
    return d->load(copiedFlag == INTERNAL_COPIED ? FileInfoPrivate::INTERNAL_COPY : FileInfoPrivate::EXTERNAL_COPY);
}

// Left to the scoped guards, which are the only callers: the record's lock
// cannot be named from outside it.
void FileInfo::lockRead() NO_THREAD_SAFETY_ANALYSIS {
    d->rwlock.lockRead();
}

void FileInfo::lockWrite() NO_THREAD_SAFETY_ANALYSIS {
    d->rwlock.lockWrite();
}

void FileInfo::unlock() NO_THREAD_SAFETY_ANALYSIS {
    d->rwlock.unlock();
}
