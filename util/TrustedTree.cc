#include "util/TrustedTree.h"

#include <errno.h>
#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <utility>

namespace {

const int directoryFlags = O_PATH | O_DIRECTORY | O_CLOEXEC;

// Whether openat2 may be tried: set once a call says the kernel (or a seccomp
// filter) does not have it, or by a test.
std::atomic<bool> openat2Usable(true);

// A path below a base as the walks accept it: not empty, not absolute, and no
// ".." anywhere. Empty and "." components are harmless and skipped by both walks.
bool plainRelative(const std::string& relative) {
    if (relative.empty() || relative[0] == '/') return false;
    size_t start = 0;
    for (;;) {
        size_t end = relative.find('/', start);
        size_t length = (end == std::string::npos ? relative.size() : end) - start;
        if (length == 2 && relative.compare(start, 2, "..") == 0) return false;
        if (end == std::string::npos) return true;
        start = end + 1;
    }
}

// openat of one directory entry that must be a directory and no link. The
// kernel answers ENOTDIR for a link there; the walk reports it as ELOOP, as
// openat2 does, so that callers can tell a planted link from a file in the way.
int openComponent(int from, const std::string& component, int flags) {
    int fd;
    do fd = ::openat(from, component.c_str(), flags | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    while (fd < 0 && errno == EINTR);
    if (fd < 0 && errno == ENOTDIR) {
        struct stat status;
        if (::fstatat(from, component.c_str(), &status, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(status.st_mode))
            errno = ELOOP;
        else
            errno = ENOTDIR;
    }
    return fd;
}

// Makes the directory `component` in `parent`, then sets its owner (uid and
// gid, -1 keeps the daemon's) and its mode exactly, through a descriptor of
// it, and only while it is still root's: a user who swaps it at once must not
// get another directory given. `made` tells whether mkdirat succeeded.
// Returns a descriptor of the new directory, or none with errno.
UniqueFd makeDirectory(int parent, const std::string& component, mode_t mode, uid_t uid, gid_t gid, bool& made) {
    made = ::mkdirat(parent, component.c_str(), mode) == 0;
    if (!made) return UniqueFd();
    UniqueFd fd(openComponent(parent, component, O_RDONLY));
    struct stat status;
    if (fd && (::fstat(fd.get(), &status) != 0 || status.st_uid != ::geteuid())) {
        fd.reset();
        errno = EEXIST;
        return fd;
    }
    const bool chown = uid != static_cast<uid_t>(-1) || gid != static_cast<gid_t>(-1);
    // fchmod after fchown, which may clear set-id bits.
    if (fd && ((chown && ::fchown(fd.get(), uid, gid) != 0) || ::fchmod(fd.get(), mode) != 0)) fd.reset();
    return fd;
}

template <typename Visit>
bool forEachComponent(const std::string& relative, Visit visit) {
    size_t start = 0;
    while (start <= relative.size()) {
        size_t end = relative.find('/', start);
        if (end == std::string::npos) end = relative.size();
        if (end > start && relative.compare(start, end - start, ".") != 0) {
            if (!visit(relative.substr(start, end - start), end)) return false;
        }
        start = end + 1;
    }
    return true;
}

UniqueFd walkComponents(int from, const std::string& relative) {
    UniqueFd current;  // none while still at `from`
    bool ok = forEachComponent(relative, [&](const std::string& component, size_t) {
        current.reset(openComponent(current ? current.get() : from, component, O_PATH));
        return static_cast<bool>(current);
    });
    if (ok && !current) current.reset(::fcntl(from, F_DUPFD_CLOEXEC, 0));  // nothing but "." components
    return current;
}

UniqueFd walkOpenat2(int from, const std::string& relative) {
    struct open_how how = {};
    how.flags = directoryFlags;
    how.resolve = RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS | RESOLVE_NO_MAGICLINKS;
    // EAGAIN: a rename somewhere on the system raced the lookup; the kernel
    // asks to try again. A few tries, then the walk by components decides.
    for (int tries = 0; tries < 8; ++tries) {
        long fd = ::syscall(SYS_openat2, from, relative.c_str(), &how, sizeof how);
        if (fd >= 0) return UniqueFd(static_cast<int>(fd));
        if (errno == EINTR || errno == EAGAIN) continue;
        // ENOSYS: an older kernel; EPERM or E2BIG: a seccomp filter or a
        // kernel that knows another struct. The walk by components does the same job.
        if (errno == ENOSYS || errno == EPERM || errno == E2BIG) {
            openat2Usable = false;
            break;
        }
        return UniqueFd();
    }
    return walkComponents(from, relative);
}

}  // namespace

void TrustedTree::setWalk(Walk walk) {
    openat2Usable = walk == WALK_AUTOMATIC;
}

TrustedTree::TrustedTree(const std::string& basePath, bool makeBase) : base(basePath), makeBase(makeBase) {}

void TrustedTree::release() {
    // O_PATH descriptors: nothing to lose on close.
    heldFd.reset();
    baseFd.reset();
    heldDirectory.clear();
}

UniqueFd TrustedTree::openBeneath(int from, const std::string& relative) {
    if (!plainRelative(relative)) {
        errno = EINVAL;
        return UniqueFd();
    }
    return openat2Usable ? walkOpenat2(from, relative) : walkComponents(from, relative);
}

int TrustedTree::_base(const ModeOf* modeOf) {
    if (baseFd) return baseFd.get();
    int opened;
    // The configured path is followed as written: it is root's own choice.
    do opened = ::open(base.c_str(), directoryFlags);
    while (opened < 0 && errno == EINTR);
    baseFd.reset(opened);
    if (baseFd || errno != ENOENT || (!makeBase && modeOf == nullptr) || base.empty()) return baseFd.get();
    // Missing folders of it are made from the nearest one there, through
    // descriptors as below the base, but links in the configured part followed.
    UniqueFd current(::open(base[0] == '/' ? "/" : ".", directoryFlags));
    if (!current) return -1;
    forEachComponent(base, [&](const std::string& component, size_t end) {
        do opened = ::openat(current.get(), component.c_str(), directoryFlags);
        while (opened < 0 && errno == EINTR);
        UniqueFd next(opened);
        bool made = false;
        if (!next && errno == ENOENT)
            next = makeDirectory(current.get(), component, modeOf != nullptr ? (*modeOf)(base.substr(0, end)) : 0755,
                                 -1, -1, made);
        if (!next && !made && errno == EEXIST) next.reset(::openat(current.get(), component.c_str(), directoryFlags));
        current = std::move(next);
        return static_cast<bool>(current);
    });
    baseFd = std::move(current);  // none when a folder could not be made
    return baseFd.get();
}

int TrustedTree::_hold(const std::string& directory, UniqueFd fd) {
    heldDirectory = directory;
    heldFd = std::move(fd);
    return heldFd.get();
}

bool TrustedTree::_split(const std::string& relative, std::string& name, size_t& slash) {
    slash = relative.rfind('/');
    name = slash == std::string::npos ? relative : relative.substr(slash + 1);
    if (plainRelative(relative) && !name.empty() && name != ".") return true;
    errno = EINVAL;
    return false;
}

int TrustedTree::parentOf(const std::string& relative, std::string& name) {
    size_t slash;
    if (!_split(relative, name, slash)) return -1;
    if (slash == std::string::npos) return _base();
    const std::string directory = relative.substr(0, slash);
    if (heldFd && directory == heldDirectory) return heldFd.get();
    const int from = _base();
    if (from < 0) return -1;
    UniqueFd fd = openBeneath(from, directory);
    if (!fd) return -1;
    return _hold(directory, std::move(fd));
}

int TrustedTree::makeParentOf(const std::string& relative, std::string& name, const ModeOf& modeOf, uid_t uid,
                              gid_t gid) {
    size_t slash;
    if (!_split(relative, name, slash)) return -1;
    release();  // a held directory may be one that was removed since
    const int from = _base(&modeOf);
    if (from < 0 || slash == std::string::npos) return from;

    const std::string directory = relative.substr(0, slash);
    UniqueFd current;  // none while still at the base
    bool ok = forEachComponent(directory, [&](const std::string& component, size_t end) {
        const int parent = current ? current.get() : from;
        UniqueFd next(openComponent(parent, component, O_PATH));
        bool made = false;
        if (!next && errno == ENOENT)
            next = makeDirectory(parent, component, modeOf(directory.substr(0, end)), uid, gid, made);
        // Made by another thread or process meanwhile: take it as it is.
        if (!next && !made && errno == EEXIST) next.reset(openComponent(parent, component, O_PATH));
        current = std::move(next);
        return static_cast<bool>(current);
    });
    if (!ok) return -1;
    if (!current) return from;  // nothing but "." components
    return _hold(directory, std::move(current));
}
