#include "thread/SlimRwLock.h"

#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <climits>

void SlimRwLock::_wait(uint32_t seen) {
    if ((seen & waiters) == 0 &&
        !state.compare_exchange_weak(seen, seen | waiters, std::memory_order_relaxed))
        return;  // the word changed meanwhile: look again
    // Returns at once when the word is no longer what was seen; a spurious
    // wake-up only makes the caller look again. Nothing to check: every
    // outcome leads back to the caller's loop.
    syscall(SYS_futex, &state, FUTEX_WAIT_PRIVATE, seen | waiters, nullptr, nullptr, 0);
}

void SlimRwLock::lockRead() {
    for (;;) {
        uint32_t seen = state.load(std::memory_order_relaxed);
        if ((seen & writer) == 0) {
            if (state.compare_exchange_weak(seen, seen + 1, std::memory_order_acquire)) return;
            continue;
        }
        _wait(seen);
    }
}

void SlimRwLock::lockWrite() {
    for (;;) {
        uint32_t seen = state.load(std::memory_order_relaxed);
        if ((seen & (writer | readers)) == 0) {
            if (state.compare_exchange_weak(seen, seen | writer, std::memory_order_acquire)) return;
            continue;
        }
        _wait(seen);
    }
}

void SlimRwLock::unlock() {
    uint32_t seen = state.load(std::memory_order_relaxed);
    uint32_t left;
    do {
        left = (seen & writer) != 0 ? seen & ~writer : seen - 1;
        // The last holder wakes every sleeper, and they contend afresh; one
        // that must wait again marks the word again.
        if ((left & (writer | readers)) == 0) left &= ~waiters;
    } while (!state.compare_exchange_weak(seen, left, std::memory_order_release, std::memory_order_relaxed));
    if ((seen & waiters) != 0 && (left & waiters) == 0)
        syscall(SYS_futex, &state, FUTEX_WAKE_PRIVATE, INT_MAX, nullptr, nullptr, 0);
}
