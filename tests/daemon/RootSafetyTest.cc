// The real daemon, as root, against a real unprivileged user who owns the data
// folders on the RAM disk and in the targets and swaps them for symbolic links
// while files are announced, copied, linked and deleted. Root-owned victims
// outside every tree must come through unchanged.

#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "support/DaemonRunner.h"
#include "support/FifoWriter.h"
#include "support/TmpfsMount.h"

namespace {

const uid_t user = 4242;  // owns the data; no account needed
const size_t dataSize = 64;

// Every entry below `path` (links not followed): type, mode, owner, size and content or link text.
void snapshot(const std::string& path, std::map<std::string, std::string>& entries) {
    struct stat status;
    if (lstat(path.c_str(), &status) != 0) return;
    std::string entry = std::to_string(status.st_mode) + " " + std::to_string(status.st_uid) + ":" +
                        std::to_string(status.st_gid) + " " + std::to_string(status.st_size) + " ";
    if (S_ISREG(status.st_mode)) entry += readFile(path);
    char link[4096];
    const ssize_t length = S_ISLNK(status.st_mode) ? readlink(path.c_str(), link, sizeof link) : 0;
    entries[path] = entry + std::string(link, length > 0 ? length : 0);
    if (!S_ISDIR(status.st_mode)) return;
    DIR* dir = opendir(path.c_str());
    for (struct dirent* e = dir ? readdir(dir) : nullptr; e != nullptr; e = readdir(dir))
        if (std::string(e->d_name) != "." && std::string(e->d_name) != "..") snapshot(path + "/" + e->d_name, entries);
    if (dir) closedir(dir);
}

// The entries of `root` (files or folders) below which two snapshots differ.
std::string differences(const std::string& root, const std::map<std::string, std::string>& before,
                        const std::map<std::string, std::string>& after) {
    std::set<std::string> touched;
    auto differ = [&](const std::map<std::string, std::string>& one, const std::map<std::string, std::string>& other) {
        for (const auto& entry : one)
            if (other.count(entry.first) == 0 || other.at(entry.first) != entry.second)
                touched.insert(entry.first.substr(0, entry.first.find('/', root.size() + 1)));
    };
    differ(before, after);
    differ(after, before);
    std::string text;
    for (const std::string& path : touched) text += path.substr(std::min(path.size(), root.size() + 1)) + " ";
    return text;
}

std::string dataOf(const std::string& relative) {
    std::string content = "data of " + relative;
    content.resize(dataSize, '.');  // victims have the same size, as a pass compares sizes
    return content;
}

void owned(const std::string& path, mode_t mode = 0755) {
    makeDirectories(path, mode);
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

// A sandbox that the user can walk: RAM disk and INTERNAL file system are
// small tmpfs mounts kept above the fill-state limit, so that every copy is
// linked soon after it is made, and shifts delete the rest.
struct Site {
    Site() : ram("size=16m"), disk("size=16m") {}
    bool mounted() const { return ram.mounted() && disk.mounted(); }
    std::string config(bool links) const {
        return "logfile " + daemon.logPath() + "\nramdisk_mountpoint " + ram.path() + "\nfillstate_limit 50\n" +
               "create_links " + (links ? "yes" : "no") + "\nmessage_port " + std::to_string(daemon.messagePort()) +
               "\nstatus_port " + std::to_string(daemon.statusPort()) + "\nstorageID internal\ntype INTERNAL\ntarget " +
               disk.path() + "/copies\nn_copy_processes 2\nmountpoint " + disk.path() +
               "\nstorageID external\ntype EXTERNAL\ntarget " + daemon.root() + "/external\nstorageID optional\n" +
               "type OPTIONAL\ntarget " + daemon.root() + "/optional\n";
    }
    std::vector<std::string> targets() const {
        return {disk.path() + "/copies", daemon.root() + "/external", daemon.root() + "/optional"};
    }
    void fill() {
        for (const std::string& mount : {ram.path(), disk.path()}) {
            const int fd = open((mount + "/fill").c_str(), O_CREAT | O_WRONLY, 0600);
            EXPECT_EQ(0, fd < 0 ? -1 : fallocate(fd, 0, 0, 10 << 20)) << mount;
            close(fd);
        }
    }

    DaemonRunner daemon;
    TmpfsMount ram, disk;
};

}  // namespace

TEST(RootSafetyTest, AUserSwappingFoldersForLinksNeverTurnsTheDaemonAgainstRootsFiles) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root: the daemon runs as root against an unprivileged user";
    for (bool links : {true, false}) {
        SCOPED_TRACE(links ? "linking" : "removing");
        Site site;
        if (!site.mounted()) GTEST_SKIP() << site.ram.skipReason();
        const std::string root = site.daemon.root(), ram = site.ram.path(), victims = root + "/victims";
        ASSERT_EQ(0, chmod(root.c_str(), 0755));
        site.fill();
        // Root's files: one for planted temporary links, a root-only folder, a
        // folder of files named as the data, a folder that must stay root's.
        makeDirectories(victims + "/rootonly", 0700);
        makeDirectories(victims + "/mirror");
        makeDirectories(victims + "/rootdir");
        writeFile(victims + "/tmpfile", std::string(dataSize, 'v'));
        const int files = 300;
        for (const std::string& base : {ram, site.targets()[0], site.targets()[1], site.targets()[2]}) {
            owned(base + "/user");
            owned(base + "/user/attacked");
            owned(base + "/user/good");
        }
        std::vector<std::string> relatives;
        for (int i = 0; i < files; ++i) {
            relatives.push_back("attacked/img_" + std::to_string(i) + ".cbf");
            relatives.push_back("attacked/d_" + std::to_string(i) + "/img.cbf");  // folders made by the copies
            relatives.push_back("good/img_" + std::to_string(i) + ".cbf");
            writeFile(victims + "/mirror/img_" + std::to_string(i) + ".cbf", std::string(dataSize, 'm'));
        }
        for (const std::string& relative : relatives) {
            const std::string path = ram + "/user/" + relative;
            if (relative.find("/d_") != std::string::npos) owned(path.substr(0, path.rfind('/')));
            writeFile(path, dataOf(relative));
            ASSERT_EQ(0, chown(path.c_str(), user, user));
        }
        std::map<std::string, std::string> before, after;
        snapshot(victims, before);

        site.daemon.writeConfig(site.config(links));
        ASSERT_EQ(0, site.daemon.run());
        FifoWriter pipe(site.daemon.pipePath());
        ASSERT_TRUE(pipe.open());
        const std::vector<std::string> targets = site.targets();
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
            swapForLink(ram + "/user/attacked", victims + "/mirror");
            swapForLink(targets[0] + "/user/attacked", victims + "/mirror");
        });
        for (size_t k = 0; k < relatives.size(); ++k) {
            ASSERT_TRUE(
                pipe.write(ram + "/./user/" + relatives[k] + "\n" + (k % 150 == 149 ? "usershift: 4242 4242\n" : "")));
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
        EXPECT_TRUE(waitForLogCount(site.daemon.logPath(), "Removing files from previous users", 3 * shifts));
        for (int tries = 0; tries < 3000 && !allGoodCopied(); ++tries)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        EXPECT_TRUE(allGoodCopied());
        EXPECT_TRUE(site.daemon.running());
        site.daemon.kill();
        munmap(announced, sizeof(std::atomic<int>));

        snapshot(victims, after);
        EXPECT_EQ("", differences(victims, before, after));
        // Whatever was copied holds the data it was copied from.
        std::string wrongCopies;
        for (const std::string& target : targets)
            for (const std::string& relative : relatives) {
                struct stat copy;
                const std::string path = target + "/user/" + relative;
                if (lstat(path.c_str(), &copy) == 0 && S_ISREG(copy.st_mode) && readFile(path) != dataOf(relative))
                    wrongCopies += (wrongCopies.empty() ? "" : ", ") + path;
            }
        EXPECT_EQ("", wrongCopies.substr(0, 300));
    }
}

