#include <grp.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "space/SpaceSupport.h"
#include "support/ChildProcess.h"
#include "support/DaemonRunner.h"
#include "support/FifoWriter.h"
#include "support/TmpfsMount.h"

namespace {

const uid_t user = 4242;  // owns the data; no account needed
const size_t dataSize = 64;

// Every entry below `path` (links not followed): type, mode, owner, size, link text, and each file's hash.
std::string snapshot(const std::string& path) {
    return outputOf({"/usr/bin/find", path, "-printf", "%p %y %m %U:%G %s %l\n", "-type", "f", "-exec",
                     "/usr/bin/md5sum", "{}", "+"});
}

std::string dataOf(const std::string& relative) {
    std::string content = "data of " + relative;
    content.resize(dataSize, '.');  // victims have the same size, as a pass compares sizes
    return content;
}

void owned(const std::string& path) {
    makeDirectories(path);
    EXPECT_EQ(0, chown(path.c_str(), user, user)) << path;
}

// Runs `attack` as the user in a child until `seconds` have passed.
pid_t startAttacker(double seconds, const std::function<void(int round)>& attack) {
    const pid_t child = fork();
    if (child != 0) return child;
    if (setgroups(0, nullptr) != 0 || setresgid(user, user, user) != 0 || setresuid(user, user, user) != 0) _exit(3);
    const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    for (int round = 0; std::chrono::steady_clock::now() < end; ++round) attack(round);
    _exit(0);
}

// A folder that the user swaps, now and then, for a link to `victim`.
void swapForLink(const std::string& folder, const std::string& victim) {
    const std::string away = folder + ".away";
    if (rename(folder.c_str(), away.c_str()) != 0) return;
    if (symlink(victim.c_str(), folder.c_str()) == 0) {
        std::this_thread::sleep_for(std::chrono::microseconds(300));
        unlink(folder.c_str());
    }
    rename(away.c_str(), folder.c_str());
}

}  // namespace

