// A soak run of the real daemon: a long acquisition over many user shifts,
// under faults and hostile input, checked file by file.
//
// The daemon runs as a separate process in a sandbox given to it as
// VELLORT_ROOT, with fillstate_limit 50 and four tmpfs mounts:
//
//   RAM disk   8 MiB    the acquisition writes here
//   INTERNAL  16 MiB    small, so that the EXTERNAL link pass over it runs too
//   EXTERNAL 256 MiB    a folder on its own tmpfs, so it can be made read-only
//   OPTIONAL  32 MiB    a folder on a small tmpfs, so it can be filled up
//
// Each section runs in a thread of its own: the acquisition, the checker of
// every ended shift, the faults, the clients, the log's follower; main's
// thread watches the daemon and samples its resources. At the end: the daemon
// never died, every junk line that must be rejected was, no "returned EOF",
// every status reply well formed, and the daemon's VmRSS, threads and
// descriptors no more than twice their value after warm-up plus a margin.
//
// Needs root and the right to mount (tmpfs); prints SKIPPED and exits 0 otherwise.
// Exit status 0 when every check passed, 1 otherwise (reasons on stderr),
// 2 for a wrong command line.
//
//   soak [--seconds N] [--build-dir DIR] [--vellort PATH] [--seed N] [--keep]

#include <signal.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/prctl.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <map>
#include <string>
#include <thread>

#include "soak/Acquisition.h"
#include "soak/Checker.h"
#include "soak/Clients.h"
#include "soak/FaultInjector.h"
#include "soak/ResourceSampler.h"
#include "soak/SoakContext.h"
#include "support/DaemonRunner.h"

