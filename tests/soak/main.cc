// A soak run of the real daemon: a long acquisition over many user shifts, under faults and hostile input, checked
// file by file. The daemon runs as a separate process in a sandbox given to it as VELLORT_ROOT, with fillstate_limit
// 50 and four tmpfs mounts: the RAM disk (8 MiB), INTERNAL (16 MiB, small, so that the EXTERNAL link pass over it
// runs too), EXTERNAL (256 MiB, a tmpfs of its own, so it can be made read-only), OPTIONAL (32 MiB, so it can be
// filled up). The acquisition, the checker, the faults, the clients and the log's follower each run in threads of
// their own; main's thread watches the daemon and samples its resources. At the end: the daemon never died, every
// junk line that must be rejected was, no "returned EOF", every status reply well formed, and the daemon's VmRSS,
// threads and descriptors no more than twice their value after warm-up plus a margin.
//
// Needs root and the right to mount; prints SKIPPED and exits 0 otherwise. Exit status 0 when every check passed,
// 1 otherwise (reasons on stderr), 2 for a wrong command line.

#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/prctl.h>
#include <time.h>
#include <unistd.h>

#include <functional>

#include "soak/Soak.h"
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
    const std::map<std::string, std::function<void(const char*)>> valued = {
        {"--seconds", [&](const char* value) { options.seconds = atof(value); }},
        {"--build-dir", [&](const char* value) { options.vellort = std::string(value) + "/vellort"; }},
        {"--vellort", [&](const char* value) { options.vellort = value; }},
        {"--seed", [&](const char* value) { options.seed = strtoull(value, nullptr, 10); }},
    };
    for (int i = 1; i < argc; ++i) {
        auto found = valued.find(argv[i]);
        if (std::string(argv[i]) == "--keep")
            options.keep = true;
        else if (found == valued.end())
            usage("unknown option " + std::string(argv[i]));
        else if (++i == argc)
            usage(found->first + " needs a value");
        else
            found->second(argv[i]);
    }
    if (options.seconds < 30) usage("--seconds must be at least 30");
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

// Watches the daemon and samples it until `done`. After a signal the threads have 30 s to wind down.
void watchDaemon(SoakContext& soak, ResourceSampler& sampler, const std::atomic<bool>& done,
                 const Acquisition::Counts& acquisition) {
    for (double interruptedAt = -1; !done; SoakContext::pause(0.2)) {
        if (!daemonAlive(soak)) soak.stopping = true;
        if (soak.interrupted && interruptedAt < 0) interruptedAt = soak.elapsed();
        if (interruptedAt >= 0 && soak.elapsed() - interruptedAt > 30) {
            fprintf(stderr, "soak: interrupted, and the threads did not wind down within 30 s\n");
            soak.sandbox.cleanUp(false);
            _exit(1);
        }
        sampler.tick(acquisition.files, acquisition.shifts);
    }
}

