#ifndef VELLORT_LEDGER_FILEINFO_H
#define VELLORT_LEDGER_FILEINFO_H

#include <stdint.h>

#include <atomic>
#include <string>

#include <boost/intrusive_ptr.hpp>

#include "thread/SlimRwLock.h"
#include "util/FileIdentity.h"

// The daemon's record of one announced file: a cheap handle to one shared
// private record. Every storage's ledger and every thread that works on the
// file hold copies of the same handle, so they see one flag word and use one
// read-write lock. The record goes when the last handle goes.
//
// Handles are copied freely between threads (the reference count is atomic).
// A ledger holds a handle for every file of a user shift, so the record is
// kept small: one allocation with the path at its end and its count inside.
// Path and shift time never change; flag bits are only ever set, by atomic OR,
// so storages coordinate through them without a lock.
class FileInfo {
public:
    // Steps that the INTERNAL storage performed on the file.
    static constexpr uint32_t INTERNAL_COPY_STARTED = 0x001;
    static constexpr uint32_t INTERNAL_COPIED = 0x002;
    static constexpr uint32_t INTERNAL_LINK_STARTED = 0x004;
    static constexpr uint32_t INTERNAL_LINKED = 0x008;
    static constexpr uint32_t INTERNAL_REMOVAL_STARTED = 0x010;
    static constexpr uint32_t INTERNAL_REMOVED = 0x020;
    // Steps that the EXTERNAL storage performed on the file. OPTIONAL storages set none.
    static constexpr uint32_t EXTERNAL_COPY_STARTED = 0x040;
    static constexpr uint32_t EXTERNAL_COPIED = 0x080;
    static constexpr uint32_t EXTERNAL_LINK_STARTED = 0x100;
    static constexpr uint32_t EXTERNAL_LINKED = 0x200;
    static constexpr uint32_t EXTERNAL_REMOVAL_STARTED = 0x400;
    static constexpr uint32_t EXTERNAL_REMOVED = 0x800;
    // Taken up again from the journal at a start: a copy found complete at
    // the copy path is booked as made, not made anew.
    static constexpr uint32_t RECOVERED = 0x1000;
    // The INTERNAL storage will not copy the file (any more): its copy
    // failed for good. Until then, or INTERNAL_COPIED, the EXTERNAL storage
    // leaves the file's INTERNAL copy alone, in its passes and at a user
    // shift, for it may still come.
    static constexpr uint32_t INTERNAL_COPY_ENDED = 0x2000;
    // The EXTERNAL storage will not copy the file (any more). Until then, or
    // EXTERNAL_COPIED, the deletion at a user shift keeps a RAM-disk file
    // that has no INTERNAL copy: the EXTERNAL one may still vouch for it.
    static constexpr uint32_t EXTERNAL_COPY_ENDED = 0x4000;
    // Taken up with the INTERNAL or EXTERNAL storage's copy booked as made:
    // the run before counted its verification and listed it in the shift's
    // manifest, so a copy of it made or found again counts in neither anew.
    static constexpr uint32_t INTERNAL_COPY_BOOKED = 0x8000;
    static constexpr uint32_t EXTERNAL_COPY_BOOKED = 0x10000;

    class FileInfoPrivate;
    class ReadLock;
    class WriteLock;

    // path: base + "/./" + relative path, as the pipe reader normalised it.
    // tavroTime: start of the user shift the file belongs to.
    // journalId: the file's number in the journal; 0 without one.
    // announced: when its announcement arrived (CLOCK_MONOTONIC nanoseconds); 0: now.
    FileInfo(const std::string& path, int64_t tavroTime, int64_t journalId = 0, int64_t announced = 0);

    // Copies share the record; they never copy it.
    FileInfo(const FileInfo&) = default;
    FileInfo& operator=(const FileInfo&) = default;

    std::string pathToOrigin() const;
    int64_t tavroTime() const;
    int64_t journalId() const;
    // When the announcement arrived, or the file was taken up again at a
    // start: CLOCK_MONOTONIC nanoseconds.
    int64_t announced() const;
    // The same for every handle of one record, and different for two records
    // alive at the same time.
    const void* key() const { return d.get(); }

    void setFlag(uint32_t mask);
    // True when any bit of mask is set.
    bool isSet(uint32_t mask) const;

