#ifndef VELLORT_TESTS_SOAK_SOAK_H
#define VELLORT_TESTS_SOAK_SOAK_H

// The soak's sections (see main.cc), each with a .cc of its own, around the one SoakContext that main hands to all.
// Borrowed everywhere: the context, and the sections a section is given, outlive it.

#include <stdarg.h>
#include <stdint.h>
#include <stdio.h>
#include <sys/types.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "support/DaemonRunner.h"
#include "support/FifoWriter.h"
#include "support/MessageClient.h"
#include "support/StatusClient.h"
#include "support/TmpfsMount.h"

class SoakContext;

const uint64_t KiB = 1024, MiB = 1024 * KiB;
const char* const storageNames[] = {"internal", "external", "optional"};  // as configured; keys of the history
enum StorageIndex { INTERNAL, EXTERNAL, OPTIONAL };

struct FillState {
    double percent = 0;
    uint64_t freeBytes = 0;
};
FillState fillState(const std::string& mountPoint);  // all 0 when statvfs fails
// "a//b" -> "a/b": the daemon prints some paths with a doubled slash; the checks look them up with single ones.
std::string singleSlashes(std::string path);

// The daemon's world: a DaemonRunner's folder, given to it as VELLORT_ROOT, with four tmpfs mounts and the
// configuration, and the daemon, the soak's child (the runner makes the soak the subreaper of its children) so that
// its end is seen. Main's thread creates it before other threads start, and ends it; the fault injector remounts
// EXTERNAL from its own.
class Sandbox {
public:
    // Starts the daemon; "" when it runs, else why not, beginning with "SKIPPED: " where mounting is not allowed (root
    // in a container), as the tmpfs tests skip.
    std::string create(const std::string& vellort);
    // Whether the daemon still runs; one that ended is reaped, and *howItEnded says how.
    bool daemonAlive(std::string* howItEnded);
    // EXTERNAL read-only (true) or writable again; false with errno set.
    bool remountExternal(bool readOnly) { return mounts[1 + EXTERNAL]->remount(readOnly, "size=256m"); }
    // Kills the daemon and unmounts the storages; the folder, with the log, goes with the runner.
    void cleanUp();

    DaemonRunner runner;                     // the folder, the ports, the log and the pipe
    std::string ramdisk, filler;             // filler: on OPTIONAL, to fill it up
    std::string mountPoints[3], targets[3];  // by StorageIndex
    pid_t daemon = -1;

private:
    std::vector<std::unique_ptr<TmpfsMount>> mounts;  // the RAM disk's, then by StorageIndex
};

// Follows the daemon's log across rotations (by descriptor, as tail -F does) in a thread of its own, and keeps the
// names in some kinds of lines and a count of each kind for the checks, which ask from any thread.
class LogWatcher {
public:
    // Names kept: destinations, kept INTERNAL copies, accepted clients, storages that left up, and storages whose
    // copy errors were counted rather than reported one by one.
    enum Trace { COPY_ERROR, NOT_REMOVING, ACCEPTED, STORAGE_DOWN, ERRORS_COUNTED, TRACES };

    explicit LogWatcher(SoakContext& soak) : soak(soak) {}
    void start();
    void stop();  // ends the thread, then reads the last lines
    bool saw(Trace trace, const std::string& name);
    std::map<std::string, long> counters();

private:
    void _poll();  // from the thread or, once it has ended, from stop()
    void _drain();
    void _count(const std::string& line);

    SoakContext& soak;
    std::thread worker;
    std::atomic<bool> quit{false};
    int fd = -1;
    std::string partial;  // a line not yet complete

    std::mutex mutex;  // guards the three below
    std::set<std::string> traces[TRACES];
    std::map<std::string, long> counts;
};

// The shift book: the shifts the acquisition ended, each with every file it announced, for the checker in turn.
struct File {
    std::string relative;           // below the RAM disk, and below every target
    uint64_t size = 0, hash = 0;    // hash: std::hash of the content
    bool internalCopyGood = false;  // seen intact at the end of its shift
    // What is wrong with the copy at `path`; empty when it is intact.
    std::string copyProblem(const std::string& path) const;
};
struct Shift {
    int number = 0;
    uint32_t uid = 0;
    std::string folder;  // below the RAM disk, and below every target
    std::vector<File> files;
};
class ShiftBook {
public:
    void push(std::unique_ptr<Shift> shift) {  // null: no more will come
        std::lock_guard<std::mutex> guard(mutex);
        queue.push_back(std::move(shift));
        changed.notify_all();
    }
    std::unique_ptr<Shift> pop() {  // waits for the next
        std::unique_lock<std::mutex> lock(mutex);
        changed.wait(lock, [&]() { return !queue.empty(); });
        std::unique_ptr<Shift> shift = std::move(queue.front());
        queue.pop_front();
        return shift;
    }

private:
    std::mutex mutex;  // guards the queue
    std::condition_variable changed;
    std::deque<std::unique_ptr<Shift>> queue;
};

