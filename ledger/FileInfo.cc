#include "ledger/FileInfo.h"

#include <boost/make_shared.hpp>

FileInfo::FileInfoPrivate::FileInfoPrivate(const std::string& path, int64_t tavroTime)
    : path(path), tavroTime(tavroTime), flags(0) {
    // Default attributes cannot fail to initialise short of memory, which
    // the daemon does not survive anyway.
    pthread_rwlock_init(&rwlock, nullptr);
}

FileInfo::FileInfoPrivate::~FileInfoPrivate() {
    pthread_rwlock_destroy(&rwlock);
}

// One allocation for the record and its reference count: the ledgers hold a
// handle for every file of a user shift, so this is most of their memory.
FileInfo::FileInfo(const std::string& path, int64_t tavroTime)
    : d(boost::make_shared<FileInfoPrivate>(path, tavroTime)) {}

std::string FileInfo::pathToOrigin() const {
    return d->path;
}

int64_t FileInfo::tavroTime() const {
    return d->tavroTime;
}

void FileInfo::setFlag(uint32_t mask) {
    d->flags.fetch_or(mask, std::memory_order_acq_rel);
}

bool FileInfo::isSet(uint32_t mask) const {
    return (d->flags.load(std::memory_order_acquire) & mask) != 0;
}

int FileInfo::lockRead() {
    return pthread_rwlock_rdlock(&d->rwlock);
}

int FileInfo::lockWrite() {
    return pthread_rwlock_wrlock(&d->rwlock);
}

int FileInfo::unlock() {
    return pthread_rwlock_unlock(&d->rwlock);
}
