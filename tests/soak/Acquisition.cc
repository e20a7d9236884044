#include "soak/Acquisition.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

#include "soak/SoakContext.h"
#include "util/Errors.h"

using UTILITIES::systemText;

namespace {

// Content that nothing can compress or share, different for every seed.
std::string makeContent(uint64_t seed, size_t size) {
    std::string content(size, '\0');
    uint64_t state = seed * 0x9E3779B97F4A7C15ull + 1;
    for (size_t i = 0; i < size; i += 8) {
        state ^= state << 13;
        state ^= state >> 7;
        state ^= state << 17;
        memcpy(&content[i], &state, std::min<size_t>(8, size - i));
    }
    return content;
}

}  // namespace

Acquisition::Acquisition(SoakContext& soak, double until, uint64_t seed, Checker& checker)
    : soak(soak), until(until), random(seed), checker(checker), status(soak), pipe(soak.sandbox.pipePath) {}

void Acquisition::run() {
    if (!pipe.open()) return soak.giveUp("cannot open the pipe " + soak.sandbox.pipePath + " for writing");
    double nextTick = soak.elapsed(), nextLarge = soak.elapsed() + 2, nextReopen = soak.elapsed() + 5,
           nextJunk = soak.elapsed() + 1;
    _startShift();
    while (!soak.stopping && soak.elapsed() < until) {
        double now = soak.elapsed();
        if (now >= shiftEnd) {
            _endShift();
            _startShift();
            continue;
        }
        if (now >= nextReopen) {
            _reopen();
            nextReopen = soak.elapsed() + 5;
        }
        if (now >= nextJunk) {
            _junk();
            nextJunk += 2;
        }
        if (now >= nextRun) {
            ++runNumber;
            nextRun = now + 4;
        }
        if (!ghostTimes.empty() && now >= ghostTimes.back()) {
            ghostTimes.pop_back();
            _announceGhost();
        }
        if (now >= nextLarge) {
            _writeFile(true);
            nextLarge += 2;
        }
        _writeFile(false);
        nextTick += 0.04;
        SoakContext::pause(std::max(0.0, nextTick - soak.elapsed()));
        if (nextTick < soak.elapsed() - 1) nextTick = soak.elapsed();  // fell behind: no burst to catch up
    }
    if (current) {
        _endShift();
        // One more shift, without files, so that the last one is checked like
        // every other: its files deleted from the RAM disk and INTERNAL.
        if (!soak.stopping) _announceShift(shiftNumber + 1);
    }
    pipe.close();
}

void Acquisition::_announceShift(int number) {
    uint32_t id = 2000 + static_cast<uint32_t>(number);
    if (!pipe.write("usershift: " + std::to_string(id) + " " + std::to_string(id) + "\n"))
        soak.giveUp("writing a user shift to the pipe: " + systemText(errno));
}

void Acquisition::_startShift() {
    ++shiftNumber;
    ++counts.shifts;
    current.reset(new Checker::Shift);
    current->number = shiftNumber;
    current->uid = 2000 + static_cast<uint32_t>(shiftNumber);
    _announceShift(shiftNumber);
    double now = soak.elapsed();
    shiftEnd = now + std::uniform_real_distribution<double>(10, 20)(random);
    runNumber = 1;
    nextRun = now + 4;
    fileNumber = 0;
    ghostTimes = {now + 3 + (shiftEnd - now - 4) * 0.7, now + 1 + (shiftEnd - now - 4) * 0.2};
    char name[32];
    snprintf(name, sizeof name, "shift%04d", shiftNumber);
    shiftDir = name;
    _mkdir(soak.sandbox.ramdisk + "/" + shiftDir);
}

// Waits until the INTERNAL storage is done with the shift, checks each of its
// copies, and hands the shift to the checker; the next user shift line
// follows, which lets the EXTERNAL storage delete those copies.
void Acquisition::_endShift() {
    Clients::StatusQuery::History history;
    std::string why;
    if (!status.settled(current->uid, true, 90, history, why))
        soak.fail("shift " + std::to_string(current->number) + ": INTERNAL not done after 90 s: " + why);
    long good = 0;
    for (Checker::File& file : current->files) {
        if (file.ghost) continue;
        std::string problem = file.copyProblem(soak.sandbox.targets[INTERNAL] + "/" + file.relative);
        file.internalCopyGood = problem.empty();
        good += file.internalCopyGood;
        if (!problem.empty() && problem != systemText(ENOENT))
            soak.fail("INTERNAL copy of " + file.relative + ": " + problem);
    }
    soak.say("shift %d ended: %zu files announced, %ld INTERNAL copies intact", current->number, current->files.size(),
             good);
    checker.push(std::move(current));
}

void Acquisition::_mkdir(const std::string& path) {
    if (mkdir(path.c_str(), 0755) == 0 || errno == EEXIST) return;
    if (errno == ENOSPC)
        ++counts.enospc;
    else
        soak.giveUp("mkdir " + path + ": " + systemText(errno));
}

