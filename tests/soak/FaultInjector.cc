#include <errno.h>
#include <fcntl.h>
#include <unistd.h>

#include "soak/Soak.h"
#include "util/Errors.h"

using UTILITIES::systemText;

void FaultInjector::run(double until) {
    for (int cycle = 0; !soak.stopping; ++cycle) {
        for (Kind kind : {EXTERNAL_READ_ONLY, OPTIONAL_FULL}) {
            const double at = 60.0 * cycle + (kind == EXTERNAL_READ_ONLY ? 15 : 40);
            if (at + 12 > until ||
                !soak.waitFor(at - soak.elapsed() + 1, [&]() { return soak.stopping || soak.elapsed() >= at; }) ||
                soak.stopping)
                return;
            {
                std::lock_guard<std::mutex> guard(mutex);
                windows.push_back(Window{kind, soak.elapsed(), -1});
            }
            kind == EXTERNAL_READ_ONLY ? _makeExternalReadOnly() : _fillOptional();
            std::lock_guard<std::mutex> guard(mutex);
            windows.back().end = soak.elapsed();
            changed.notify_all();
        }
    }
}

bool FaultInjector::covers(Kind kind, double at) {
    const double messageSlack = 10;  // how long a failure message may trail the end of its window
    std::lock_guard<std::mutex> guard(mutex);
    for (const Window& window : windows)
        if (window.kind == kind && at >= window.start && (window.end < 0 || at <= window.end + messageSlack))
            return true;
    return false;
}

void FaultInjector::_makeExternalReadOnly() {
    // A tmpfs refuses to become read-only while a file on it is open for writing (EBUSY): try again until the copy
    // workers are between files.
    auto readOnly = [&]() {
        if (soak.sandbox.remountExternal(true)) return true;
        if (errno == EBUSY)
            soak.add("faults: busy remount attempts");
        else
            soak.fail("remounting EXTERNAL read-only: " + systemText(errno));
        return false;
    };
    if (!soak.waitFor(10, readOnly, 0.002)) {
        soak.add("faults: EXTERNAL read-only not reached");
        return soak.say("fault: EXTERNAL could not be made read-only within 10 s (busy); skipped");
    }
    soak.add("faults: EXTERNAL read-only");
    soak.say("fault: EXTERNAL %s read-only", soak.sandbox.mountPoints[EXTERNAL].c_str());
    soak.waitFor(
        12, [&]() { return soak.stopping.load(); }, 0.1);
    // Tried even when the run winds down: the clean-up unmounts it anyway.
    bool writable = false;
    for (int attempt = 0; attempt < 1000 && !(writable = soak.sandbox.remountExternal(false)); ++attempt)
        SoakContext::pause(0.01);
    if (writable)
        soak.say("fault: EXTERNAL writable again");
    else
        soak.giveUp("cannot remount EXTERNAL read-write: " + systemText(errno));
}

void FaultInjector::_fillOptional() {
    const std::string& filler = soak.sandbox.filler;
    int fd = open(filler.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) return soak.giveUp("cannot create the filler " + filler + ": " + systemText(errno));
    const std::string chunk(MiB, 'F');
    uint64_t written = 0;
    // Large pieces first, then pages, until the file system says no.
    for (size_t piece : {static_cast<size_t>(MiB), static_cast<size_t>(4 * KiB)})
        for (ssize_t put; (put = write(fd, chunk.data(), piece)) > 0 || (put < 0 && errno == EINTR);)
            written += put > 0 ? static_cast<uint64_t>(put) : 0;
    close(fd);
    soak.add("faults: OPTIONAL full");
    soak.add("faults: MiB of filler", written / double(MiB));
    soak.say("fault: OPTIONAL full (filler of %.1f MiB, %.1f%% used)", written / double(MiB),
             fillState(soak.sandbox.mountPoints[OPTIONAL]).percent);
    soak.waitFor(
        12, [&]() { return soak.stopping.load(); }, 0.1);
    if (unlink(filler.c_str()) != 0) soak.fail("cannot remove the filler: " + systemText(errno));
    soak.say("fault: OPTIONAL has room again");
}
