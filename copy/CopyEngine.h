#ifndef VELLORT_COPY_COPYENGINE_H
#define VELLORT_COPY_COPYENGINE_H

#include <stdint.h>
#include <sys/types.h>

#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "util/FileIdentity.h"
#include "util/TrustedTree.h"
#include "util/UniqueFd.h"

// The copy engine of the copy workers: one file copied, read back, or judged
// as an earlier run left it, below trees whose folders users may swap for
// links. Any thread; it keeps no state but the lock that serialises the
// making of directories, and writes no log text.
namespace UTILITIES {

// Result codes of copy(); every failure has its own code so that the copy
// worker can report what went wrong.
enum CopyError : int64_t {
    COPY_SOURCE_OPEN = -1,      // source cannot be opened (ELOOP: a link on its way or the file a link)
    COPY_SOURCE_STAT = -2,      // source cannot be examined
    COPY_MKDIR = -3,            // a missing directory cannot be made or given its owner
    COPY_TMP_AFTER_MKDIR = -4,  // temporary file cannot be created after making directories
    COPY_TMP_OPEN = -5,         // temporary file cannot be created (ELOOP: a link on its way)
    COPY_READ = -6,
    COPY_WRITE = -7,
    COPY_OWNER = -8,  // owner or mode of the copy cannot be set
    COPY_TIMES = -9,
    COPY_RENAME = -10,
    COPY_NOT_REGULAR = -11,  // the source is no regular file (a pipe, a device, a directory)
    // Verifying copies only:
    COPY_SOURCE_CHANGED = -12,  // the source's size or modification time changed while it was read
    COPY_MISMATCH = -13,        // a hash or size differs from what it must be (see Verification)
    COPY_READ_BACK = -14,       // the copy cannot be read back
    // Copy workers only, never copy() itself:
    COPY_FLUSH = -15,  // the copy's file system could not be flushed: it may not be on the disk
};

// What a verifying copy is asked and what it found. The bytes read from the
// source are hashed as they pass; when `expected` is given (the hash of the
// file's first copy), they must hash to it. Once the copy is on the disk
// (the caller's flush), readBack() drops it from the page cache where the
// file system allows, reads it back and hashes it: it must hold what was read.
struct Verification {
    std::string expected;    // in; empty: whatever the source holds
    std::string sourceHash;  // out: of the bytes read from the source
    std::string copyHash;    // out: of the copy as read back, empty when not reached
    int64_t copySize = -1;   // out: bytes read back
};

// Seams for tests, never given by the daemon: called in the copying thread
// of a copy once the source is read (with its descriptor), and by readBack()
// before it reads (with the copy's descriptor, open for reading). A test hands
// them to the copy workers through Storage::Params.
struct CopyHooks {
    std::function<void(int)> sourceRead;
    std::function<void(int)> copyRenamed;
};

// What copy() found and made, for the checks of whoever releases a file later.
// `descriptor` keeps the copy open: the copy is only renamed into place, not
// yet on the disk, and its file system is flushed through a descriptor opened
// before it was written (see FileSystemFlush).
struct CopiedFile {
    FileIdentity source;
    FileIdentity copy;
    UniqueFd descriptor;
};

// One copy: what is copied where, and how. The trees are borrowed for the
// copy; every pointer may be null.
struct CopyRequest {
    CopyRequest(TrustedTree& from, std::string source, TrustedTree& to, std::string destination)
        : from(from), source(std::move(source)), to(to), destination(std::move(destination)) {}

    TrustedTree& from;
    std::string source;  // below `from`
    TrustedTree& to;
    std::string destination;  // below `to`
    // The copy, and the directories made for it, get the source's owner / group.
    bool preserveUid = false;
    bool preserveGid = false;
    CopiedFile* made = nullptr;      // filled on success, with the copy open
    Verification* verify = nullptr;  // verify_copies: the source hashed and checked
    // Kept by the caller from copy to copy; null or empty: 8 KiB of the copy's own.
    std::vector<char>* buffer = nullptr;
    const CopyHooks* hooks = nullptr;  // borrowed for the copy; tests only
};

// Copies `source`, a path below the tree `from`, to `destination` below the
// tree `to`, through destination + ".tmp", which is renamed over the
// destination once complete, so no copy is ever seen half-written under its
// final name. Nothing on either side is reached through a symbolic link: the
// source must be a regular file (opened without following a link and without
// blocking, so a pipe put in its place cannot hang the worker), a leftover
// temporary file of any kind is removed, never opened, and the new one is
// created with O_EXCL. Missing directories of the destination are made with
// the modes of their counterparts in the source tree (0755 where there is
// none), and owned like the source file where the request asks for it. The
// copy gets the source's mode, its owner and group as the request asks, and
// its modification time in whole seconds, all set on its descriptor. A
// failure after the temporary file was created removes it.
//
// A source that changed while read leaves no copy (COPY_SOURCE_CHANGED). With
// `verify`, the source is hashed and checked as Verification says.
//
// The copy is renamed into place, not flushed: with `made`, which is filled on
// success, its descriptor stays open for the caller's flush; a caller without
// `made` has no copy on the disk to count on.
//
// Returns the number of bytes copied or one of the CopyError codes, with errno
// set by the failing call. Writes no log text. Thread-safe for distinct trees,
// but two copies to the same destination at once would share one temporary
// file: callers must not start them.
int64_t copy(const CopyRequest& request);

// The last step of a verifying copy, once the copy made as `copy` is on the
// disk: it is read back from there and must hold what `verify` says was read
// from the source. A copy that does not is removed (COPY_MISMATCH), or one
// that cannot be read back (COPY_READ_BACK), while its name still leads to
// it. 0 when it stands.
int64_t readBack(TrustedTree& to, const std::string& destination, const FileIdentity& copy, Verification& verify,
                 const CopyHooks* hooks = nullptr);

// What a copy worker finds of a copy that an earlier run of the daemon may
// have left, when it takes a file up again after a restart.
enum class Leftover {
    NONE,      // nothing that counts: the copy is made (anew) from a source
    COMPLETE,  // the copy at the destination counts as it is
    PROMOTED,  // the temporary copy was complete, and was renamed into place
    UNPROVEN,  // the source is gone, and what is there cannot be shown to be whole
};

// Judges what an earlier run left at `destination` below `to`, and at
// destination + ".tmp" beside it, before anything is removed: with the
// source gone, either may be the last copy of the data.
// - `source` below `from` is there: the copy counts when it has the source's
//   size and modification second; otherwise it is made anew (NONE), which
//   removes the temporary copy.
// - The source is gone: the copy counts when it has `recordedSize` bytes,
//   the file's size when it was announced; failing that, a temporary copy of
//   that size is renamed into place. A size of -1 (not recorded) proves
//   nothing. UNPROVEN, with `why`, leaves whatever is there as it is.
// With `reference` (the file's reference hash) a copy must also hash to it.
// A temporary copy beside a copy that counts is removed, and so is a symbolic
// link left as `source`.tmp by a link pass that was cut short. Fills `made`
// for COMPLETE and PROMOTED (no source identity when the source is gone),
// with the copy open. Never follows a link.
Leftover judgeLeftover(TrustedTree& from, const std::string& source, TrustedTree& to, const std::string& destination,
                       int64_t recordedSize, const std::string& reference, CopiedFile& made, std::string& why);

}  // namespace UTILITIES

#endif
