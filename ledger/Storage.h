#ifndef VELLORT_LEDGER_STORAGE_H
#define VELLORT_LEDGER_STORAGE_H

#include <stdint.h>

#include <list>
#include <memory>
#include <string>
#include <vector>

#include "daemon/Settings.h"
#include "ledger/DebitCredit.h"
#include "ledger/FileInfo.h"
#include "ledger/StorageType.h"
#include "metrics/Metrics.h"

class CopyThread;
class DelThread;
class FlushBufferThread;
class LinkThread;
class MessageServer;
class StorageHealth;
namespace EVENTS {
class Publisher;
}
namespace UTILITIES {
struct CopyHooks;
}

// One configured storage, INTERNAL, EXTERNAL or OPTIONAL: it owns the
// storage's ledger and the threads that work on it, and is what the pipe
// reader and the status service see of it.
//
// Called by the pipe reader's thread (insertToBuffer, flushBuffer,
// setTavroTime, startDeleting) and the status service's workers (history). It
// has no lock of its own: the ledger is thread-safe, and the rest only wakes
// threads. The start-up creates every storage with new and never deletes it.
class Storage {
public:
    // The types by their short names.
    static constexpr StorageType INTERNAL = StorageType::INTERNAL;
    static constexpr StorageType EXTERNAL = StorageType::EXTERNAL;
    static constexpr StorageType OPTIONAL = StorageType::OPTIONAL;

    // The settings every storage takes from the configuration as it is:
    // ConfigFileParser keeps them in this form, and the start-up hands its
    // part on whole. Left zero (false, empty) where not set, as in the tests
    // of single threads, but for the copy buffer, which a copy cannot do without.
    struct Shared {
        std::string logfile;
        int logfile_max_number = 0;
        int logfile_max_size = 0;
        int history_max_entries = 0;
        // Seconds: failed copies are tried again after 1 s, then twice the
        // pause before, up to this; 0: never.
        int copy_retry_max_delay = 0;
        // Bytes a copy reads and writes at a time.
        int copy_buffer_size = SETTINGS::defaultNumber("copy_buffer_size");
        // Caps of one copy job in files and source bytes; 0: none.
        int copy_job_max_files = 0;
        int copy_job_max_bytes = 0;
        // The RAM disk's mount point, as configured, for every storage: the
        // directory below which announced files are read and, by the INTERNAL
        // storage, linked and deleted. Nothing outside it is ever touched.
        std::string ramdisk_mountpoint;
        int fillstate_limit = 0;
        // Seconds; when the watched RAM disk would be full within them at the
        // present rate, one warning (code 7); 0: none. INTERNAL storage only.
        int full_warning_seconds = 0;
        bool create_links = false;
        // Every copy is hashed, read back and compared before it counts (and
        // before anything is let go for it), and listed in a manifest.
        bool verify_copies = false;
        bool preserve_uid = false;
        bool preserve_gid = false;
    };

    // The settings of one storage; every thread of the storage keeps a copy.
    struct Params : Shared {
        std::string storageID;  // starts the storage's log lines
        // What the storage does in the cascade: roleOf(type).
        StorageType type = StorageType::INTERNAL;
        // Borrowed, null when the message service could not start; it lives
        // as long as the process.
        MessageServer* messageServer = nullptr;
        int n_copy_processes = 0;
        std::string target;
        // When not empty: a directory that must be a mounted file system, or
        // copies to this storage are refused ("not mounted") and nothing is
        // made below it: an unplugged disk leaves a bare mount point behind.
        std::string target_mount;
        // Source directory of the link and removal passes: the INTERNAL
        // target for the EXTERNAL storage, empty otherwise (the announced
        // paths are used).
        std::string origin;
        // Mount point whose fill state the storage watches; empty for OPTIONAL.
        std::string mountpoint;
        // Targets of the storages created before this one, in creation order:
        // where a copy looks when the announced source is gone.
        std::vector<std::string> alternativeSourceDirs;
        // INTERNAL storage only, when there is an EXTERNAL storage: its target.
        // A RAM-disk file whose INTERNAL copy failed may go at its shift once
        // a complete EXTERNAL copy of it is there.
        std::string external_target;
        // Borrowed, null without a journal; the storage's steps are booked in
        // it as its storage number `journal_storage`.
        Journal* journal = nullptr;
        int journal_storage = -1;
        // Borrowed, living for the process; null (always up) where no health
        // is kept, as in the tests of single threads. The storage's own, and
        // for the INTERNAL storage the EXTERNAL one's, whose copies may
        // vouch for a RAM-disk file.
        StorageHealth* health = nullptr;
        StorageHealth* externalHealth = nullptr;
        // Borrowed, living for the process; null without events. Copies made
        // and given up are published through it.
        EVENTS::Publisher* events = nullptr;
        // Tests only, null in the daemon: the copy workers hand them to every
        // copy and read-back. Borrowed; they outlive the storage's copies.
        const UTILITIES::CopyHooks* copyHooks = nullptr;
    };

    explicit Storage(const Params& params);
    // Only for completeness of the owned types: a storage's threads run for the
    // life of the process, so the daemon never destroys one.
    ~Storage();

    Storage(const Storage&) = delete;
    Storage& operator=(const Storage&) = delete;

    // Pipe reader, once per announced file: into the ledger's buffer...
    void insertToBuffer(const FileInfo& file);
    // ...and the flush thread woken to pass it on to the copy thread.
    void flushBuffer();
    // Pipe reader, at its start and on every user shift.
    void setTavroTime(int64_t time, uint32_t uid, uint32_t gid);
    // Pipe reader, right after setTavroTime on a user shift: the previous
    // users' files are deleted from the storage's source.
    void startDeleting();
    // Pipe reader, at a start with a journal, instead of setTavroTime: the
    // shift and history it kept; then each unfinished file with restore()
    // (as DebitCredit::restore), and resume() to set the threads going on them.
    void restoreHistory(int64_t time, const std::list<DebitCredit::HistEntry>& entries);
    void restore(const FileInfo& file, const Journal::Step& booked, Journal::State state);
    void resume();
    // Status service: n as for DebitCredit::history.
    std::list<DebitCredit::HistEntry> history(int n);

    const Params& getParams() const { return params; }
    // Null where no health is kept.
    StorageHealth* health() const { return params.health; }
    // The storage's watch, once it found another disk mounted for it: every
    // file whose copy it had booked on the old disk, and which the daemon
    // still holds elsewhere, is copied to the new one. Returns when done;
    // copied and failed count the files.
    void refill(int& copied, int& failed);
    // The ledger, which the storage's threads borrow.
    DebitCredit& debitCredit() { return *ledger; }
    // What the storage's space watch measured last at its mount point; null
    // for a storage without one (OPTIONAL).
    const METRICS::MountGauges* mountGauges() const;

private:
    const Params params;
    std::unique_ptr<DebitCredit> ledger;
    std::unique_ptr<FlushBufferThread> flushThread;
    std::unique_ptr<DelThread> delThread;  // null for OPTIONAL storages
    std::unique_ptr<CopyThread> copyThread;
    std::unique_ptr<LinkThread> linkThread;  // null for OPTIONAL storages
};

#endif