    // Which file on the RAM disk was copied, and in which state: recorded by
    // the first copy of the INTERNAL or EXTERNAL storage made from the
    // announced file, the copies that vouch for its release. A later copy
    // made from another state of it leaves the record, but marks it disputed:
    // one of the copies then differs from the file as it is, whichever state
    // that is. Unknown (not known()) until the first.
    void recordSource(const FileIdentity& identity);
    FileIdentity source() const;
    bool sourceDisputed() const;
    // The copy that the INTERNAL or EXTERNAL storage made, recorded by its
    // worker before it sets `copiedFlag` (INTERNAL_COPIED or EXTERNAL_COPIED),
    // which publishes it; unknown while that flag is not set.
    void recordCopy(uint32_t copiedFlag, const FileIdentity& identity);
    // The hash of the file's first verified copy, which every later copy of
    // any storage must match: `candidate` becomes it when there is none yet
    // (and is not empty). Returns the reference, empty when there is none.
    std::string referenceHash(const std::string& candidate = "");
    FileIdentity copy(uint32_t copiedFlag) const;
    // The file's size as the journal recorded it when the file was announced,
    // -1 when unknown: what a copy left by an earlier run must have when the
    // source is gone. Set only for a file taken up from the journal, before
    // any other thread holds the record.
    void setRecordedSize(int64_t size);
    int64_t recordedSize() const;

private:
    // Taken only through ReadLock and WriteLock, so that every way out of a
    // scope lets go of it.
    friend class ReadLock;
    friend class WriteLock;
    void lockRead();
    void lockWrite();
    void unlock();

    boost::intrusive_ptr<FileInfoPrivate> d;
};

// The shared record behind every handle of one file, made by create() in one
// allocation with the file's name after it. Its folder and shift are shared
// with the files announced before it in the same folder and shift.
class FileInfo::FileInfoPrivate {
public:
    // A folder of announced files in one user shift, stored once for them.
    struct Folder {
        std::atomic<uint32_t> references;
        const int64_t tavroTime;
        const std::string path;  // up to and with its last '/'
    };

    // What FileIdentity holds, packed: the device in 32 bits (Linux keeps
    // its device numbers in 32; a wider one could only fail to match, which
    // refuses a release, never allows one) and the time in nanoseconds.
    struct Identity {
        uint64_t inode;
        int64_t size;  // -1: nothing recorded
        int64_t mtime;
    };

    static FileInfoPrivate* create(const std::string& path, int64_t tavroTime, int64_t journalId, int64_t announced);

    FileInfoPrivate(const FileInfoPrivate&) = delete;
    FileInfoPrivate& operator=(const FileInfoPrivate&) = delete;

    std::string path() const { return folder->path + std::string(reinterpret_cast<const char*>(this + 1), nameLength); }
    int64_t tavroTime() const { return folder->tavroTime; }

    // The three identities kept: the source's, the INTERNAL and the EXTERNAL copy's.
    enum Which { SOURCE, INTERNAL_COPY, EXTERNAL_COPY };
    void store(Which which, const FileIdentity& identity);
    FileIdentity load(Which which) const;

    std::atomic<uint32_t> references;  // handles; the last one to go destroys the record
    std::atomic<uint32_t> flags;
    // Copy workers of all storages read under it; the link and removal passes
    // replace or delete the file only under it for writing.
    SlimRwLock rwlock;
    const int64_t journalId;
    const int64_t announced;
    // What few files need, made when first needed: the reference hash
    // (published as the identities are) and the size recorded in the journal.
    struct Extra {
        std::string hash;
        int64_t recordedSize = -1;
    };
    Extra* extra;

private:
    friend void intrusive_ptr_release(FileInfoPrivate* record);
    FileInfoPrivate(Folder* folder, size_t nameLength, int64_t journalId, int64_t announced);
    ~FileInfoPrivate();

    const uint32_t nameLength;  // its bytes follow the record
    // Written once each, before the flag bit that publishes them (the
    // source's own bits, or INTERNAL_COPIED / EXTERNAL_COPIED); read only after it.
    uint32_t devices[3];
    Folder* const folder;  // holds one reference to it
    Identity identities[3];
};

inline void intrusive_ptr_add_ref(FileInfo::FileInfoPrivate* record) {
    record->references.fetch_add(1, std::memory_order_relaxed);
}
void intrusive_ptr_release(FileInfo::FileInfoPrivate* record);

// Holds a file's read lock for its scope, and with it the record itself: the
// copy workers copy a file inside one.
class FileInfo::ReadLock {
public:
    explicit ReadLock(const FileInfo& file) : file(file) { this->file.lockRead(); }
    ~ReadLock() { file.unlock(); }

    ReadLock(const ReadLock&) = delete;
    ReadLock& operator=(const ReadLock&) = delete;

private:
    FileInfo file;
};

// Holds a file's write lock for its scope, and with it the record: the link
// and removal passes change a file inside one.
class FileInfo::WriteLock {
public:
    explicit WriteLock(const FileInfo& file) : file(file) { this->file.lockWrite(); }
    ~WriteLock() { file.unlock(); }

    WriteLock(const WriteLock&) = delete;
    WriteLock& operator=(const WriteLock&) = delete;

private:
    FileInfo file;
};

#endif
