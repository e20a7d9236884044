// A soak run of the real daemon: a long acquisition over many user shifts, under faults, checked file by file. The
// daemon runs as a separate process in a sandbox given to it as VELLORT_ROOT, with fillstate_limit 50, copies
// verified, and four tmpfs mounts: the RAM disk (8 MiB), INTERNAL (16 MiB, small, so that the EXTERNAL link pass over
// it runs too), EXTERNAL (256 MiB, a tmpfs of its own, so it can be made read-only), OPTIONAL (32 MiB, so it can be
// filled up). The acquisition, the checker, the faults, the clients and the log's follower each run in threads of
// their own; main's thread watches the daemon and samples its resources. At the end: the daemon never died, no
// "returned EOF", every status reply well formed, each copy error logged and sent once, and the daemon's VmRSS,
// threads and descriptors no more than twice their value after warm-up plus a margin.
//
// Needs root and the right to mount; prints SKIPPED and exits 0 otherwise. Exit status 0 when every check passed,
// 1 otherwise (reasons on stderr), 2 for a wrong command line.

#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <time.h>
#include <unistd.h>

#include "soak/Soak.h"

namespace {

[[noreturn]] void usage(const std::string& problem) {
    fprintf(stderr, "soak: %s\nusage: soak [--seconds N] [--build-dir DIR] [--vellort PATH] [--seed N] [--keep]\n",
            problem.c_str());
    exit(2);
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

// The checks over the whole run, once every section has ended, each printed. What the daemon left out of its log is
// counted there once its minute is over, up to a minute after the last repeat, and the watcher may still be behind:
// first waits until the log's copy errors meet the messages'.
void checkTotals(SoakContext& soak) {
    std::map<std::string, double> figures = soak.figures();
    const double copyErrors = figures["messages: code 4"];
    soak.waitFor(
        125, [&]() { return soak.log.counters()["copy errors"] == copyErrors; }, 0.5);
    soak.log.stop();
    std::map<std::string, long> log = soak.log.counters();
    const struct Check {
        const char* what;
        double found, expected;
        bool atLeast = false;
    } checks[] = {
        {"times the pipe reader met end of file", double(log["pipe EOF"]), 0},
        {"copy-error log lines, to copy-error messages", double(log["copy errors"]), copyErrors},
        {"copy errors reported twice for one destination",
         figures["messages: copy errors reported twice for one destination"], 0},
        {"shifts checked", figures["checked: shifts"], soak.stopping ? 0 : figures["acquisition: shifts"], true},
    };
    for (const Check& check : checks) {
        const bool good = check.atLeast ? check.found >= check.expected : check.found == check.expected;
        const std::string result = std::string(check.what) + ": " + std::to_string(long(check.found)) + ", expected " +
                                   (check.atLeast ? "at least " : "") + std::to_string(long(check.expected));
        printf("check: %s%s\n", result.c_str(), good ? "" : " FAILED");
        if (!good) soak.fail(result);
    }
    printf("log:");
    for (const auto& count : log) printf(" %s %ld;", count.first.c_str(), count.second);
    printf("\n");
}

// The figures, one line a section ("section: what"), and the verdict; the exit status. A failed run, or one with
// --keep, keeps the sandbox with the log.
int finish(SoakContext& soak, bool keep) {
    std::string section;
    for (const auto& figure : soak.figures()) {
        const size_t colon = figure.first.find(": ");
        if (figure.first.compare(0, colon, section) != 0)
            printf("%s%s:", section.empty() ? "" : "\n", (section = figure.first.substr(0, colon)).c_str());
        printf(" %s %.6g;", figure.first.c_str() + colon + 2, figure.second);
    }
    if (soak.interrupted) soak.fail("interrupted");
    std::vector<std::string> first;
    const size_t failed = soak.failures(&first);
    soak.sandbox.cleanUp();
    printf("\nsoak: %s (%zu problems)%s\n", failed ? "FAILED" : "PASSED", failed,
           failed || keep ? (", sandbox with the log kept in " + soak.sandbox.runner.root()).c_str() : "");
    for (const std::string& text : first) printf("  - %s\n", text.c_str());
    if (failed || keep) soak.sandbox.runner.keepSandbox();
    return failed ? 1 : 0;
}

}  // namespace

int main(int argc, char** argv) {
    std::map<std::string, std::string> options = {
        {"--seconds", "120"}, {"--build-dir", ""}, {"--vellort", ""}, {"--seed", std::to_string(time(nullptr))}};
    bool keep = false;
    for (int i = 1; i < argc; ++i) {
        const std::string option = argv[i];
        if (option == "--keep")
            keep = true;
        else if (options.count(option) == 0 || ++i == argc)
            usage("unknown option, or no value after it: " + option);
        else
            options[option] = argv[i];
    }
    const double seconds = atof(options["--seconds"].c_str());
    const uint64_t seed = strtoull(options["--seed"].c_str(), nullptr, 10);
    const std::string& dir = options["--build-dir"];
    const std::string vellort = !options["--vellort"].empty() ? options["--vellort"]
                                : dir.empty()                 ? builtExecutable("vellort")
                                                              : dir + "/vellort";
    if (seconds < 30) usage("--seconds must be at least 30");
    if (geteuid() != 0) return printf("soak: SKIPPED: needs root to mount and remount the tmpfs storages\n"), 0;
    if (access(vellort.c_str(), X_OK) != 0) usage("no executable " + vellort + " (use --build-dir or --vellort)");

    SoakContext soak;
    signalledRun = &soak;
    signal(SIGPIPE, SIG_IGN);
    signal(SIGINT, onSignal);
    signal(SIGTERM, onSignal);
    const std::string problem = soak.sandbox.create(vellort);
    if (!problem.empty()) {
        fprintf(problem.rfind("SKIPPED", 0) == 0 ? stdout : stderr, "soak: %s\n", problem.c_str());
        soak.sandbox.cleanUp();
        return problem.rfind("SKIPPED", 0) == 0 ? 0 : 1;
    }
    printf("soak: %.0f s of acquisition, seed %llu, daemon %s pid %d, sandbox %s\n", seconds,
           static_cast<unsigned long long>(seed), vellort.c_str(), soak.sandbox.daemon,
           soak.sandbox.runner.root().c_str());
    printf("soak: tmpfs RAM disk 8 MiB, INTERNAL 16, EXTERNAL 256, OPTIONAL 32 MiB; fillstate_limit 50; verified\n");
    fflush(stdout);
    soak.log.start();
    Clients clients(soak);
    clients.start();

    const double until = soak.elapsed() + seconds;
    FaultInjector faults(soak);
    std::atomic<bool> sectionsDone(false);
    std::thread sections([&]() {
        std::thread acquisitionThread([&]() {
            Acquisition(soak, until, seed, clients).run();
            soak.shifts.push(nullptr);
        });
        std::thread faultThread([&]() { faults.run(until); });
        runChecker(soak, faults, clients);
        acquisitionThread.join();
        faultThread.join();
        sectionsDone = true;
    });
    ResourceSampler sampler(soak, seconds);
    for (; !sectionsDone; SoakContext::pause(0.2)) {  // a daemon that ended winds the run down
        if (!daemonAlive(soak)) soak.stopping = true;
        sampler.tick();
    }
    sections.join();
    const bool alive = daemonAlive(soak);
    sampler.sampleNow();
    sampler.finish(alive);
    clients.stop();

    printf("\n=== soak summary (seed %llu, %.0f s acquisition, %.0f s in all)\n", static_cast<unsigned long long>(seed),
           seconds, soak.elapsed());
    checkTotals(soak);
    if (!alive && soak.sandbox.daemon > 0) soak.giveUp("the daemon is not running at the end");
    return finish(soak, keep);
}
