#include "log/LogTimerThread.h"

#include "util/Time.h"

LogTimerThread::LogTimerThread(const std::string& logFilePath, int maxSize, int maxNumber)
    : logFile(logFilePath), maxSize(maxSize), maxNumber(maxNumber) {}

void LogTimerThread::run() {
    const int64_t second = 1000000000;
    for (;;) {
        logFile.rotateIfLarger(maxSize, maxNumber);
        LogFile::reportRepeats(LogFile::monotonicSeconds());
        UTILITIES::sleepNanoSeconds(second);
    }
}
