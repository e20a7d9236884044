#include "support/ReadHold.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <string.h>
#include <sys/fanotify.h>
#include <unistd.h>

#include <chrono>

ReadHold::ReadHold(const std::string& path)
    : fanotify_(fanotify_init(FAN_CLASS_CONTENT | FAN_CLOEXEC | FAN_NONBLOCK, O_RDONLY)) {
    if (fanotify_ && fanotify_mark(fanotify_.get(), FAN_MARK_ADD, FAN_ACCESS_PERM, AT_FDCWD, path.c_str()) != 0)
        fanotify_.reset();
    if (!fanotify_) {
        skipReason_ = "no fanotify permission events to hold the reads of " + path + ": " + strerror(errno);
        return;
    }
    answerer_ = std::thread([this] {
        struct pollfd waiting = {fanotify_.get(), POLLIN, 0};
        alignas(struct fanotify_event_metadata) char buffer[4096];
        while (!stopping_) {
            ssize_t got = poll(&waiting, 1, 50) > 0 ? read(fanotify_.get(), buffer, sizeof buffer) : 0;
            if (got <= 0) continue;
            std::lock_guard<std::mutex> lock(mutex_);
            for (auto* event = reinterpret_cast<struct fanotify_event_metadata*>(buffer); FAN_EVENT_OK(event, got);
                 event = FAN_EVENT_NEXT(event, got))
                if (event->fd >= 0) held_.emplace_back(event->fd);  // FAN_NOFD: the queue overflowed
            if (released_) _allowHeld();
            changed_.notify_all();
        }
    });
}

ReadHold::~ReadHold() {
    release();
    stopping_ = true;
    if (answerer_.joinable()) answerer_.join();
    // Closing the group allows whatever it was still asked.
}

bool ReadHold::waitForHeld(size_t count, double seconds) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, std::chrono::duration<double>(seconds), [&] { return held_.size() >= count; });
}

void ReadHold::release() {
    std::lock_guard<std::mutex> lock(mutex_);
    released_ = true;
    _allowHeld();
}

void ReadHold::_allowHeld() {
    for (const UniqueFd& event : held_) {
        const struct fanotify_response allow = {event.get(), FAN_ALLOW};
        // Ignored on purpose: a read not answered here is let go when the group closes.
        if (write(fanotify_.get(), &allow, sizeof allow) < 0) continue;
    }
    held_.clear();
}
