#ifndef VELLORT_LOG_LOGFILE_H
#define VELLORT_LOG_LOGFILE_H

#include <stdint.h>

#include <sstream>
#include <string>

#include "thread/Mutex.h"

class LogFile;

// A manipulator with an argument: `log << LogManip(&LogFile::errmsg, errno)`.
struct LogManip {
    LogManip(LogFile& (*function)(LogFile&, int), int argument) : function(function), argument(argument) {}

    LogFile& (*function)(LogFile&, int);
    int argument;
};

// The daemon's log stream. Every component that logs owns its own LogFile on
// the one configured log path; text is collected in the object and reaches the
// file only through endl or flush, as one append under the process-wide log
// mutex. So the lines of different threads never mix within one write.
//
// A LogFile object belongs to one thread; only the file is shared. It adds no
// time stamp or prefix: callers compose their lines. The file is opened anew for
// every write, so a rotation or a removal by hand needs no reopen.
//
// A problem that lasts (a missing mount point, checked twice a second) must not
// fill the log with one line: a text naming an error or a warning that was
// written to the same path less than repeatSeconds ago, by any LogFile, is
// left out and counted, and the count is written once its minute is over
// ("++ Left out <n> more of this text in <s> s: " and the text). Texts that
// name no problem, and problems that differ in any byte (another path,
// another storage), are always written at once.
class LogFile {
public:
    LogFile();
    explicit LogFile(const std::string& path);
    // Pending text that was never ended is dropped, not written.
    ~LogFile() = default;

    LogFile(const LogFile&) = delete;
    LogFile& operator=(const LogFile&) = delete;

    // Creates the file if needed (mode 0644) and remembers the path; sets the
    // open-failure flag when the file cannot be opened for appending.
    LogFile& open(const std::string& path);
    // As open, but without touching the file, which the first write makes:
    // for objects made often on a log that another object has opened.
    LogFile& use(const std::string& path);
    bool openFailed() const { return openFailed_; }
    const std::string& path() const { return path_; }

    template <typename T>
    LogFile& operator<<(const T& value) {
        std::ostringstream text;
        text << value;
        lineBuffer += text.str();
        return *this;
    }
    LogFile& operator<<(const std::string& value) {
        lineBuffer += value;
        return *this;
    }
    // A null C string appends nothing.
    LogFile& operator<<(const char* value) {
        if (value != nullptr) lineBuffer += value;
        return *this;
    }
    LogFile& operator<<(char* value) { return *this << static_cast<const char*>(value); }
    LogFile& operator<<(LogFile& (*manipulator)(LogFile&)) { return manipulator(*this); }
    LogFile& operator<<(const LogManip& manipulator) { return manipulator.function(*this, manipulator.argument); }

    LogFile& flush();
    LogFile& endl();
    // Appends the system's text for errnum, without newline or number.
    LogFile& errmsg(int errnum);
    static LogFile& errmsg(LogFile& log, int errnum);

    // Appends text to the file in one write under the log mutex. Failures are
    // dropped on purpose: there is nowhere left to report them.
    void log(const std::string& text);

    // Size of the log file in bytes, -1 when it cannot be opened.
    int64_t fileSize();
    // Shifts path.0 .. path.(count-1) up by one and makes the log path.0.
    void rotate(int count);
    // rotate(count) when the log is larger than maxSize bytes, the sizes
    // compared as unsigned numbers (a negative maxSize never rotates). Check and
    // rotation are made under one hold of the log mutex, so that the copy
    // schedulers of several storages cannot rotate the same log twice. A log
    // that does not exist is not rotated: that would only shift the backups
    // and lose the oldest. True when it rotated.
    bool rotateIfLarger(int maxSize, int count);

    // Writes the count of every text left out whose minute has passed before
    // `now` (seconds of monotonicSeconds), starting its next minute; forgets
    // texts that did not come again. log() does it too, at most once a second;
    // the log timer does it while nothing is logged.
    static void reportRepeats(int64_t now);
    static int64_t monotonicSeconds();
    static constexpr int64_t repeatSeconds = 60;

    // Every write to a log, its size and its rotation; recursive, never destroyed.
    static Mutex* __mainMutex;

private:
    std::string path_;
    std::string lineBuffer;
    bool openFailed_;
};

LogFile& flush(LogFile& log);
LogFile& endl(LogFile& log);

#endif
