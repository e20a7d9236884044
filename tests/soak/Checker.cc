#include "soak/Checker.h"

#include <ftw.h>
#include <stdio.h>
#include <string.h>

#include <algorithm>
#include <atomic>

#include "soak/FaultInjector.h"
#include "soak/SoakContext.h"
#include "support/TempDir.h"

namespace {

// Counts the files named *.tmp under path.
long countTemporaries(const std::string& path) {
    static std::atomic<long> found;  // nftw's callback takes nothing of ours; one walk at a time
    found = 0;
    nftw(
        path.c_str(),
        [](const char* entry, const struct stat*, int type, struct FTW*) {
            size_t length = strlen(entry);
            if (type == FTW_F && length > 4 && strcmp(entry + length - 4, ".tmp") == 0) ++found;
            return 0;
        },
        32, FTW_PHYS);
    return found;
}

}  // namespace

std::string Checker::File::copyProblem(const std::string& path) const {
    std::string content, why;
    if (!readFile(path, content, &why)) return why;
    if (content.size() != size) return std::to_string(content.size()) + " bytes instead of " + std::to_string(size);
    if (fnv1a(content) != hash) return "content differs";
    return "";
}

void Checker::push(std::unique_ptr<Shift> shift) {
    std::lock_guard<std::mutex> guard(mutex);
    shifts.push_back(std::move(shift));
    changed.notify_all();
}

void Checker::close() {
    std::lock_guard<std::mutex> guard(mutex);
    closed = true;
    changed.notify_all();
}

void Checker::run() {
    for (;;) {
        std::unique_ptr<Shift> shift;
        {
            std::unique_lock<std::mutex> lock(mutex);
            changed.wait(lock, [&]() { return closed || !shifts.empty(); });
            if (shifts.empty()) return;
            shift = std::move(shifts.front());
            shifts.pop_front();
        }
        if (!soak.interrupted) _check(*shift);
    }
}

void Checker::_check(Shift& shift) {
    const std::string name = "shift " + std::to_string(shift.number);
    Clients::StatusQuery::History history;
    std::string why;
    if (!status.settled(shift.uid, false, 120, history, why))
        return soak.fail(name + ": storages not done after 120 s: " + why);

    std::vector<std::vector<Outcome>> outcomes(shift.files.size(), std::vector<Outcome>(3, COPIED));
    long copied[3] = {0, 0, 0}, failed[3] = {0, 0, 0};
    // Reports may trail the history a little: one grace period for the shift.
    const double reportDeadline = soak.elapsed() + 15;
    for (size_t i = 0; i < shift.files.size(); ++i) {
        const File& file = shift.files[i];
        for (int storage = INTERNAL; storage <= OPTIONAL; ++storage) {
            const std::string destination = soak.sandbox.targets[storage] + "/" + file.relative;
            std::string problem = file.ghost            ? "never written"
                                  : storage == INTERNAL ? (file.internalCopyGood ? "" : "missing at the shift's end")
                                                        : file.copyProblem(destination);
            if (problem.empty()) {
                ++copied[storage];
                ++counts.copiesChecked[storage];
                if (clients.copyErrorAt(destination) >= 0) soak.fail(destination + ": copied, yet reported as failed");
                continue;
            }
            outcomes[i][storage] = FAILED;
            ++failed[storage];
            _checkReported(file, storage, destination, problem, reportDeadline);
        }
    }

    // The history must count what was found.
    for (int storage = INTERNAL; storage <= OPTIONAL; ++storage) {
        const Clients::StatusQuery::Counts& booked = history[shift.uid][storageNames[storage]];
        if (booked.copied != copied[storage] || booked.failed != failed[storage])
            soak.fail(name + " " + storageNames[storage] + ": history says copied " + std::to_string(booked.copied) +
                      " failed " + std::to_string(booked.failed) + ", found copied " + std::to_string(copied[storage]) +
                      " failed " + std::to_string(failed[storage]));
    }

    _checkDeletions(shift, outcomes);

    char folder[16];
    snprintf(folder, sizeof folder, "/shift%04d", shift.number);
    long temporaries = 0;
    bool purged = faults.whileNoFault(120, [&]() {
        for (int storage = EXTERNAL; storage <= OPTIONAL; ++storage)
            temporaries += countTemporaries(soak.sandbox.targets[storage] + folder);
        for (int storage = INTERNAL; storage <= OPTIONAL; ++storage)
            _removeTree(soak.sandbox.targets[storage] + folder);
        _removeTree(soak.sandbox.ramdisk + folder);
    });
    if (!purged) soak.fail(name + ": a fault stayed on for 120 s; copies not removed");
    counts.temporariesLeft += temporaries;
    ++counts.shifts;
    soak.say("shift %d checked: copied %ld/%ld/%ld, failed %ld/%ld/%ld (internal/external/optional)%s", shift.number,
             copied[0], copied[1], copied[2], failed[0], failed[1], failed[2],
             temporaries ? (", " + std::to_string(temporaries) + " partial .tmp left").c_str() : "");
}