// The daemon, as root, against an unprivileged user who owns the data folders on the RAM disk and in the targets,
// swaps them for links while files are copied, linked (or removed) and deleted, and announces links, pipes and paths
// outside the RAM disk. Both tmpfs mounts stay above the fill-state limit, so every copy is linked soon after it is
// made; shifts delete the rest. Root-owned victims outside every tree must come through unchanged.
TEST(RootSafetyTest, AUserSwappingFoldersOrAnnouncingLinksNeverTurnsTheDaemonAgainstRootsFiles) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root: the daemon runs as root against an unprivileged user";
    for (bool links : {true, false}) {
        SCOPED_TRACE(links ? "linking" : "removing");
        DaemonRunner daemon;
        TmpfsMount ram("size=16m"), disk("size=16m");
        if (!disk.mounted()) GTEST_SKIP() << disk.skipReason();
        const std::string root = daemon.root(), victims = root + "/victims", log = daemon.logPath();
        const std::vector<std::string> targets = {disk.path() + "/copies", root + "/external", root + "/optional"};
        ASSERT_EQ(0, chmod(root.c_str(), 0755));
        for (const std::string& mount : {ram.path(), disk.path()})
            EXPECT_GT(space_test::fillTo(mount, 60), 60) << mount;
        // Root's files: one for planted temporary links, a root-only folder, a
        // folder of files named as the data, a folder that must stay root's, a secret.
        for (const char* folder : {"/rootonly", "/mirror", "/rootdir", "/hidden"}) makeDirectories(victims + folder);
        for (const char* folder : {"/rootonly", "/hidden"}) ASSERT_EQ(0, chmod((victims + folder).c_str(), 0700));
        writeFile(victims + "/tmpfile", std::string(dataSize, 'v'));
        writeFile(victims + "/hidden/secret", "root's secret");
        writeFile(victims + "/outside.dat", "kept");
        const int files = 300;
        for (const std::string& base : {ram.path(), targets[0], targets[1], targets[2]})
            for (const char* folder : {"/user", "/user/attacked", "/user/good"}) owned(base + folder);
        std::vector<std::string> relatives;
        for (int i = 0; i < files; ++i) {
            relatives.push_back("attacked/img_" + std::to_string(i) + ".cbf");
            relatives.push_back("attacked/d_" + std::to_string(i) + "/img.cbf");  // folders made by the copies
            relatives.push_back("good/img_" + std::to_string(i) + ".cbf");
            writeFile(victims + "/mirror/img_" + std::to_string(i) + ".cbf", std::string(dataSize, 'm'));
        }
        for (const std::string& relative : relatives) {
            const std::string path = ram.path() + "/user/" + relative;
            if (relative.find("/d_") != std::string::npos) owned(path.substr(0, path.rfind('/')));
            writeFile(path, dataOf(relative));
            ASSERT_EQ(0, chown(path.c_str(), user, user));
        }
        ASSERT_EQ(0, symlink((victims + "/hidden/secret").c_str(), (ram.path() + "/user/evil.cbf").c_str()));
        ASSERT_EQ(0, mkfifo((ram.path() + "/user/pipe.cbf").c_str(), 0666));
        const std::string before = snapshot(victims);

        daemon.writeConfig(daemon.serviceConfig(ram.path()) + "fillstate_limit 50\ncreate_links " +
                           (links ? "yes" : "no") + "\nstorageID internal\ntype INTERNAL\ntarget " + targets[0] +
                           "\nn_copy_processes 2\nmountpoint " + disk.path() +
                           "\nstorageID external\ntype EXTERNAL\ntarget " + targets[1] +
                           "\nstorageID optional\ntype OPTIONAL\ntarget " + targets[2] + "\n");
        FifoWriter pipe(daemon.pipePath());
        ASSERT_TRUE(daemon.run() == 0 && pipe.open()) << daemon.output();
        // Refused, and no file after them waits behind them (the pipe's reader would block).
        const std::string outside[] = {victims + "/./outside.dat", ram.path() + "/user/../../victims/./outside.dat"};
        ASSERT_TRUE(pipe.write(ram.path() + "/./user/evil.cbf\n" + ram.path() + "/./user/pipe.cbf\n" + outside[0] +
                               "\n" + outside[1] + "\n"));
        // The line announced last, shared with the attacker, who races the
        // folders the daemon is about to make for it.
        std::atomic<int>* announced = static_cast<std::atomic<int>*>(
            mmap(nullptr, sizeof(std::atomic<int>), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0));
        ASSERT_NE(MAP_FAILED, static_cast<void*>(announced));
        new (announced) std::atomic<int>(0);
        const pid_t attacker = startAttacker(3, [&](int round) {
            const int n = round % files, next = announced->load() / 3;
            const std::string name = "img_" + std::to_string(n) + ".cbf";
            for (const std::string& target : targets) {
                symlink((victims + "/tmpfile").c_str(), (target + "/user/attacked/" + name + ".tmp").c_str());
                // A folder the daemon is about to make, there and gone, and a link in its place.
                for (int i = next; i < next + 2; ++i) {
                    const std::string made = target + "/user/attacked/d_" + std::to_string(i);
                    rmdir(made.c_str());
                    symlink((victims + "/rootdir").c_str(), made.c_str());
                    unlink(made.c_str());
                }
            }
            swapForLink(targets[round % 3] + "/user/attacked", victims + "/rootonly");
            swapForLink(ram.path() + "/user/attacked", victims + "/mirror");
            swapForLink(targets[0] + "/user/attacked", victims + "/mirror");
        });
        for (size_t k = 0; k < relatives.size(); ++k) {
            ASSERT_TRUE(pipe.write(ram.path() + "/./user/" + relatives[k] + "\n" +
                                   (k % 150 == 149 ? "usershift: 4242 4242\n" : "")));
            announced->store(static_cast<int>(k));
            std::this_thread::sleep_for(std::chrono::microseconds(2000));
        }
        int status;
        ASSERT_EQ(attacker, waitpid(attacker, &status, 0));
        ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
        ASSERT_TRUE(pipe.write("usershift: 4242 4242\n"));
        // The files the user left alone reach both storages that keep their copies.
        auto allGoodCopied = [&]() {
            for (const std::string& relative : relatives)
                for (size_t t = 1; t < 3 && relative.compare(0, 5, "good/") == 0; ++t)
                    if (readFile(targets[t] + "/user/" + relative) != dataOf(relative)) return false;
            return true;
        };
        const int shifts = static_cast<int>(relatives.size() / 150) + 1;
        EXPECT_TRUE(waitForLogCount(log, "Removing files from previous users", 3 * shifts));
        EXPECT_TRUE(waitUntil(allGoodCopied, 30, 10));
        for (const std::string& path : outside)
            EXPECT_EQ(1, countInFile(log, "Error: Rejected announcement " + path + ": ")) << path;
        // Each storage reports both, in its own time.
        EXPECT_TRUE(waitForLogCount(
            log, "/user/evil.cbf returned error code -1\nA symbolic link is on the way: links are not followed\n", 3));
        EXPECT_TRUE(waitForLogCount(
            log, "/user/pipe.cbf returned error code -11\nThe source is not a regular file: it is not read\n", 3));
        EXPECT_TRUE(daemon.running());
        daemon.kill();
        munmap(announced, sizeof(std::atomic<int>));

        EXPECT_EQ(before, snapshot(victims));
        // Whatever was copied holds the data it was copied from; the link and the pipe are copied nowhere.
        std::string wrongCopies;
        for (const std::string& target : targets) {
            for (const char* name : {"evil.cbf", "pipe.cbf"})
                EXPECT_FALSE(fileExists(target + "/user/" + name)) << target << name;
            for (const std::string& relative : relatives) {
                struct stat copy;
                const std::string path = target + "/user/" + relative;
                if (lstat(path.c_str(), &copy) == 0 && S_ISREG(copy.st_mode) && readFile(path) != dataOf(relative))
                    wrongCopies += (wrongCopies.empty() ? "" : ", ") + path;
            }
        }
        EXPECT_EQ("", wrongCopies.substr(0, 300));
    }
}
