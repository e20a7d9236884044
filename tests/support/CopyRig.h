#ifndef VELLORT_TESTS_SUPPORT_COPYRIG_H
#define VELLORT_TESTS_SUPPORT_COPYRIG_H

#include <stdint.h>

#include <functional>
#include <string>

#include "ledger/FileInfo.h"
#include "ledger/Storage.h"
#include "support/LogWatch.h"
#include "support/TempDir.h"

// Real storages copying between real folders of one fresh directory, driven as the pipe reader drives them:
// insertToBuffer, then flushBuffer. Storages are never deleted: their threads run until the test's process ends, as in
// the daemon. All storages of a rig share one shift, so one FileInfo can be handed to several of them.
class CopyRig {
public:
    static constexpr int64_t shiftTime = 1000;

    CopyRig() : ramdisk(dir / "ramdisk") { makeDirectories(ramdisk); }

    // Target dir/<id>, log dir/<id>.log (never rotated), one copy worker, a watched file system never over its limit.
    Storage::Params params(const std::string& id, StorageType type) const;
    // Makes the storage and opens the rig's shift.
    static Storage* start(const Storage::Params& params) {
        Storage* storage = new Storage(params);
        storage->setTavroTime(shiftTime, 0, 0);
        return storage;
    }
    // Writes a file, making its directories as needed.
    static void put(const std::string& path, const std::string& content) {
        makeDirectories(path.substr(0, path.rfind('/')));
        writeFile(path, content);
    }
    // Writes ramdisk/<relative>; returns the announced path ramdisk/./<relative>.
    std::string source(const std::string& relative, const std::string& content) const {
        put(ramdisk + "/" + relative, content);
        return ramdisk + "/./" + relative;
    }
    // Writes ramdisk/run/f0 ... f<count - 1> with content(i); returns the lines that announce them.
    static std::string putNumbered(const std::string& ramdisk, int count,
                                   const std::function<std::string(int)>& content);
    static FileInfo file(const std::string& announced) { return FileInfo(announced, shiftTime); }

    // Waits until the storage has booked n files as copied or failed.
    static bool waitForBooked(Storage& storage, uint32_t n);
    // The storage's log without the copy thread's "Looking for ..." lines, whose place is a matter of timing.
    static std::string jobLog(const Storage& storage);
    static bool waitUntil(const std::function<bool()>& done, double seconds = 30) { return ::waitUntil(done, seconds); }

    TempDir dir;
    const std::string ramdisk;
};

#endif
