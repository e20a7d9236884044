#ifndef VELLORT_TESTS_SUPPORT_LOGWATCH_H
#define VELLORT_TESTS_SUPPORT_LOGWATCH_H

#include <functional>
#include <string>

// Waiting for the daemon's threads through the log file, the only trace they
// leave. The file is read anew every few milliseconds until the deadline.

// How often `text` occurs in the file at `path` (0 when it does not exist).
int countInFile(const std::string& path, const std::string& text);

// Waits until `text` occurs at least `count` times; false after `seconds`.
// `betweenPolls`, if given, runs before every look (to send a message that
// makes a worker notice its client has gone, for instance).
bool waitForLogCount(const std::string& path, const std::string& text, int count, double seconds = 20,
                     const std::function<void()>& betweenPolls = nullptr);

#endif
