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

std::string localTimeText(int64_t seconds, const char* format) {
    const time_t when = static_cast<time_t>(seconds);
    struct tm local;
    char text[128];
    if (localtime_r(&when, &local) == nullptr || strftime(text, sizeof text, format, &local) == 0) return "";
    return text;
}

std::string asciiTime(int64_t seconds) {
    // ctime_r's own layout; the daemon sets no locale, so the names are English.
    const std::string text = localTimeText(seconds, "%a %b %e %H:%M:%S %Y\n");
    return text.empty() ? "(time unknown)\n" : text;
}

std::string asciiTime() {
    return asciiTime(static_cast<int64_t>(time(nullptr)));
}

std::string getString(int value) {
    return std::to_string(value);
}

}  // namespace UTILITIES
