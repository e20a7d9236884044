#ifndef VELLORT_TESTS_SUPPORT_ACQUISITIONSCRIPT_H
#define VELLORT_TESTS_SUPPORT_ACQUISITIONSCRIPT_H

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "support/FifoWriter.h"

// The acquisition program as the durability tests play it, in a thread of its
// own: numbered files of 1 KiB to 300 KiB written onto the RAM disk and
// announced on the daemon's pipe at a steady rate, with user shifts and quiet
// moments where the script has them. A file's bytes follow from its number,
// so any copy of it can be compared with what was written. play(),
// waitForEnd() and stop() are called from one thread, the rest from any.
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

    AcquisitionScript(const AcquisitionScript&) = delete;
    AcquisitionScript& operator=(const AcquisitionScript&) = delete;

    // Plays `script` once the one before has ended; file numbers go on.
    void play(const std::vector<Step>& script);
    // Waits until the script has been played; false after `seconds`.
    bool waitForEnd(double seconds = 60);
    // Ends the script before its next file (in a pause at once) and closes
    // the pipe, as the acquisition does when the power goes.
    void stop();

    // Files announced so far, numbered from 0.
    long announced() const { return announced_; }
    // The number of the first file after the last user shift.
    long lastShiftStart() const { return lastShiftStart_; }
    // A file or line that could not be written; "" while all went well.
    std::string problem() const;

    // run<n>/img_<file>.raw: a new folder every 100 files, for the copies' new directories.
    static std::string name(long file);
    // The file's bytes, in a buffer of the calling thread's that its next call
    // reuses: the checks make the bytes of thousands of files, and a fresh
    // buffer for each costs the thread sanitizer dearly.
    static const std::string& content(long file);
    // The number in a path ending in a name(); -1 when it has none.
    static long number(const std::string& path);

private:
    void _play(const std::vector<Step>& script);
    bool _wait(double until);  // false when stopped
    // Writes the next file and announces it; false with the reason in `problem`.
    bool _announce(std::string& problem);

    const std::string ramdisk_;
    const int perSecond_;
    FifoWriter pipe_;  // the player's alone
    std::thread player_;
    std::atomic<long> announced_{0};
    std::atomic<long> lastShiftStart_{0};
    int shifts_ = 0;  // the player's alone

    mutable std::mutex mutex_;  // guards the members below
    std::condition_variable changed_;
    bool stopping_ = false;
    bool ended_ = true;
    std::string problem_;
};

#endif
