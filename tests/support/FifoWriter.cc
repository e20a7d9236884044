#include "support/FifoWriter.h"

#include <errno.h>
#include <fcntl.h>
#include <unistd.h>

#include "support/LogWatch.h"

bool FifoWriter::open(double seconds) {
    close();
    // Non-blocking: without a reader the open fails with ENXIO at once instead of waiting for ever.
    auto opened = [this] {
        fd_ = ::open(path_.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
        return fd_ >= 0 || (errno != ENXIO && errno != ENOENT && errno != EINTR);
    };
    waitUntil(opened, seconds, 2);
    // Writes then wait for room in the pipe, as a real writer's do.
    const int flags = fd_ < 0 ? -1 : fcntl(fd_, F_GETFL);
    if (flags >= 0 && fcntl(fd_, F_SETFL, flags & ~O_NONBLOCK) == 0) return true;
    close();
    return false;
}

bool FifoWriter::write(const std::string& text) {
    for (size_t done = 0; done < text.size();) {
        const ssize_t written = ::write(fd_, text.data() + done, text.size() - done);
        if (written < 0 && errno != EINTR) return false;
        if (written > 0) done += static_cast<size_t>(written);
    }
    return true;
}

void FifoWriter::close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
}
