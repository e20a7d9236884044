#include "support/FifoWriter.h"

#include <errno.h>
#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <thread>

bool FifoWriter::open(double seconds) {
    close();
    auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    for (;;) {
        // Non-blocking: without a reader the open fails with ENXIO at once
        // instead of waiting for ever.
        fd_ = ::open(path_.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
        if (fd_ >= 0) break;
        if (errno != ENXIO && errno != ENOENT && errno != EINTR) return false;
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    // Writes then wait for room in the pipe, as a real writer's do.
    int flags = fcntl(fd_, F_GETFL);
    if (flags < 0 || fcntl(fd_, F_SETFL, flags & ~O_NONBLOCK) != 0) {
        close();
        return false;
    }
    return true;
}

bool FifoWriter::write(const std::string& text) {
    size_t done = 0;
    while (done < text.size()) {
        ssize_t written = ::write(fd_, text.data() + done, text.size() - done);
        if (written < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        done += static_cast<size_t>(written);
    }
    return true;
}

void FifoWriter::close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
}