// The checks over the whole run, once every section has ended. What the daemon left out of its log is counted there
// once its minute is over, up to a minute after the last repeat, and the watcher may still be behind: first waits
// until the log's counts meet the clients'.
std::map<std::string, long> checkTotals(SoakContext& soak, const Acquisition::Counts& acquisition,
                                        const Checker::Counts& checker, Clients& clients) {
    long duplicates = 0;
    const long copyErrorMessages = clients.messageCounts(&duplicates)[4],
               errorReplies = clients.counts.pollers[1].errorReplies;
    const Clients::Counts& hostile = clients.counts;
    auto met = [&]() {
        std::map<std::string, long> seen = soak.log.counters();
        return seen["rejected announcements"] == acquisition.junkRejectionsExpected &&
               seen["status requests refused"] == errorReplies && seen["copy errors"] == copyErrorMessages;
    };
    soak.waitFor(125, met, 0.5);
    soak.log.stop();
    std::map<std::string, long> log = soak.log.counters();
    const struct Total {
        const char* what;
        long found, expected;
        char must = '=';  // or '>' for at least, '<' for at most
        bool applies = true;
    } totals[] = {
        {"writes the RAM disk refused (ENOSPC)", acquisition.enospc, 0},
        {"junk lines rejected", log["rejected announcements"], acquisition.junkRejectionsExpected, '=', !soak.stopping},
        {"malformed status requests logged, to those answered", log["status requests refused"], errorReplies},
        {"time-out lines, to hostile status clients closed", log["clients closed at a time-out"],
         hostile.timedOutClients, '>'},
        {"unknown actions logged, to those answered", log["unknown actions"], hostile.unknownActions},
        {"bytes in the longest unknown-action line", log["longest unknown-action line"], 600, '<'},
        {"refused message clients past the bound", log["refusal lines"], 1, '>', hostile.bursts > 0},
        {"times the pipe reader met end of file", log["pipe EOF"], 0},
        {"copy-error log lines, to copy-error messages", log["copy errors"], copyErrorMessages},
        {"copy errors reported twice for one destination", duplicates, 0},
        {"shifts checked", checker.shifts, acquisition.shifts, '>', !soak.stopping},
    };
    for (const Total& total : totals) {
        const bool good = total.must == '>'   ? total.found >= total.expected
                          : total.must == '<' ? total.found <= total.expected
                                              : total.found == total.expected;
        if (total.applies && !good)
            soak.fail(std::string(total.what) + ": " + std::to_string(total.found) + ", expected " +
                      (total.must == '>'   ? "at least "
                       : total.must == '<' ? "at most "
                                           : "") +
                      std::to_string(total.expected));
    }
    return log;
}

// The summary's lines after the daemon's.
void printFigures(std::map<std::string, long>& log, const Acquisition::Counts& acquisition,
                  const Checker::Counts& checker, const FaultInjector::Counts& faults, Clients& clients) {
    const Clients::Counts& counts = clients.counts;
    const Clients::PollerCounts* pollers = counts.pollers;
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
    printf("status: %ld + %ld + %ld replies, %ld syntax-error replies, %ld connections\n", pollers[0].replies.load(),
           pollers[1].replies.load(), pollers[2].replies.load(), pollers[1].errorReplies.load(),
           pollers[0].connections + pollers[1].connections + pollers[2].connections);
    printf("hostile: %d bursts, %ld status clients closed at their time-outs, %ld unknown actions\n", counts.bursts,
           counts.timedOutClients, counts.unknownActions);
    printf("log:");
    for (const auto& count : log) printf(" %s %ld;", count.first.c_str(), count.second);
    printf(" (%ld junk rejections expected)\n", acquisition.junkRejectionsExpected);
}

// Cleans up (keeping the sandbox with the log after a failure or with --keep) and says PASSED or FAILED; the exit
// status.
int finish(SoakContext& soak, bool keep) {
    const size_t failed = soak.failures();
    if (soak.interrupted) soak.fail("interrupted");
    soak.sandbox.cleanUp(failed == 0 && !soak.interrupted && !keep);
    std::vector<std::string> first;
    if (soak.failures(&first) == 0) return printf("soak: PASSED\n"), 0;
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
    soak.sandbox.create(options.vellort);
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
    Acquisition acquisition(soak, until, options.seed, checker, clients);
    std::atomic<bool> sectionsDone(false);
    std::thread sections([&]() {
        std::thread acquisitionThread([&]() {
            acquisition.run();
            checker.push(nullptr);
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

    std::map<std::string, long> log = checkTotals(soak, acquisition.counts, checker.counts, clients);
    if (!alive && soak.sandbox.daemonPid() > 0) soak.giveUp("the daemon is not running at the end");
    printf("\n=== soak summary (seed %llu, %.0f s acquisition, %.0f s in all)\n",
           static_cast<unsigned long long>(options.seed), options.seconds, soak.elapsed());
    sampler.finish(alive);
    printFigures(log, acquisition.counts, checker.counts, faults.counts, clients);
    return finish(soak, options.keep);
}
