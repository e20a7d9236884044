#include <dirent.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "support/CopyRig.h"
#include "support/DaemonRunner.h"
#include "support/FifoWriter.h"
#include "support/StatusClient.h"
#include "support/TmpfsMount.h"

namespace {

long setting(const char* name, long fallback) {
    const char* value = getenv(name);
    return value != nullptr && atol(value) > 0 ? atol(value) : fallback;
}

std::string name(long i) {
    return "run" + std::to_string(i % 7) + "/img_" + std::to_string(i) + ".raw";
}
// Each file's bytes follow from its number, so every copy can be compared.
std::string content(long i) {
    return std::string(500 + i * 37 % 3500, static_cast<char>('a' + i % 26)) + name(i);
}

// Every entry below `root` whose name ends in ".tmp".
std::vector<std::string> temporaries(const std::string& root) {
    std::vector<std::string> found;
    std::vector<std::string> folders{root};
    while (!folders.empty()) {
        const std::string folder = folders.back();
        folders.pop_back();
        DIR* listing = opendir(folder.c_str());
        for (struct dirent* item; listing != nullptr && (item = readdir(listing)) != nullptr;) {
            const std::string entry = item->d_name;
            if (entry == "." || entry == "..") continue;
            const std::string path = folder + "/" + entry;
            struct stat status;
            if (lstat(path.c_str(), &status) == 0 && S_ISDIR(status.st_mode)) folders.push_back(path);
            if (entry.size() > 4 && entry.compare(entry.size() - 4, 4, ".tmp") == 0) found.push_back(path);
        }
        if (listing != nullptr) closedir(listing);
    }
    return found;
}

// The lines of a log that name `name`, for a failure's report.
std::string linesNaming(const std::string& log, const std::string& name) {
    std::string found;
    for (size_t at = log.find(name); at != std::string::npos; at = log.find(name, at + 1)) {
        const size_t start = log.rfind('\n', at) == std::string::npos ? 0 : log.rfind('\n', at) + 1;
        const size_t end = std::min(log.find('\n', at), log.size());
        found += log.substr(start, end - start) + "\n";
        at = end;
    }
    return found;
}

}  // namespace

