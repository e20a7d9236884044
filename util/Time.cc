#include "util/Time.h"

#include <errno.h>
#include <time.h>

namespace {

const int64_t halfSecond = 500000000;

int sleepResuming(int64_t nanoseconds) {
    struct timespec request;
    request.tv_sec = nanoseconds / 1000000000;
    request.tv_nsec = nanoseconds % 1000000000;
    struct timespec remaining;
    int result;
    while ((result = nanosleep(&request, &remaining)) == -1 && errno == EINTR) request = remaining;
    return result;
}

}  // namespace

namespace UTILITIES {

int64_t monotonicNanoseconds() {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

int sleepNanoSeconds(int64_t nanoseconds) {
    if (nanoseconds <= halfSecond) return sleepResuming(nanoseconds);
    int result = 0;
    for (int64_t steps = nanoseconds / halfSecond; steps > 0; --steps) result = sleepResuming(halfSecond);
    if (nanoseconds % halfSecond != 0) result = sleepResuming(nanoseconds % halfSecond);
    return result;
}

std::string asciiTime() {
    time_t now = time(nullptr);
    char text[64];
    if (ctime_r(&now, text) == nullptr) return "(time unknown)\n";
    return text;
}

std::string getString(int value) { return std::to_string(value); }

}  // namespace UTILITIES