bool Acquisition::_waitForRoom(uint64_t size) {
    double start = soak.elapsed();
    bool waited = false;
    for (;;) {
        FillState ram = fillState(soak.sandbox.ramdisk);
        counts.ramMaxPercent = std::max(counts.ramMaxPercent, ram.percent);
        if (ram.percent <= 90 && ram.freeBytes >= size + 256 * KiB) break;
        if (!waited) ++counts.ramWaits;
        waited = true;
        if (soak.elapsed() - start > 60) {
            soak.giveUp("the RAM disk stayed above 90% (or short of room) for 60 s: " + std::to_string(ram.percent) +
                        "%");
            return false;
        }
        if (soak.stopping) return false;
        SoakContext::pause(0.02);
    }
    counts.ramWaitSeconds += soak.elapsed() - start;
    return true;
}

void Acquisition::_writeFile(bool large) {
    uint64_t size = large ? std::uniform_int_distribution<uint64_t>(128, 768)(random) * KiB
                          : std::uniform_int_distribution<uint64_t>(1 * KiB, 16 * KiB)(random);
    char runDir[32], name[64];
    snprintf(runDir, sizeof runDir, "%s/run%03d", shiftDir.c_str(), runNumber);
    snprintf(name, sizeof name, "%s/%s_%05d.%s", runDir, large ? "big" : "img", ++fileNumber, large ? "h5" : "cbf");
    Checker::File file;
    file.relative = name;
    file.size = size;
    std::string content = makeContent(++seedCounter, size);
    file.hash = fnv1a(content);
    if (!_waitForRoom(size)) return;
    _mkdir(soak.sandbox.ramdisk + "/" + runDir);
    std::string path = soak.sandbox.ramdisk + "/" + file.relative;
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    bool ok = fd >= 0;
    for (size_t done = 0; ok && done < content.size();) {
        ssize_t put = write(fd, content.data() + done, content.size() - done);
        if (put < 0 && errno == EINTR) continue;
        if (put <= 0)
            ok = false;
        else
            done += static_cast<size_t>(put);
    }
    int writeErrno = errno;
    if (fd >= 0 && close(fd) != 0 && ok) {
        ok = false;
        writeErrno = errno;
    }
    if (!ok) {
        if (writeErrno == ENOSPC || writeErrno == EDQUOT) {
            ++counts.enospc;
            soak.fail("the RAM disk refused " + file.relative + " for lack of space");
            unlink(path.c_str());
            return;
        }
        return soak.giveUp("writing " + path + ": " + systemText(writeErrno));
    }
    _announce(file);
    counts.bytes += size;
    ++counts.files;
    counts.largeFiles += large;
}

void Acquisition::_announceGhost() {
    Checker::File file;
    char name[64];
    // One in a run folder that exists, one in a folder that does not.
    snprintf(name, sizeof name,
             counts.ghosts % 2 == 0 ? "%s/run%03d/ghost_%05ld.cbf" : "%s/nowhere%03d/ghost_%05ld.cbf", shiftDir.c_str(),
             runNumber, counts.ghosts);
    file.relative = name;
    file.ghost = true;
    ++counts.ghosts;
    _announce(file);
}

void Acquisition::_announce(const Checker::File& file) {
    if (!pipe.write(soak.sandbox.ramdisk + "/./" + file.relative + "\n"))
        return soak.giveUp("writing an announcement to the pipe: " + systemText(errno));
    current->files.push_back(file);
}

// The acquisition closes its end of the pipe; every fourth time it stays away a while.
void Acquisition::_reopen() {
    pipe.close();
    ++counts.writerReopens;
    if (counts.writerReopens % 4 == 0) {
        ++counts.writerAbsences;
        SoakContext::pause(1.5);
    }
    if (!pipe.open()) soak.giveUp("cannot open the pipe again for writing");
}

// A junk line through a writer of its own, which comes and goes: words
// without a directory, "/./" with nothing after, "..", binary bytes, a
// 1500-byte line (longer than a line may be: rejected whole), then blank and
// NUL lines, which are dropped without a rejection.
void Acquisition::_junk() {
    const std::string& ramdisk = soak.sandbox.ramdisk;
    const int kind = static_cast<int>(counts.junkLines % 10);
    std::string line;
    if (kind == 5) {
        // One word of bytes: no NUL, no blank, no '/', no newline.
        std::uniform_int_distribution<int> byte(1, 255);
        while (line.size() < 300) {
            char c = static_cast<char>(byte(random));
            if (c != '/' && strchr(" \t\n\v\f\r", c) == nullptr) line += c;
        }
    } else {  // the fifth is the binary word above
        const std::string lines[] = {"no-directory-here and more words",
                                     "Usershift: 4242 4242",
                                     "usershift:4242 4242",
                                     ramdisk + "/./",
                                     ramdisk + "/./../../escaped.cbf",
                                     "",
                                     std::string(1500, 'x'),
                                     "   \t  ",
                                     "",
                                     std::string(1, '\0') + ramdisk + "/./nul/led.cbf"};
        line = lines[kind];
    }
    FifoWriter writer(soak.sandbox.pipePath);
    if (!writer.open()) return soak.giveUp("cannot open the pipe for a junk line");
    if (!writer.write(line + "\n")) soak.fail("writing a junk line: " + systemText(errno));
    writer.close();
    ++counts.junkLines;
    counts.junkRejectionsExpected += kind < 7;
}