// A file without a good copy: reported in the log and to the message clients,
// and failed for a reason that was injected.
void Checker::_checkReported(const File& file, int storage, const std::string& destination, const std::string& problem,
                             double deadline) {
    ++counts.failuresReported[storage];
    double at = -1;
    bool logged = false;
    soak.waitFor(
        std::max(0.0, deadline - soak.elapsed()),
        [&]() {
            at = clients.copyErrorAt(destination);
            logged = soak.log.saw(LogWatcher::COPY_ERROR, destination);
            return at >= 0 && logged;
        },
        0.1);
    if (!logged || at < 0) {
        soak.fail(destination + ": " + problem + ", and " +
                  (!logged && at < 0 ? "neither a log line nor a message"
                   : !logged         ? "no copy-error log line"
                                     : "no code-4 message"));
        return;
    }
    if (file.ghost) return;
    bool justified = (storage == EXTERNAL && faults.covers(FaultInjector::EXTERNAL_READ_ONLY, at)) ||
                     (storage == OPTIONAL && faults.covers(FaultInjector::OPTIONAL_FULL, at));
    if (!justified)
        soak.fail(destination + ": copy failed at " + std::to_string(at) + " s, outside any fault on " +
                  storageNames[storage]);
}

// The RAM-disk files of the shift are gone; its INTERNAL copies too, except
// those the EXTERNAL storage could not copy, which stay intact.
void Checker::_checkDeletions(const Shift& shift, const std::vector<std::vector<Outcome>>& outcomes) {
    std::vector<const File*> ramLeft, internalLeft, kept;
    for (size_t i = 0; i < shift.files.size(); ++i) {
        const File& file = shift.files[i];
        if (file.ghost) continue;
        ramLeft.push_back(&file);
        if (outcomes[i][EXTERNAL] == FAILED && outcomes[i][INTERNAL] == COPIED)
            kept.push_back(&file);
        else
            internalLeft.push_back(&file);
    }
    auto gone = [](std::vector<const File*>& files, const std::string& root) {
        files.erase(std::remove_if(files.begin(), files.end(),
                                   [&](const File* file) { return !fileExists(root + "/" + file->relative); }),
                    files.end());
        return files.empty();
    };
    const std::string internal = soak.sandbox.targets[INTERNAL];
    if (!soak.waitFor(
            60, [&]() { return gone(ramLeft, soak.sandbox.ramdisk); }, 0.2))
        soak.fail("shift " + std::to_string(shift.number) + ": " + std::to_string(ramLeft.size()) +
                  " files left on the RAM disk 60 s after the shift, e.g. " + ramLeft.front()->relative);
    if (!soak.waitFor(
            60, [&]() { return gone(internalLeft, internal); }, 0.2))
        soak.fail("shift " + std::to_string(shift.number) + ": " + std::to_string(internalLeft.size()) +
                  " INTERNAL copies not deleted 60 s after the shift, e.g. " + internalLeft.front()->relative);
    for (const File* file : kept) {
        const std::string path = internal + "/" + file->relative;
        if (!soak.waitFor(
                60, [&]() { return soak.log.saw(LogWatcher::NOT_REMOVING, path); }, 0.2))
            soak.fail(path + ": EXTERNAL copy failed, but no \"Warning: Not removing\" line");
        std::string problem = file->copyProblem(path);
        if (!problem.empty()) soak.fail(path + ": the only full copy besides the RAM disk's is lost: " + problem);
        ++counts.keptChecked;
    }
}

void Checker::_removeTree(const std::string& path) {
    std::string problem;
    if (!removeTree(path, &problem)) soak.fail(problem);
}

uint64_t fnv1a(const std::string& bytes) {
    uint64_t hash = 14695981039346656037ull;
    for (unsigned char byte : bytes) {
        hash ^= byte;
        hash *= 1099511628211ull;
    }
    return hash;
}
