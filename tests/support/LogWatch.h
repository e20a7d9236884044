#ifndef VELLORT_TESTS_SUPPORT_LOGWATCH_H
#define VELLORT_TESTS_SUPPORT_LOGWATCH_H

#include <functional>
#include <string>

// Waiting for the daemon's threads, mostly through the log file, the only
// trace they leave. Every wait has a deadline, so a hang fails the test.

// Tries done() every pollMs, at least once; false when `seconds` passed first.
bool waitUntil(const std::function<bool()>& done, double seconds = 30, int pollMs = 1);

// How often `text` occurs in the file at `path` (0 when it does not exist).
int countInFile(const std::string& path, const std::string& text);

// Waits until `text` occurs at least `count` times; false after `seconds`.
bool waitForLogCount(const std::string& path, const std::string& text, int count, double seconds = 20);

#endif
