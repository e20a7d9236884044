#include "support/LogWatch.h"

#include <time.h>
#include <unistd.h>

#include "support/TempDir.h"

int countInFile(const std::string& path, const std::string& text) {
    if (!fileExists(path)) return 0;
    std::string content = readFile(path);
    int count = 0;
    for (size_t at = content.find(text); at != std::string::npos; at = content.find(text, at + text.size())) ++count;
    return count;
}

bool waitForLogCount(const std::string& path, const std::string& text, int count, double seconds,
                     const std::function<void()>& betweenPolls) {
    struct timespec start;
    clock_gettime(CLOCK_MONOTONIC, &start);
    for (;;) {
        if (betweenPolls) betweenPolls();
        if (countInFile(path, text) >= count) return true;
        struct timespec now;
        clock_gettime(CLOCK_MONOTONIC, &now);
        double elapsed = (now.tv_sec - start.tv_sec) + (now.tv_nsec - start.tv_nsec) / 1e9;
        if (elapsed > seconds) return false;
        usleep(5000);
    }
}