// An acquisition with two user shifts, the EXTERNAL disk full for the first
// part, and the daemon killed with SIGKILL again and again at random moments
// (during copies, link passes and deletions), each time started anew on its
// journal. In the end every file is on every storage with its bytes, each
// exactly once in the history, and nothing is left over: no temporary file,
// no file of an earlier shift on the RAM disk or the INTERNAL disk.
//   VELLORT_CRASH_FILES and VELLORT_CRASH_KILLS make it longer (the soak).
TEST(CrashTest, KilledAgainAndAgainTheDaemonLosesNoFileAndCountsEachOnce) {
    const long files = setting("VELLORT_CRASH_FILES", 2400), kills = setting("VELLORT_CRASH_KILLS", 20);
    const std::string room = "size=" + std::to_string(64 + files / 100) + "m";  // at most 8 KiB a file
    TmpfsMount ram(room), internal(room), external("size=256k");
    if (!external.mounted()) GTEST_SKIP() << external.skipReason();
    TempDir spare;
    DaemonRunner daemon;
    daemon.writeConfig("logfile " + daemon.logPath() + "\nramdisk_mountpoint " + ram.path() + "\nmessage_port " +
                       std::to_string(daemon.messagePort()) + "\nstatus_port " + std::to_string(daemon.statusPort()) +
                       "\nfillstate_limit 5\ncreate_links yes\n" + "copy_retry_max_delay 2\njournal " + daemon.root() +
                       "/var/lib/vellort/journal.sqlite\n" + "storageID disk\ntype INTERNAL\ntarget " +
                       internal.path() + "/data\nmountpoint " + internal.path() +
                       "\nstorageID archive\ntype EXTERNAL\ntarget " + external.path() +
                       "/data\nstorageID spare\ntype OPTIONAL\ntarget " + spare.path() + "/data\n");
    for (long i = 0; i < files; ++i) {
        makeDirectories(ram.path() + "/" + name(i).substr(0, name(i).find('/')));
        writeFile(ram.path() + "/" + name(i), content(i));
    }
    signal(SIGPIPE, SIG_IGN);  // a write while the daemon is down fails, and is tried again
    ASSERT_EQ(0, daemon.run());

    // The acquisition writes on while the daemon comes and goes.
    const long shiftAt[] = {files / 3, 2 * files / 3};
    std::atomic<bool> written{false};
    std::thread writer([&] {
        FifoWriter pipe(daemon.pipePath());
        while (!pipe.open(1)) {
        }
        for (long i = 0; i < files; ++i) {
            std::string line = ram.path() + "/./" + name(i) + "\n";
            if (i == shiftAt[0] || i == shiftAt[1]) line = "usershift: " + std::to_string(2000 + i) + " 3000\n" + line;
            while (!pipe.write(line)) std::this_thread::sleep_for(std::chrono::milliseconds(5));
            std::this_thread::sleep_for(std::chrono::microseconds(3000));
        }
        written = true;
    });
    std::mt19937 random(static_cast<unsigned>(time(nullptr)));
    bool restarted = true;
    for (long kill = 0; kill < kills && restarted; ++kill) {
        std::this_thread::sleep_for(std::chrono::milliseconds(150 + random() % 500));
        daemon.daemonPid();
        daemon.kill();
        if (kill == kills / 3) {
            EXPECT_TRUE(external.remount(false, room));  // the disk has room again
        }
        restarted = daemon.run() == 0;
        EXPECT_TRUE(restarted) << daemon.output();
    }
    if (!restarted) daemon.run();  // for the writer to finish
    writer.join();
    ASSERT_TRUE(written);

    // Files of the last shift stay on the RAM disk and the INTERNAL disk, as
    // files or as links to their copies; the earlier ones are gone from both.
    auto settled = [&](long i, std::string& why) {
        const bool current = i >= shiftAt[1];
        for (const std::string& copy : {external.path() + "/data/" + name(i), spare.path() + "/data/" + name(i)}) {
            if (readFile(copy) != content(i)) return why = copy + " is missing or differs", false;
        }
        for (const std::string& source : {ram.path() + "/" + name(i), internal.path() + "/data/" + name(i)}) {
            struct stat status;
            const bool there = lstat(source.c_str(), &status) == 0;
            if (there != current) return why = source + (there ? " is still there" : " is gone"), false;
            if (current && readFile(source) != content(i)) return why = source + " differs", false;
        }
        return true;
    };
    std::string why;
#if defined(__SANITIZE_THREAD__)
    const double settling = 180;  // the sanitizer slows every step of the last deletions several times
#else
    const double settling = 60;
#endif
    const bool done = CopyRig::waitUntil(
        [&] {
            for (long i = 0; i < files; ++i)
                if (!settled(i, why)) return false;
            return true;
        },
        settling);
    const std::string file = why.substr(why.rfind('/') + 1, why.find(' ') - why.rfind('/') - 1);
    EXPECT_TRUE(done) << why << "\nThe log of it:\n" << linesNaming(daemon.log(), file);
    for (const std::string& root : {ram.path(), internal.path(), external.path(), spare.path()})
        EXPECT_EQ(std::vector<std::string>(), temporaries(root));

    // One entry per shift and storage, each file counted copied once.
    StatusClient client(daemon.statusPort());
    const std::string history = client.ask("<request><action id='history'/></request>");
    const long perShift[] = {shiftAt[0], shiftAt[1] - shiftAt[0], files - shiftAt[1]};
    for (const char* storage : {"disk", "archive", "spare"})
        for (long count : perShift)
            EXPECT_NE(std::string::npos,
                      history.find("<storage id=\"" + std::string(storage) + "\" pending=\"0\" copied=\"" +
                                   std::to_string(count) + "\" failed=\"0\"/>"))
                << storage << " " << count << "\n"
                << history << "\nThe INTERNAL storage's errors:\n"
                << linesNaming(daemon.log(), "disk: Error");
}
