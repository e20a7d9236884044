#include "util/Stop.h"

#include <chrono>
#include <thread>
#include <atomic>

namespace {

std::atomic<bool> stopping(false);
std::atomic<bool> aborting(false);
std::atomic<int> steps(0);

}  // namespace

namespace UTILITIES {

void requestStop() {
    stopping = true;
}

bool stopRequested() {
    return stopping;
}

void abortCopies() {
    aborting = true;
}

bool copiesAborted() {
    return aborting.load(std::memory_order_relaxed);
}

int fileSteps() {
    return steps;
}

bool waitForFileSteps(double seconds) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (steps > 0) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

void parkForStop() {
    for (;;) std::this_thread::sleep_for(std::chrono::seconds(3600));
}

FileStep::FileStep() {
    ++steps;
    allowed_ = !stopping;
    if (!allowed_) --steps;
}

FileStep::~FileStep() {
    if (allowed_) --steps;
}

}  // namespace UTILITIES
