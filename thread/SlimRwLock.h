#ifndef VELLORT_THREAD_SLIMRWLOCK_H
#define VELLORT_THREAD_SLIMRWLOCK_H

#include <stdint.h>

#include <atomic>

#include "thread/ThreadAnnotations.h"

// A reader-writer lock in four bytes, for records kept by the million (a
// pthread_rwlock_t takes 56). Like the default POSIX lock it prefers
// readers: a reader gets in whenever no writer holds the lock, even while a
// writer waits. It is not recursive for writers. Waiting threads sleep on
// the word itself (futex); an uncontended lock or unlock is one atomic
// operation and no system call.
//
// Any thread may lock; the thread that locked unlocks.
class CAPABILITY("mutex") SlimRwLock {
public:
    SlimRwLock() : state(0) {}

    SlimRwLock(const SlimRwLock&) = delete;
    SlimRwLock& operator=(const SlimRwLock&) = delete;

    void lockRead() ACQUIRE_SHARED();
    void lockWrite() ACQUIRE();
    // Releases a read or a write lock, whichever this thread holds.
    void unlock() RELEASE_GENERIC();

private:
    static constexpr uint32_t writer = 1u << 30;   // held for writing
    static constexpr uint32_t waiters = 1u << 31;  // someone sleeps on the word
    static constexpr uint32_t readers = writer - 1;

    // Sleeps while the word still reads `seen`, after marking that it waits.
    void _wait(uint32_t seen);

    std::atomic<uint32_t> state;
};

#endif