TEST(RootSafetyTest, AnnouncedLinksPipesAndPathsOutsideTheRamDiskAreRefused) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root: the daemon runs as root against an unprivileged user";
    Site site;
    if (!site.mounted()) GTEST_SKIP() << site.ram.skipReason();
    const std::string root = site.daemon.root(), ram = site.ram.path(), log = site.daemon.logPath();
    makeDirectories(root + "/victims/hidden", 0700);
    writeFile(root + "/victims/hidden/secret", "root's secret");
    writeFile(root + "/victims/outside.dat", "kept");
    owned(ram + "/user");
    ASSERT_EQ(0, symlink((root + "/victims/hidden/secret").c_str(), (ram + "/user/evil.cbf").c_str()));
    ASSERT_EQ(0, mkfifo((ram + "/user/pipe.cbf").c_str(), 0666));
    std::map<std::string, std::string> before, after;
    snapshot(root + "/victims", before);
    site.daemon.writeConfig(site.config(true));
    ASSERT_EQ(0, site.daemon.run());

    FifoWriter pipe(site.daemon.pipePath());
    ASSERT_TRUE(pipe.open());
    const std::string outside[] = {root + "/victims/./outside.dat", ram + "/user/../../victims/./outside.dat"};
    std::string lines = ram + "/./user/evil.cbf\n" + ram + "/./user/pipe.cbf\n" + outside[0] + "\n" + outside[1] + "\n";
    for (int i = 0; i < 20; ++i) {
        writeFile(ram + "/user/after_" + std::to_string(i) + ".cbf", "after " + std::to_string(i));
        lines += ram + "/./user/after_" + std::to_string(i) + ".cbf\n";
    }
    ASSERT_TRUE(pipe.write(lines + "usershift: 1 1\nusershift: 2 2\n"));
    // None of the files after the pipe waits behind it.
    for (int i = 0; i < 20; ++i) {
        const std::string copy = site.targets()[2] + "/user/after_" + std::to_string(i) + ".cbf";
        EXPECT_TRUE(waitForLogCount(copy, "after " + std::to_string(i), 1)) << copy;
    }
    EXPECT_TRUE(waitForLogCount(log, "Removing files from previous users", 6));
    for (const std::string& path : outside)
        EXPECT_EQ(1, countInFile(log, "Error: Rejected announcement " + path + ": ")) << path;
    // Each storage reports both, in its own time.
    EXPECT_TRUE(waitForLogCount(
        log, "/user/evil.cbf returned error code -1\nA symbolic link is on the way: links are not followed\n", 3));
    EXPECT_TRUE(waitForLogCount(
        log, "/user/pipe.cbf returned error code -11\nThe source is not a regular file: it is not read\n", 3));
    for (const std::string& target : site.targets())
        for (const char* name : {"evil.cbf", "pipe.cbf"})
            EXPECT_FALSE(fileExists(target + "/user/" + name)) << target << name;
    site.daemon.kill();
    snapshot(root + "/victims", after);
    EXPECT_EQ("", differences(root + "/victims", before, after));
}

