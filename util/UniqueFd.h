#ifndef VELLORT_UTIL_UNIQUEFD_H
#define VELLORT_UTIL_UNIQUEFD_H

#include <errno.h>
#include <unistd.h>

// The one owner of a descriptor: closes it when it goes, so that no early
// return leaks it, and leaves errno as it was, so that a failure's errno
// survives the clean-up on its way out. Move-only.
class UniqueFd {
public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : fd_(fd) {}
    ~UniqueFd() { reset(); }

    UniqueFd(UniqueFd&& other) noexcept : fd_(other.release()) {}
    UniqueFd& operator=(UniqueFd&& other) noexcept {
        if (this != &other) reset(other.release());
        return *this;
    }
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;

    int get() const { return fd_; }
    explicit operator bool() const { return fd_ >= 0; }

    // Hands the descriptor over: the caller closes it now.
    int release() {
        const int fd = fd_;
        fd_ = -1;
        return fd;
    }
    // Closes what it holds (an error of close ignored: callers that must see
    // it, a copy's last write, flush before), then holds `fd`.
    void reset(int fd = -1) {
        if (fd_ >= 0) {
            const int savedErrno = errno;
            ::close(fd_);
            errno = savedErrno;
        }
        fd_ = fd;
    }

private:
    int fd_ = -1;
};

#endif
