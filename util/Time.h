#ifndef VELLORT_UTIL_TIME_H
#define VELLORT_UTIL_TIME_H

#include <stdint.h>

#include <string>

namespace UTILITIES {

// Sleeps n nanoseconds (n >= 0), in half-second steps for long pauses, resuming
// after signals. Returns 0.
int sleepNanoSeconds(int64_t nanoseconds);

// CLOCK_MONOTONIC now, in nanoseconds.
int64_t monotonicNanoseconds();

// `seconds` since the epoch in local time, written by strftime's `format`;
// "" when the time has no local date (far outside the years the system can
// represent). The daemon's one way to write a time.
std::string localTimeText(int64_t seconds, const char* format);

// A local time as ctime_r writes it, "Sun Dec  6 12:54:00 2026\n", newline
// included; "(time unknown)\n" without a local date. Without an argument: now.
std::string asciiTime(int64_t seconds);
std::string asciiTime();

// Decimal text of an int, as a default stream writes it.
std::string getString(int value);

}  // namespace UTILITIES

#endif
