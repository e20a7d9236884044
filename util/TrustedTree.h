#ifndef VELLORT_UTIL_TRUSTEDTREE_H
#define VELLORT_UTIL_TRUSTEDTREE_H

#include <sys/types.h>

#include <functional>
#include <string>

#include "util/UniqueFd.h"

// A directory that the configuration names (the RAM disk's mount point, a
// storage's target) and the tree below it, whose folders the data's users may
// own and may swap for symbolic links at any moment. The daemon runs as root,
// so a path below the base is never handed to the kernel as a whole: it is
// resolved from a held descriptor of the base without following any symbolic
// link and without leaving the base, and every later call is made relative to
// the descriptor of the directory found (mkdirat, openat, fstatat, renameat,
// unlinkat, symlinkat). The base path itself is trusted as configured.
//
// The tree keeps the descriptor of the directory it resolved last, so that the
// files of one folder cost no new walk. That descriptor stays with the
// directory it was opened on, even when a user moves the directory away: what
// is done through it then happens in that user's directory, never elsewhere.
//
// One thread at a time: each thread that works on files owns its trees, and
// lets go of them (release) between jobs, so a remounted file system is seen.
class TrustedTree {
public:
    // How paths below the base are resolved. WALK_AUTOMATIC takes openat2 with
    // RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS where the kernel has it, else
    // WALK_COMPONENTS: one openat(O_NOFOLLOW | O_DIRECTORY) per component.
    enum Walk { WALK_AUTOMATIC, WALK_COMPONENTS };
    // For tests of both ways; the daemon never calls it.
    static void setWalk(Walk walk);

    // makeBase: a missing base and its missing parents are made, mode 0755,
    // owned by the daemon and never given away: they are the trusted part.
    // makeParentOf makes them in any case, with the modes its modeOf gives.
    explicit TrustedTree(const std::string& basePath, bool makeBase = false);

    TrustedTree(const TrustedTree&) = delete;
    TrustedTree& operator=(const TrustedTree&) = delete;

    const std::string& basePath() const { return base; }

    // The directory that holds `relative`, a path below the base; `name` gets
    // its last component. The descriptor belongs to the tree and stays valid
    // until the next call on it. -1 with errno on failure: ELOOP when a
    // directory on the way is a symbolic link, EINVAL for a path that is
    // empty, absolute, ends in "/" or has a ".." component; ENOENT, ENOTDIR,
    // EACCES as the kernel says.
    int parentOf(const std::string& relative, std::string& name);

    // Mode of a new directory, given its path below the base, or the absolute
    // path of a missing folder of the base itself.
    using ModeOf = std::function<mode_t(const std::string& directory)>;
    // As parentOf, making the missing directories on the way, walked afresh
    // from a newly opened base. A new directory gets modeOf's mode exactly and
    // the owner `uid` and group `gid` (-1 keeps the daemon's); a directory that
    // existed is left as it is. Callers serialise it, so that two threads never
    // race to make one directory.
    int makeParentOf(const std::string& relative, std::string& name, const ModeOf& modeOf, uid_t uid, gid_t gid);

    // Closes every held descriptor; the next call opens the base again.
    void release();

    // Resolves the directory `relative` below the directory open at `from`
    // under the rules of parentOf. Returns a new O_PATH descriptor, or none
    // with errno.
    static UniqueFd openBeneath(int from, const std::string& relative);

private:
    // The last component of `relative` into name, and the position of the
    // slash before it; false (EINVAL) for a path the walks refuse.
    static bool _split(const std::string& relative, std::string& name, size_t& slash);
    int _base(const ModeOf* modeOf = nullptr);
    // Holds `fd` as the descriptor of `directory`, closing the one held before; returns it.
    int _hold(const std::string& directory, UniqueFd fd);

    const std::string base;
    const bool makeBase;
    UniqueFd baseFd;
    std::string heldDirectory;  // below the base; "" while none is held
    UniqueFd heldFd;
};

#endif
