#include "support/CopyRig.h"

#include <chrono>
#include <sstream>
#include <thread>

const int64_t CopyRig::shiftTime;

CopyRig::CopyRig() : ramdisk(dir / "ramdisk") {
    makeDirectories(ramdisk);
}

Storage::Params CopyRig::params(const std::string& id, int type) const {
    Storage::Params params;
    params.storageID = id;
    params.type = type;
    params.logfile = dir / (id + ".log");
    params.logfile_max_number = 10;
    params.logfile_max_size = 1 << 30;
    params.history_max_entries = 5;
    params.n_copy_processes = 1;
    params.target = dir / id;
    // The link thread of an INTERNAL or EXTERNAL storage watches a real file
    // system whose fill state never passes 100 percent: it replaces nothing.
    params.mountpoint = dir.path();
    params.fillstate_limit = 100;
    return params;
}

Storage* CopyRig::start(const Storage::Params& params) const {
    Storage* storage = new Storage(params);
    storage->setTavroTime(shiftTime, 0, 0);
    return storage;
}

std::string CopyRig::source(const std::string& relative, const std::string& content) const {
    put(ramdisk + "/" + relative, content);
    return ramdisk + "/./" + relative;
}

void CopyRig::put(const std::string& path, const std::string& content) {
    makeDirectories(path.substr(0, path.rfind('/')));
    writeFile(path, content);
}

bool CopyRig::waitForBooked(Storage& storage, uint32_t n, double seconds) {
    return waitUntil(
        [&]() {
            uint32_t booked = 0;
            for (const DebitCredit::HistEntry& entry : storage.history(-1)) booked += entry.copied + entry.failed;
            return booked >= n;
        },
        seconds);
}

std::string CopyRig::jobLog(const Storage& storage) {
    std::istringstream lines(readFile(storage.getParams().logfile));
    std::string kept;
    for (std::string line; std::getline(lines, line);)
        if (line.find(": Looking for recently created files by TAVRO") == std::string::npos) kept += line + "\n";
    return kept;
}

uint32_t CopyRig::flagBits(const FileInfo& file) {
    uint32_t bits = 0;
    for (uint32_t bit = 1; bit <= FileInfo::EXTERNAL_REMOVED; bit <<= 1)
        if (file.isSet(bit)) bits |= bit;
    return bits;
}

bool CopyRig::waitUntil(const std::function<bool()>& done, double seconds) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}
