#ifndef VELLORT_TESTS_SUPPORT_COPYRIG_H
#define VELLORT_TESTS_SUPPORT_COPYRIG_H

#include <stdint.h>

#include <functional>
#include <string>

#include "ledger/FileInfo.h"
#include "ledger/Storage.h"
#include "support/TempDir.h"

// Real storages copying between real folders of one fresh directory, driven
// as the pipe reader drives them: insertToBuffer, then flushBuffer. Every
// storage is made with new and never deleted: its threads run until the
// test's process ends, as in the daemon. All storages of a rig share one
// shift, so one FileInfo can be handed to several of them.
class CopyRig {
public:
    static const int64_t shiftTime = 1000;

    CopyRig();

    // Settings of a storage whose target is dir/<id> and whose log is its own
    // file dir/<id>.log, large enough never to rotate. Only the copy path
    // writes to the log of an OPTIONAL storage; the space threads of the other
    // types add lines of their own.
    Storage::Params params(const std::string& id, int type) const;
    // Makes the storage and opens its shift.
    Storage* start(const Storage::Params& params) const;

    // Writes ramdisk/<relative> (directories made as needed) and returns the
    // announced path: ramdisk + "/./" + relative.
    std::string source(const std::string& relative, const std::string& content) const;
    // Writes a file, making its directories as needed.
    static void put(const std::string& path, const std::string& content);
    // A record of the rig's shift for the announced path.
    static FileInfo file(const std::string& announced) { return FileInfo(announced, shiftTime); }

    // Waits until the storage has booked n files as copied or failed.
    static bool waitForBooked(Storage& storage, uint32_t n, double seconds = 30);
    // The storage's log without the copy thread's "Looking for ..." lines, whose
    // place among the workers' lines is a matter of timing.
    static std::string jobLog(const Storage& storage);

    // The flag word of a record, read bit by bit.
    static uint32_t flagBits(const FileInfo& file);
    // Waits until done() holds, polling every millisecond; false after `seconds`.
    static bool waitUntil(const std::function<bool()>& done, double seconds = 30);

    TempDir dir;
    const std::string ramdisk;
};

#endif
