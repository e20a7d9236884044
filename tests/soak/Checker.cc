#include <algorithm>

#include "soak/Soak.h"

std::string File::copyProblem(const std::string& path) const {
    std::string content, why;
    if (!readFile(path, content, &why)) return why;
    if (content.size() != size) return std::to_string(content.size()) + " bytes instead of " + std::to_string(size);
    return std::hash<std::string>()(content) == hash ? "" : "content differs";
}

namespace {

using Files = std::vector<const File*>;

struct Checker {
    SoakContext& soak;
    FaultInjector& faults;
    Clients& clients;
    std::unique_ptr<StatusClient> status = nullptr;

    void check(Shift& shift) {
        const std::string name = "shift " + std::to_string(shift.number);
        Clients::History history;
        std::string why;
        if (!clients.settled(status, shift.uid, false, 120, history, why))
            return soak.fail(name + ": storages not done after 120 s: " + why);

        long copied[3] = {}, failed[3] = {};
        Files ramLeft, internalLeft, kept;
        // Reports may trail the history a little: one grace period for the shift.
        const double reportDeadline = soak.elapsed() + 15;
        for (const File& file : shift.files) {
            bool externalFailed = false;
            for (int storage = INTERNAL; storage <= OPTIONAL; ++storage) {
                const std::string destination = soak.sandbox.targets[storage] + "/" + file.relative;
                const std::string problem = storage != INTERNAL     ? file.copyProblem(destination)
                                            : file.internalCopyGood ? ""
                                                                    : "missing at the shift's end";
                if (problem.empty()) {
                    ++copied[storage];
                    soak.add(std::string("checked: intact ") + storageNames[storage] + " copies");
                    if (clients.copyErrorAt(destination) >= 0)
                        soak.fail(destination + ": copied, yet reported as failed");
                    continue;
                }
                ++failed[storage];
                externalFailed |= storage == EXTERNAL;
                checkReported(storage, destination, problem, reportDeadline);
            }
            ramLeft.push_back(&file);
            (externalFailed && file.internalCopyGood ? kept : internalLeft).push_back(&file);
        }
        // The history must count what was found.
        for (int storage = INTERNAL; storage <= OPTIONAL; ++storage) {
            const Clients::Booked& booked = history[shift.uid][storageNames[storage]];
            if (booked.copied != copied[storage] || booked.failed != failed[storage])
                soak.fail(name + " " + storageNames[storage] + ": history says copied " +
                          std::to_string(booked.copied) + " failed " + std::to_string(booked.failed) +
                          ", found copied " + std::to_string(copied[storage]) + " failed " +
                          std::to_string(failed[storage]));
        }
        checkDeletions(shift, ramLeft, internalLeft, kept);

        const bool purged = faults.whileNoFault(120, [&]() {
            for (int i = INTERNAL; i <= OPTIONAL + 1; ++i) {  // the targets, then the RAM disk
                std::string problem;
                if (!removeTree((i <= OPTIONAL ? soak.sandbox.targets[i] : soak.sandbox.ramdisk) + "/" + shift.folder,
                                &problem))
                    soak.fail(problem);
            }
        });
        if (!purged) soak.fail(name + ": a fault stayed on for 120 s; copies not removed");
        soak.add("checked: shifts");
        soak.say("shift %d checked: copied %ld/%ld/%ld, failed %ld/%ld/%ld (internal/external/optional)", shift.number,
                 copied[0], copied[1], copied[2], failed[0], failed[1], failed[2]);
    }

    // A file without a good copy: reported in the log and to the message clients, or, while its storage was not up,
    // counted after the storage's one alarm; and failed for a reason that was injected.
    void checkReported(int storage, const std::string& destination, const std::string& problem, double deadline) {
        soak.add(std::string("checked: failures reported on ") + storageNames[storage]);
        double at = -1;
        bool logged = false;
        auto reported = [&]() {
            at = clients.copyErrorAt(destination);
            logged = soak.log.saw(LogWatcher::COPY_ERROR, destination);
            if (at >= 0 && logged) return true;
            if (!soak.log.saw(LogWatcher::STORAGE_DOWN, storageNames[storage]) ||
                !soak.log.saw(LogWatcher::ERRORS_COUNTED, storageNames[storage]) ||
                clients.storageAlarmAt(storageNames[storage]) < 0)
                return false;
            soak.add(std::string("checked: failures counted after the alarm on ") + storageNames[storage]);
            at = clients.storageAlarmAt(storageNames[storage]);
            logged = true;
            return true;
        };
        if (!soak.waitFor(std::max(0.0, deadline - soak.elapsed()), reported, 0.1))
            return soak.fail(destination + ": " + problem + ", and " +
                             (!logged && at < 0 ? "neither a log line nor a message"
                              : !logged         ? "no copy-error log line"
                                                : "no code-4 message"));
        if (!(storage == EXTERNAL && faults.covers(FaultInjector::EXTERNAL_READ_ONLY, at)) &&
            !(storage == OPTIONAL && faults.covers(FaultInjector::OPTIONAL_FULL, at)))
            soak.fail(destination + ": copy failed at " + std::to_string(at) + " s, outside any fault on " +
                      storageNames[storage]);
    }

    // The RAM-disk files of the shift are gone, and its INTERNAL copies, except those the EXTERNAL storage could not
    // copy, which stay intact.
    void checkDeletions(const Shift& shift, Files ramLeft, Files internalLeft, const Files& kept) {
        const std::string& internal = soak.sandbox.targets[INTERNAL];
        const struct {
            Files& files;
            const std::string& root;
            const char* what;
        } deletions[] = {{ramLeft, soak.sandbox.ramdisk, " files left on the RAM disk"},
                         {internalLeft, internal, " INTERNAL copies not deleted"}};
        for (const auto& deletion : deletions) {
            auto gone = [&]() {
                auto removed = [&](const File* file) { return !fileExists(deletion.root + "/" + file->relative); };
                deletion.files.erase(std::remove_if(deletion.files.begin(), deletion.files.end(), removed),
                                     deletion.files.end());
                return deletion.files.empty();
            };
            if (!soak.waitFor(60, gone, 0.2))
                soak.fail("shift " + std::to_string(shift.number) + ": " + std::to_string(deletion.files.size()) +
                          deletion.what + " 60 s after the shift, e.g. " + deletion.files.front()->relative);
        }
        for (const File* file : kept) {
            const std::string path = internal + "/" + file->relative;
            if (!soak.waitFor(
                    60, [&]() { return soak.log.saw(LogWatcher::NOT_REMOVING, path); }, 0.2))
                soak.fail(path + ": EXTERNAL copy failed, but no \"Warning: Not removing\" line");
            std::string problem = file->copyProblem(path);
            if (!problem.empty()) soak.fail(path + ": the only full copy besides the RAM disk's is lost: " + problem);
            soak.add("checked: kept INTERNAL copies");
        }
    }
};

}  // namespace

void runChecker(SoakContext& soak, FaultInjector& faults, Clients& clients) {
    Checker checker{soak, faults, clients};
    for (std::unique_ptr<Shift> shift; (shift = soak.shifts.pop()) != nullptr;)
        if (!soak.interrupted) checker.check(*shift);
}
