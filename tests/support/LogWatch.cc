#include "support/LogWatch.h"

#include <chrono>
#include <thread>

#include "support/TempDir.h"

bool waitUntil(const std::function<bool()>& done, double seconds, int pollMs) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    for (; !done(); std::this_thread::sleep_for(std::chrono::milliseconds(pollMs)))
        if (std::chrono::steady_clock::now() > deadline) return false;
    return true;
}

int countInFile(const std::string& path, const std::string& text) {
    const std::string content = readFile(path);
    int count = 0;
    for (size_t at = content.find(text); at != std::string::npos; at = content.find(text, at + text.size())) ++count;
    return count;
}

bool waitForLogCount(const std::string& path, const std::string& text, int count, double seconds) {
    return waitUntil([&] { return countInFile(path, text) >= count; }, seconds, 5);
}
