#ifndef VELLORT_LOG_LOGTIMERTHREAD_H
#define VELLORT_LOG_LOGTIMERTHREAD_H

#include <string>

#include "log/LogFile.h"
#include "thread/Thread.h"

// Keeps the log in shape while the daemon is idle, once a second: rotates it
// when it is larger than maxSize (the copy schedulers check only when they
// have files to copy, so an idle daemon's log would grow without end), and
// writes the counts of left-out repeated texts (LogFile::reportRepeats) that
// no later write has written yet.
//
// Made by the start-up after the settings are logged, never deleted. Owns its
// own LogFile on the daemon's log.
class LogTimerThread : public Thread {
public:
    LogTimerThread(const std::string& logFilePath, int maxSize, int maxNumber);

protected:
    void run() override;

private:
    LogFile logFile;
    const int maxSize;
    const int maxNumber;
};

#endif
