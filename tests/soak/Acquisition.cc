#include <errno.h>
#include <stdio.h>
#include <unistd.h>

#include <algorithm>

#include "soak/Soak.h"
#include "util/Errors.h"

using UTILITIES::systemText;

void Acquisition::run() {
    if (!pipe.open()) return soak.giveUp("cannot open the pipe " + soak.sandbox.runner.pipePath() + " for writing");
    double nextTick = soak.elapsed(), nextLarge = nextTick + 2, nextReopen = nextTick + 5;
    _startShift();
    while (!soak.stopping && soak.elapsed() < until) {
        const double now = soak.elapsed();
        if (now >= shiftEnd) {
            _endShift();
            _startShift();
            continue;
        }
        auto due = [&](double& next, double period) { return now >= next && (next += period, true); };
        if (due(nextReopen, 5)) {  // every fourth time the writer stays away a while
            pipe.close();
            soak.add("acquisition: pipe writer reopened");
            if (++reopens % 4 == 0) {
                soak.add("acquisition: pipe writer reopened after a pause");
                SoakContext::pause(1.5);
            }
            if (!pipe.open()) soak.giveUp("cannot open the pipe again for writing");
        }
        if (due(nextRun, 4)) ++runNumber;
        if (due(nextLarge, 2)) _writeFile(true);
        _writeFile(false);
        nextTick += 0.04;
        SoakContext::pause(std::max(0.0, nextTick - soak.elapsed()));
        if (nextTick < soak.elapsed() - 1) nextTick = soak.elapsed();  // fell behind: no burst to catch up
    }
    if (current) {
        _endShift();
        // One more shift, without files, so that the last one is checked like every other: its files deleted from
        // the RAM disk and INTERNAL.
        if (!soak.stopping) _announceShift(shiftNumber + 1);
    }
    pipe.close();
}

void Acquisition::_announceShift(int number) {
    const std::string id = std::to_string(2000 + number);
    if (!pipe.write("usershift: " + id + " " + id + "\n"))
        soak.giveUp("writing a user shift to the pipe: " + systemText(errno));
}

void Acquisition::_startShift() {
    soak.add("acquisition: shifts");
    current.reset(new Shift);
    current->number = ++shiftNumber;
    current->uid = 2000 + static_cast<uint32_t>(shiftNumber);
    char folder[32];
    snprintf(folder, sizeof folder, "shift%04d", shiftNumber);
    current->folder = folder;
    _announceShift(shiftNumber);
    const double now = soak.elapsed();
    shiftEnd = now + std::uniform_real_distribution<double>(10, 20)(random);
    runNumber = 1;
    nextRun = now + 4;
    fileNumber = 0;
}

// Waits until the INTERNAL storage is done with the shift, checks each of its copies, and hands the shift to the
// checker; the next user shift line follows, which lets the EXTERNAL storage delete those copies.
void Acquisition::_endShift() {
    Clients::History history;
    std::string why;
    if (!clients.settled(status, current->uid, true, 90, history, why))
        soak.fail("shift " + std::to_string(current->number) + ": INTERNAL not done after 90 s: " + why);
    long good = 0;
    for (File& file : current->files) {
        std::string problem = file.copyProblem(soak.sandbox.targets[INTERNAL] + "/" + file.relative);
        good += file.internalCopyGood = problem.empty();
        if (!problem.empty() && problem != systemText(ENOENT))
            soak.fail("INTERNAL copy of " + file.relative + ": " + problem);
    }
    soak.say("shift %d ended: %zu files announced, %ld INTERNAL copies intact", current->number, current->files.size(),
             good);
    soak.shifts.push(std::move(current));
}

bool Acquisition::_waitForRoom(uint64_t size) {
    auto room = [&]() {
        const FillState ram = fillState(soak.sandbox.ramdisk);
        return ram.percent <= 90 && ram.freeBytes >= size + 256 * KiB;
    };
    if (room()) return true;
    const double start = soak.elapsed();
    soak.add("RAM disk: waits above 90%");
    const bool roomAgain = soak.waitFor(60, room, 0.02);
    soak.add("RAM disk: seconds waited", soak.elapsed() - start);
    if (!roomAgain && !soak.stopping) soak.giveUp("the RAM disk stayed above 90% (or short of room) for 60 s");
    return roomAgain;
}

void Acquisition::_writeFile(bool large) {
    const uint64_t size = large ? std::uniform_int_distribution<uint64_t>(128, 768)(random) * KiB
                                : std::uniform_int_distribution<uint64_t>(1 * KiB, 16 * KiB)(random);
    char runDir[32], name[64];
    snprintf(runDir, sizeof runDir, "%s/run%03d", current->folder.c_str(), runNumber);
    snprintf(name, sizeof name, "%s/%s_%05d.%s", runDir, large ? "big" : "img", ++fileNumber, large ? "h5" : "cbf");
    // Content that nothing can compress or share, different for every file.
    std::independent_bits_engine<std::mt19937_64, 8, unsigned> bytes(++contentSeed);
    std::string content(size, '\0'), why;
    std::generate(content.begin(), content.end(), [&]() { return static_cast<char>(bytes()); });
    if (!_waitForRoom(size)) return;
    makeDirectories(soak.sandbox.ramdisk + "/" + runDir);
    const std::string path = soak.sandbox.ramdisk + "/" + name;
    if (!writeFile(path, content, &why)) {
        if (why != systemText(ENOSPC) && why != systemText(EDQUOT)) return soak.giveUp("writing " + path + ": " + why);
        soak.fail("the RAM disk refused " + path + " for lack of space");
        unlink(path.c_str());
        return;
    }
    _announce({name, size, std::hash<std::string>()(content)});
    soak.add("acquisition: MiB", size / double(MiB));
    soak.add("acquisition: files");
    soak.add("acquisition: large files", large);
}

void Acquisition::_announce(const File& file) {
    if (!pipe.write(soak.sandbox.ramdisk + "/./" + file.relative + "\n"))
        return soak.giveUp("writing an announcement to the pipe: " + systemText(errno));
    current->files.push_back(file);
}
