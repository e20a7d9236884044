#ifndef VELLORT_TESTS_SUPPORT_DAEMONRUNNER_H
#define VELLORT_TESTS_SUPPORT_DAEMONRUNNER_H

#include <sys/types.h>

#include <string>
#include <vector>

#include "support/LogWatch.h"
#include "support/LoopbackClient.h"  // freePort(), for the configurations tests write
#include "support/TempDir.h"

// Runs the real vellort executable in a sandbox: a fresh folder with etc/, etc/vellort_quorvin/, var/run/ and var/log/,
// given to the daemon as VELLORT_ROOT. The test process makes itself the subreaper of its children, so the detached
// daemon becomes its child when the launching process exits, and its exit status can be read with waitForExit().
// The destructor kills a daemon that still runs.
class DaemonRunner {
public:
    DaemonRunner();
    ~DaemonRunner();

    const std::string& root() const { return sandbox.path(); }
    // The sandbox, with the log, stays when the runner goes.
    void keepSandbox() { sandbox.keep(); }
    // The log path that defaultConfig() and most tests use.
    std::string logPath() const { return root() + "/var/log/vellort.log"; }
    std::string pidFilePath() const { return root() + "/var/run/vellort_quorvin.pid"; }
    std::string pipePath() const { return root() + "/var/run/vellort_quorvin_files"; }

    // The sandbox's log, the RAM disk and free ports for both services.
    std::string serviceConfig(const std::string& ramdisk) const;
    // Those, with root()/ramdisk, and one INTERNAL storage whose target lies in the sandbox.
    std::string defaultConfig() const;
    // A storage block of a configuration.
    static std::string storage(const std::string& id, const std::string& type, const std::string& target) {
        return "storageID " + id + "\ntype " + type + "\ntarget " + target + "\n";
    }
    int messagePort() const { return messagePort_; }
    int statusPort() const { return statusPort_; }
    // Writes the first configuration file, or the second one.
    void writeConfig(const std::string& content, bool second = false);

    // Makes the daemons that run() starts inherit this soft and hard RLIMIT_NOFILE (the hard one the soft one when not
    // given); by default they get the test's own.
    void setDescriptorLimit(int soft, int hard = 0) {
        descriptorLimit_ = soft;
        hardDescriptorLimit_ = hard > 0 ? hard : soft;
    }

    // Runs the executable with the arguments and returns the exit status that a waiting shell sees (-1 when it did not
    // end within 10 s). What it wrote to standard output and error is kept.
    int run(const std::vector<std::string>& arguments = {});
    const std::string& output() const { return output_; }

    // The pid written to the pid file, waiting up to `seconds` for it; -1 if none.
    pid_t daemonPid(double seconds = 10);
    // Waits until the log holds `text`; false after `seconds`.
    bool waitForLog(const std::string& text, double seconds = 10) {
        return waitForLogCount(logPath(), text, 1, seconds);
    }
    std::string log() const { return readFile(logPath()); }
    // The status service's history, asked again until it holds `text` or `seconds` have passed: the last reply.
    std::string historyHolding(const std::string& text, double seconds = 30);
    // Waits for the detached daemon to end; its exit status, or -1 on timeout, -2 when it was killed by a signal.
    int waitForExit(double seconds = 10);
    bool running();
    void kill();

private:
    TempDir sandbox;
    std::string output_;
    pid_t pid_;
    int messagePort_;
    int statusPort_;
    int descriptorLimit_;
    int hardDescriptorLimit_;
};

// Path of an executable built by this project.
std::string builtExecutable(const std::string& name);

// Starts the daemon as the benchmarks run it, in a sandbox of their own: the executable with VELLORT_ROOT=root, its
// configuration already in root/etc. Waits, up to `seconds` each, for the launching process to exit with 0 and for
// root/var/run/vellort_quorvin.pid. Returns the daemon's pid, or -1 with the reason and what the launcher wrote in
// *problem. To reap the daemon, the caller must be the subreaper of its children (PR_SET_CHILD_SUBREAPER).
pid_t startDetachedDaemon(const std::string& executable, const std::string& root, std::string* problem,
                          double seconds = 10);

#endif