TEST(RootSafetyTest, ThePidFileIsAPlainFileOfItsOwnWithMode0644AndKeepsASecondDaemonOut) {
    DaemonRunner daemon;
    const std::string victim = daemon.root() + "/victim", pid = daemon.pidFilePath();
    writeFile(victim, "kept");
    daemon.writeConfig(daemon.defaultConfig());
    // Each refused before the daemon detaches, so the shell hears of it.
    const std::pair<std::function<int()>, std::string> refused[] = {
        {[&] { return symlink(victim.c_str(), pid.c_str()); }, "it is a symbolic link"},
        {[&] { return mkfifo(pid.c_str(), 0666); }, "it is not a regular file"},
        {[&] { return link(victim.c_str(), pid.c_str()); }, "it has 2 names (hard links)"}};
    for (const auto& c : refused) {
        ASSERT_EQ(0, c.first());
        EXPECT_EQ(1, daemon.run());
        EXPECT_EQ("Error: Cannot write the pid file " + pid + ": " + c.second + "\n", daemon.output());
        ASSERT_EQ(0, unlink(pid.c_str()));
    }
    EXPECT_EQ("kept", readFile(victim));

    writeFile(pid, "a much longer earlier content, once writable by anyone\n");
    ASSERT_EQ(0, chmod(pid.c_str(), 0666));
    ASSERT_EQ(0, daemon.run());
    ASSERT_GT(daemon.daemonPid(), 0);
    EXPECT_EQ(std::to_string(daemon.daemonPid()) + "\n", readFile(pid));
    struct stat pidFile;
    ASSERT_EQ(0, lstat(pid.c_str(), &pidFile));
    EXPECT_EQ(0644u, pidFile.st_mode & 07777);
    // A second daemon ends at once; the first one keeps its pid file, its pipe and its shifts.
    const std::string first = std::to_string(daemon.daemonPid());
    EXPECT_EQ(64, daemon.run());
    EXPECT_EQ("Error: Not starting: another vellort runs (pid " + first + "), holding " + pid + "\n",
              daemon.output());
    EXPECT_EQ(first + "\n", readFile(pid));
    EXPECT_EQ(1, countInFile(daemon.logPath(), "++ VELLORT version 3.7.1 started"));
    EXPECT_TRUE(daemon.running());
}