namespace {

struct Options {
    double seconds = 120;
    std::string vellort = builtExecutable("vellort");
    uint64_t seed = static_cast<uint64_t>(time(nullptr));
    bool keep = false;
};

[[noreturn]] void usage(const std::string& problem) {
    fprintf(stderr, "soak: %s\nusage: soak [--seconds N] [--build-dir DIR] [--vellort PATH] [--seed N] [--keep]\n",
            problem.c_str());
    exit(2);
}

Options parseOptions(int argc, char** argv) {
    Options options;
    for (int i = 1; i < argc; ++i) {
        std::string option = argv[i];
        auto value = [&]() -> std::string {
            if (i + 1 >= argc) usage(option + " needs a value");
            return argv[++i];
        };
        if (option == "--seconds") {
            options.seconds = atof(value().c_str());
            if (options.seconds < 30) usage("--seconds must be at least 30");
        } else if (option == "--build-dir") {
            options.vellort = value() + "/vellort";
        } else if (option == "--vellort") {
            options.vellort = value();
        } else if (option == "--seed") {
            options.seed = strtoull(value().c_str(), nullptr, 10);
        } else if (option == "--keep") {
            options.keep = true;
        } else {
            usage("unknown option " + option);
        }
    }
    return options;
}

// The signal handler's only way to the run; set before the handler is.
SoakContext* signalledRun = nullptr;

void onSignal(int) {
    signalledRun->interrupted = true;
    signalledRun->stopping = true;
}

// Whether the daemon still runs; one that has ended gives up the run.
bool daemonAlive(SoakContext& soak) {
    std::string howItEnded;
    if (soak.sandbox.daemonAlive(&howItEnded)) return true;
    if (!howItEnded.empty()) soak.giveUp(howItEnded);
    return false;
}

// Watches the daemon and samples it until `done`. After a signal the threads
// have 30 s to wind down.
void watchDaemon(SoakContext& soak, ResourceSampler& sampler, const std::atomic<bool>& done,
                 const Acquisition::Counts& acquisition) {
    double interruptedAt = -1;
    while (!done) {
        if (!daemonAlive(soak)) soak.stopping = true;
        if (soak.interrupted && interruptedAt < 0) interruptedAt = soak.elapsed();
        if (interruptedAt >= 0 && soak.elapsed() - interruptedAt > 30) {
            fprintf(stderr, "soak: interrupted, and the threads did not wind down within 30 s\n");
            soak.sandbox.cleanUp(false);
            _exit(1);
        }
        sampler.tick(acquisition.files, acquisition.shifts);
        SoakContext::pause(0.2);
    }
}

// What the daemon left out of its log is counted there once its minute is
// over, up to a minute after the last repeat, and the watcher may still be
// behind the acquisition: waits until the log's counts meet the clients'.
std::map<std::string, long> settledLogCounts(SoakContext& soak, const Acquisition::Counts& acquisition,
                                             Clients& clients) {
    soak.waitFor(
        125,
        [&]() {
            std::map<std::string, long> seen = soak.log.counters();
            return seen["rejected announcements"] == acquisition.junkRejectionsExpected &&
                   seen["status requests refused"] == clients.counts.pollers[1].errorReplies &&
                   seen["copy errors"] == clients.messageCounts()[4];
        },
        0.5);
    soak.log.stop();
    return soak.log.counters();
}

// The checks over the whole run, once every section has ended.
void checkTotals(SoakContext& soak, std::map<std::string, long>& log, const Acquisition::Counts& acquisition,
                 const Checker::Counts& checker, Clients& clients) {
    auto expect = [&](bool good, const std::string& text) {
        if (!good) soak.fail(text);
    };
    const Clients::Counts& hostile = clients.counts;
    const long errorReplies = clients.counts.pollers[1].errorReplies;
    expect(acquisition.enospc == 0,
           "the RAM disk refused " + std::to_string(acquisition.enospc) + " writes for lack of space");
    expect(log["rejected announcements"] == acquisition.junkRejectionsExpected || soak.stopping,
           "junk lines: " + std::to_string(log["rejected announcements"]) + " rejected, expected " +
               std::to_string(acquisition.junkRejectionsExpected));
    expect(log["status requests refused"] == errorReplies,
           "status: " + std::to_string(errorReplies) + " malformed requests answered, " +
               std::to_string(log["status requests refused"]) + " logged");
    expect(log["clients closed at a time-out"] >= hostile.timedOutClients,
           "hostile: " + std::to_string(hostile.timedOutClients) + " status clients closed, " +
               std::to_string(log["clients closed at a time-out"]) + " time-out lines");
    expect(log["unknown actions"] == hostile.unknownActions, "hostile: " + std::to_string(hostile.unknownActions) +
                                                                 " unknown actions answered, " +
                                                                 std::to_string(log["unknown actions"]) + " logged");
    expect(log["longest unknown-action line"] <= 600,
           "hostile: an unknown action was logged in " + std::to_string(log["longest unknown-action line"]) + " bytes");
    expect(hostile.bursts == 0 || log["refusal lines"] > 0, "hostile: no message client past the bound was refused");
    expect(log["pipe EOF"] == 0, "the pipe reader met end of file " + std::to_string(log["pipe EOF"]) + " times");
    long duplicates = 0;
    const long copyErrorMessages = clients.messageCounts(&duplicates)[4];
    expect(copyErrorMessages == log["copy errors"], std::to_string(copyErrorMessages) + " copy-error messages but " +
                                                        std::to_string(log["copy errors"]) + " copy-error log lines");
    expect(duplicates == 0, std::to_string(duplicates) + " copy errors reported twice for one destination");
    expect(checker.shifts >= acquisition.shifts || soak.stopping, "only " + std::to_string(checker.shifts) + " of " +
                                                                      std::to_string(acquisition.shifts) +
                                                                      " shifts were checked");
}

// The summary's lines after the daemon's.
void printFigures(std::map<std::string, long>& log, const Acquisition::Counts& acquisition,
                  const Checker::Counts& checker, const FaultInjector::Counts& faults, Clients& clients) {
    const Clients::Counts& counts = clients.counts;
    printf("acquisition: %d shifts, %ld files (%ld large), %.1f MiB, %ld announced files that never existed\n",
           acquisition.shifts.load(), acquisition.files.load(), acquisition.largeFiles, acquisition.bytes / double(MiB),
           acquisition.ghosts);
    printf("RAM disk: max %.1f%% before a write, %ld waits above 90%% (%.1f s in all), %ld writes refused (ENOSPC)\n",
           acquisition.ramMaxPercent, acquisition.ramWaits, acquisition.ramWaitSeconds, acquisition.enospc);
    printf(
        "checked: %ld shifts; intact copies internal %ld, external %ld, optional %ld; failures reported "
        "%ld/%ld/%ld; %ld kept INTERNAL copies checked; %ld partial .tmp files left by failed copies\n",
        checker.shifts, checker.copiesChecked[0], checker.copiesChecked[1], checker.copiesChecked[2],
        checker.failuresReported[0], checker.failuresReported[1], checker.failuresReported[2], checker.keptChecked,
        checker.temporariesLeft);
    printf(
        "faults: EXTERNAL read-only %d times (%d not reached, %d busy remount attempts), OPTIONAL full %d times "
        "(%.1f MiB of filler in all); pipe writer reopened %ld times (%ld with a pause); %ld junk lines\n",
        faults.readOnlyWindows, faults.readOnlyNotReached, faults.readOnlyAttemptsBusy, faults.fullWindows,
        faults.fillerBytes / double(MiB), acquisition.writerReopens, acquisition.writerAbsences, acquisition.junkLines);
    printf("messages: %ld frames read;", counts.frames);
    for (const auto& code : clients.messageCounts()) printf(" code %d: %ld;", code.first, code.second);
    printf(" %d bytes waiting unread at the silent client\n", counts.unread);
    const Clients::PollerCounts* pollers = counts.pollers;
    printf("status: %ld + %ld + %ld replies, %ld syntax-error replies, %ld connections\n", pollers[0].replies.load(),
           pollers[1].replies.load(), pollers[2].replies.load(), pollers[1].errorReplies.load(),
           pollers[0].connections + pollers[1].connections + pollers[2].connections);
    printf("hostile: %d bursts, %ld status clients closed at their time-outs, %ld unknown actions\n", counts.bursts,
           counts.timedOutClients, counts.unknownActions);
    printf("log:");
    for (const auto& count : log) printf(" %s %ld;", count.first.c_str(), count.second);
    printf(" (%ld junk rejections expected)\n", acquisition.junkRejectionsExpected);
}

// Cleans up (keeping the sandbox with the log after a failure or with
// --keep) and says PASSED or FAILED; the exit status.
int finish(SoakContext& soak, bool keep) {
    size_t failed = soak.failures();
    if (soak.interrupted) soak.fail("interrupted");
    soak.sandbox.cleanUp(failed == 0 && !soak.interrupted && !keep);
    std::vector<std::string> first;
    if (soak.failures(&first) == 0) {
        printf("soak: PASSED\n");
        return 0;
    }
    printf("soak: FAILED (%zu problems%s)\n", soak.failures(),
           keep || failed ? (", log kept in " + soak.sandbox.logPath).c_str() : "");
    for (const std::string& text : first) printf("  - %s\n", text.c_str());
    return 1;
}

}  // namespace