// What the sections of one run share: its clock, its failures, its figures, the flags that wind it down, the sandbox
// with the daemon, the daemon's log and the shift book. Every thread of the run uses it.
class SoakContext {
public:
    SoakContext() : log(*this) {}

    double elapsed() const { return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count(); }
    static void pause(double seconds) { std::this_thread::sleep_for(std::chrono::duration<double>(seconds)); }
    // Polls done() until it holds (true), or `seconds` have passed or the run winds down (false).
    template <typename Done>
    bool waitFor(double seconds, Done done, double poll = 0.05) {
        for (const double deadline = elapsed() + seconds; !done(); pause(poll))
            if (elapsed() > deadline || stopping) return false;
        return true;
    }
    // One whole line on standard output, after the time.
    void say(const char* format, ...) __attribute__((format(printf, 2, 3))) {
        std::lock_guard<std::mutex> guard(outputMutex);
        printf("[%7.1f s] ", elapsed());
        va_list arguments;
        va_start(arguments, format);
        vprintf(format, arguments);
        va_end(arguments);
        printf("\n");
        fflush(stdout);
    }
    // A failed check; the run's exit status becomes 1. The first 50 are printed at once and kept for the summary.
    void fail(const std::string& text) {
        std::lock_guard<std::mutex> guard(failureMutex);
        if (++failureTotal > 50) return;
        keptFailures.push_back(text);
        fprintf(stderr, "[%7.1f s] soak: FAILED: %s\n", elapsed(), text.c_str());
        fflush(stderr);
    }
    void giveUp(const std::string& text) {  // a fatal one: everything winds down
        fail(text);
        stopping = true;
    }
    // How many failed; the first ones in *first.
    size_t failures(std::vector<std::string>* first = nullptr) {
        std::lock_guard<std::mutex> guard(failureMutex);
        if (first != nullptr) *first = keptFailures;
        return failureTotal;
    }
    // The run's figures, "section: what", for the checks at the end and the summary. Any thread.
    void add(const std::string& name, double amount = 1) {
        std::lock_guard<std::mutex> guard(figureMutex);
        figureTable[name] += amount;
    }
    double figure(const std::string& name) { return figures()[name]; }
    std::map<std::string, double> figures() {
        std::lock_guard<std::mutex> guard(figureMutex);
        return figureTable;
    }

    // A fatal failure or a signal: every thread winds down.
    std::atomic<bool> stopping{false}, interrupted{false};
    static_assert(std::atomic<bool>::is_always_lock_free, "the signal handler sets the flags");
    Sandbox sandbox;
    LogWatcher log;
    ShiftBook shifts;

private:
    const std::chrono::steady_clock::time_point start = std::chrono::steady_clock::now();
    std::mutex outputMutex;   // one line of say() at a time
    std::mutex failureMutex;  // guards the two below
    size_t failureTotal = 0;
    std::vector<std::string> keptFailures;
    std::mutex figureMutex;  // guards the table
    std::map<std::string, double> figureTable;
};

// The storages' faults, from a thread of its own: every 60 s from t = 15 s EXTERNAL read-only for 12 s, and from
// t = 40 s OPTIONAL full (a filler file) for 12 s. The windows in which each was on are kept for the checker.
class FaultInjector {
public:
    enum Kind { EXTERNAL_READ_ONLY, OPTIONAL_FULL };

    explicit FaultInjector(SoakContext& soak) : soak(soak) {}
    void run(double until);  // no window starts unless it ends before `until`
    // Whether a failure reported at `at` falls into a window of that kind, or trails it as a report may. Any thread.
    bool covers(Kind kind, double at);
    // Runs work() while no fault is on, keeping faults off meanwhile; false when one stayed on for `seconds`.
    template <typename Work>
    bool whileNoFault(double seconds, Work work) {
        std::unique_lock<std::mutex> lock(mutex);
        auto off = [&]() { return windows.empty() || windows.back().end >= 0; };
        if (!changed.wait_for(lock, std::chrono::duration<double>(seconds), off)) return false;
        work();
        return true;
    }

private:
    // Each turns its fault on and, after 12 s, off; a failure that ends the run gives it up.
    void _makeExternalReadOnly();
    void _fillOptional();

