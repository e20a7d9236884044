#include "support/CopyRig.h"

#include <sstream>

Storage::Params CopyRig::params(const std::string& id, StorageType type) const {
    Storage::Params params;
    params.storageID = id;
    params.type = type;
    params.logfile = dir / (id + ".log");
    params.logfile_max_number = 10;
    params.logfile_max_size = 1 << 30;
    params.history_max_entries = 5;
    params.n_copy_processes = 1;
    params.target = dir / id;
    params.mountpoint = dir.path();
    params.ramdisk_mountpoint = ramdisk;
    params.fillstate_limit = 100;
    return params;
}

std::string CopyRig::putNumbered(const std::string& ramdisk, int count,
                                 const std::function<std::string(int)>& content) {
    std::string lines;
    for (int i = 0; i < count; ++i) {
        put(ramdisk + "/run/f" + std::to_string(i), content(i));
        lines += ramdisk + "/./run/f" + std::to_string(i) + "\n";
    }
    return lines;
}

bool CopyRig::waitForBooked(Storage& storage, uint32_t n) {
    return waitUntil([&]() {
        uint32_t booked = 0;
        for (const DebitCredit::HistEntry& entry : storage.history(-1)) booked += entry.copied + entry.failed;
        return booked >= n;
    });
}

std::string CopyRig::jobLog(const Storage& storage) {
    std::istringstream lines(readFile(storage.getParams().logfile));
    std::string kept;
    for (std::string line; std::getline(lines, line);)
        if (line.find(": Looking for recently created files by TAVRO") == std::string::npos) kept += line + "\n";
    return kept;
}