int main(int argc, char** argv) {
    const Options options = parseOptions(argc, argv);
    if (geteuid() != 0) {
        printf("soak: SKIPPED: needs root to mount and remount the tmpfs storages\n");
        return 0;
    }
    if (access(options.vellort.c_str(), X_OK) != 0)
        usage("no executable " + options.vellort + " (use --build-dir or --vellort)");

    SoakContext soak;
    signalledRun = &soak;
    signal(SIGPIPE, SIG_IGN);
    signal(SIGINT, onSignal);
    signal(SIGTERM, onSignal);
    prctl(PR_SET_CHILD_SUBREAPER, 1);
    soak.sandbox.create();
    soak.sandbox.startDaemon(options.vellort);
    printf("soak: %.0f s of acquisition, seed %llu, daemon %s pid %d, sandbox %s\n", options.seconds,
           static_cast<unsigned long long>(options.seed), options.vellort.c_str(), soak.sandbox.daemonPid(),
           soak.sandbox.root.c_str());
    printf("soak: RAM disk 8 MiB, INTERNAL 16 MiB, EXTERNAL 256 MiB, OPTIONAL 32 MiB (tmpfs), fillstate_limit 50\n");
    fflush(stdout);
    soak.log.start();
    Clients clients(soak);
    clients.start();

    const double until = soak.elapsed() + options.seconds;
    FaultInjector faults(soak);
    Checker checker(soak, faults, clients);
    Acquisition acquisition(soak, until, options.seed, checker);
    std::atomic<bool> sectionsDone(false);
    std::thread sections([&]() {
        std::thread acquisitionThread([&]() {
            acquisition.run();
            checker.close();
        });
        std::thread faultThread([&]() { faults.run(until); });
        std::thread hostileThread([&]() { clients.runHostileBursts(until); });
        checker.run();
        for (std::thread* thread : {&acquisitionThread, &faultThread, &hostileThread}) thread->join();
        sectionsDone = true;
    });
    ResourceSampler sampler(soak, options.seconds);
    watchDaemon(soak, sampler, sectionsDone, acquisition.counts);
    sections.join();
    const bool alive = daemonAlive(soak);
    sampler.sampleNow();
    clients.stop();

    std::map<std::string, long> log = settledLogCounts(soak, acquisition.counts, clients);
    if (!alive && soak.sandbox.daemonPid() > 0) soak.giveUp("the daemon is not running at the end");
    checkTotals(soak, log, acquisition.counts, checker.counts, clients);
    sampler.check(alive);
    printf("\n=== soak summary (seed %llu, %.0f s acquisition, %.0f s in all)\n",
           static_cast<unsigned long long>(options.seed), options.seconds, soak.elapsed());
    sampler.printSummary(alive);
    printFigures(log, acquisition.counts, checker.counts, faults.counts, clients);
    return finish(soak, options.keep);
}