    SoakContext& soak;
    std::mutex mutex;  // guards the windows, of which only the last may be on
    std::condition_variable changed;
    struct Window {
        Kind kind;
        double start, end;  // end < 0 while on
    };
    std::vector<Window> windows;
};

// The daemon's clients, each in a thread of its own, for the whole run: a message client that reads every frame and
// keeps the copy errors by destination, one that never reads, and two status pollers.
class Clients {
public:
    struct Booked {  // a storage's entry in the history
        long pending = -1, copied = -1, failed = -1;
    };
    using History = std::map<uint32_t, std::map<std::string, Booked>>;  // uid -> storage -> counts

    explicit Clients(SoakContext& soak) : soak(soak) {}
    // Waits until the daemon serves both message clients (one gets only what is queued after its accept, so this
    // comes before the first announcement), then starts the threads; gives up the run when it cannot.
    void start();
    void stop();
    // When the copy error for this destination arrived; < 0 if it did not. Any thread.
    double copyErrorAt(const std::string& destination);
    // When the first alarm (code 9) of this storage arrived; < 0 if none did. Any thread.
    double storageAlarmAt(const std::string& storage);

    // For the checks, on a client of the caller's thread: waits until no storage (only INTERNAL when internalOnly)
    // has anything pending for the shift of `uid`. The counts in `history`, why not in `why`.
    bool settled(std::unique_ptr<StatusClient>& client, uint32_t uid, bool internalOnly, double seconds,
                 History& history, std::string& why);

private:
    void _readMessages();
    void _pollStatus(bool reconnect);

    SoakContext& soak;
    std::unique_ptr<MessageClient> reader;
    std::unique_ptr<LoopbackClient> silent;  // never reads
    std::atomic<bool> quit{false};
    std::vector<std::thread> threads;

    std::mutex messageMutex;                   // guards the map
    std::map<std::string, double> copyErrors;  // destination -> arrival
    std::map<std::string, double> alarms;      // storage -> first code 9
};

// Checks, in a thread of its own, each shift from the shift book, once no storage has anything pending for it: every
// copy; every file without one reported and justified by a fault; the history's counts; the deletions from the RAM
// disk and INTERNAL, but for the INTERNAL copies whose EXTERNAL copy failed, which must stay intact. Then it removes
// the shift's copies, as an archive would take them. Returns after the book's last shift.
void runChecker(SoakContext& soak, FaultInjector& faults, Clients& clients);

// The acquisition program, in a thread of its own: runs of small files and some large ones, written to the RAM disk
// and announced on the pipe, in user shifts, waiting while the RAM disk is nearly full; its end of the pipe is closed
// and reopened now and then. At the end of each shift it checks the shift's INTERNAL copies and enters the shift in
// the shift book.
class Acquisition {
public:
    Acquisition(SoakContext& soak, double until, uint64_t seed, Clients& clients)
        : soak(soak), until(until), random(seed), clients(clients), pipe(soak.sandbox.runner.pipePath()) {}
    void run();  // writes until `until`

private:
    void _announceShift(int number);
    void _startShift();
    void _endShift();
    bool _waitForRoom(uint64_t size);
    void _writeFile(bool large);
    void _announce(const File& file);

    SoakContext& soak;
    const double until;
    std::mt19937_64 random;
    Clients& clients;
    FifoWriter pipe;
    std::unique_ptr<StatusClient> status;

    std::unique_ptr<Shift> current;
    int shiftNumber = 0, runNumber = 1, fileNumber = 0, reopens = 0;
    double shiftEnd = 0, nextRun = 0;
    uint64_t contentSeed = 0;
};

// The daemon's VmRSS, threads and descriptors, read from /proc every 5 s and said every 10 s. At the end each must be
// no more than twice its value after warm-up plus a margin. Main's thread only.
class ResourceSampler {
public:
    ResourceSampler(SoakContext& soak, double seconds) : soak(soak), seconds(seconds) {}
    void tick();                                        // samples when a sample is due
    void sampleNow() { samples.push_back(_sample()); }  // the final sample
    // Fails each figure past its bound if the daemon is alive, and says the "daemon:" line.
    void finish(bool alive);

private:
    struct Sample {
        double at = 0;
        long figures[3] = {-1, -1, -1};  // VmRSS in KiB, threads, descriptors
    };
    Sample _sample();

    SoakContext& soak;
    const double seconds;
    double nextSample = 0;
    std::vector<Sample> samples;
};

#endif
