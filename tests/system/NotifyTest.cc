#include <signal.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <regex>

#include <gtest/gtest.h>

#include "support/DaemonRunner.h"
#include "support/FifoWriter.h"
#include "support/ReadHold.h"

namespace {

// The service manager's end of NOTIFY_SOCKET: what the daemon sent, datagram by datagram.
struct NotifySocket {
    explicit NotifySocket(const std::string& path) : path(path), fd(socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0)) {
        struct sockaddr_un address = {};
        address.sun_family = AF_UNIX;
        path.copy(address.sun_path, sizeof address.sun_path - 1);
        bound = fd >= 0 && bind(fd, reinterpret_cast<struct sockaddr*>(&address), sizeof address) == 0;
    }
    ~NotifySocket() { close(fd); }
    // Waits for a datagram that matches `pattern`; false after `seconds`. `seconds` 0: only what is there now.
    bool waitFor(const std::string& pattern, double seconds = 20) {
        return waitUntil(
            [&] {
                char buffer[4096];
                const ssize_t got = recv(fd, buffer, sizeof buffer, MSG_DONTWAIT);
                return got > 0 && std::regex_search(std::string(buffer, static_cast<size_t>(got)), std::regex(pattern));
            },
            seconds, 5);
    }
    const std::string path;
    const int fd;
    bool bound = false;
};

}  // namespace

// Watchdog pings stop while a copy held in its read outlasts watchdog_copy_timeout, and come back when it ends;
// SIGTERM gives STOPPING=1 and status 0. The daemon runs in the foreground, as the test's own child.
TEST(NotifyTest, ReadyStatusWatchdogThatStopsForAHungCopyAndStopping) {
    DaemonRunner daemon;
    for (const std::string name : {"first", "held"}) writeFile(daemon.root() + "/ramdisk/" + name + ".raw", name);
    ReadHold hold(daemon.root() + "/ramdisk/held.raw");
    if (!hold.holding()) GTEST_SKIP() << hold.skipReason();
    daemon.writeConfig("watchdog_copy_timeout 2\n" + daemon.defaultConfig());
    NotifySocket notify(daemon.root() + "/notify");
    ASSERT_TRUE(notify.bound);
    const std::string vellort = builtExecutable("vellort");
    const pid_t child = fork();
    if (child == 0) {
        setenv("VELLORT_ROOT", daemon.root().c_str(), 1);
        setenv("NOTIFY_SOCKET", notify.path.c_str(), 1);
        setenv("WATCHDOG_USEC", "400000", 1);
        setenv("WATCHDOG_PID", std::to_string(getpid()).c_str(), 1);
        execl(vellort.c_str(), vellort.c_str(), "--foreground", static_cast<char*>(nullptr));
        _exit(127);
    }
    ASSERT_GT(child, 0);
    ASSERT_EQ(child, daemon.daemonPid());  // not forked: the pid file names the process started
    EXPECT_TRUE(notify.waitFor("READY=1"));
    FifoWriter pipe(daemon.pipePath());
    ASSERT_TRUE(pipe.open() && pipe.write(daemon.root() + "/ramdisk/./first.raw\n"));
    EXPECT_TRUE(notify.waitFor("STATUS=copied 1, pending 0, RAM disk [0-9]+% full"));
    EXPECT_TRUE(notify.waitFor("WATCHDOG=1"));

    // The held copy outlasts the limit: once the daemon says so, no ping comes.
    ASSERT_TRUE(pipe.write(daemon.root() + "/ramdisk/./held.raw\n"));
    ASSERT_TRUE(daemon.waitForLog("Warning: disk: copy worker has been at " + daemon.root() + "/ramdisk/./held.raw"));
    while (notify.waitFor("", 0)) continue;  // sent before the warning
    EXPECT_FALSE(notify.waitFor("WATCHDOG=1", 1.5));
    EXPECT_TRUE(notify.waitFor("stuck, watchdog pings stopped", 10));
    hold.release();
    EXPECT_TRUE(notify.waitFor("WATCHDOG=1"));
    EXPECT_TRUE(daemon.waitForLog("Watchdog pings to systemd resumed"));
    EXPECT_TRUE(waitUntil([&] { return fileExists(daemon.root() + "/internal/held.raw"); }));

    ASSERT_EQ(0, kill(child, SIGTERM));
    EXPECT_TRUE(notify.waitFor("STOPPING=1"));
    EXPECT_EQ(0, daemon.waitForExit(20));
}
