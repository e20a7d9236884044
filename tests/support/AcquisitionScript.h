#ifndef VELLORT_TESTS_SUPPORT_ACQUISITIONSCRIPT_H
#define VELLORT_TESTS_SUPPORT_ACQUISITIONSCRIPT_H

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "support/FifoWriter.h"

// The acquisition program as the durability tests play it, in a thread of its own: numbered files of 1 KiB to 300 KiB
// written onto the RAM disk and announced on the daemon's pipe at a steady rate, with user shifts and quiet moments
// where the script has them. A file's bytes follow from its number, so any copy of it can be compared with what was
// written. play(), waitForEnd(), stop() and problem() are called from one thread.
class AcquisitionScript {
public:
    struct Step {
        enum Kind { FILES, PAUSE, SHIFT } kind;
        double seconds;  // of files or of quiet; none for a shift
    };

    // Files go below `ramdisk` and are announced as <ramdisk>/./<name>, perSecond a second.
    AcquisitionScript(const std::string& ramdisk, const std::string& pipe, int perSecond)
        : ramdisk_(ramdisk), perSecond_(perSecond), pipe_(pipe) {}
    ~AcquisitionScript() { stop(); }

    void play(const std::vector<Step>& script);
    // Waits until the script has been played; false after `seconds`.
    bool waitForEnd(double seconds = 60);
    // Ends the script before its next file and closes the pipe, as the acquisition does when the power goes.
    void stop();
    // A file or line that could not be written, once stopped or ended; "" while all went well.
    const std::string& problem() const { return problem_; }

    // Files announced so far, numbered from 0, and the first after the last user shift.
    long announced() const { return announced_; }
    long lastShiftStart() const { return lastShiftStart_; }

    // run<n>/img_<file>.raw: a new folder every 100 files, for the copies' new directories.
    static std::string name(long file);
    // The file's bytes, in a buffer of the calling thread's that its next call reuses.
    static const std::string& content(long file);
    // The number in a path ending in a name(); -1 when it has none.
    static long number(const std::string& path);

private:
    void _play(const std::vector<Step>& script);
    // Sleeps until `until` (steady seconds) in short slices; false once stopped.
    bool _waitUntil(double until) const;

    const std::string ramdisk_;
    const int perSecond_;
    FifoWriter pipe_;  // the player's alone
    std::thread player_;
    std::atomic<bool> stopping_{false};
    std::atomic<bool> ended_{true};
    std::atomic<long> announced_{0};
    std::atomic<long> lastShiftStart_{0};
    std::string problem_;  // the player's until ended_
};

#endif
