#include "soak/SoakContext.h"

#include <stdarg.h>
#include <stdio.h>

#include <thread>

static_assert(std::atomic<bool>::is_always_lock_free, "the signal handler sets the flags");

SoakContext::SoakContext() : log(*this), start(std::chrono::steady_clock::now()) {}

double SoakContext::elapsed() const {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

void SoakContext::pause(double seconds) {
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
}

void SoakContext::say(const char* format, ...) {
    std::lock_guard<std::mutex> guard(outputMutex);
    printf("[%7.1f s] ", elapsed());
    va_list arguments;
    va_start(arguments, format);
    vprintf(format, arguments);
    va_end(arguments);
    printf("\n");
    fflush(stdout);
}

void SoakContext::fail(const std::string& text) {
    std::lock_guard<std::mutex> guard(failureMutex);
    ++failureTotal;
    if (keptFailures.size() < 50) keptFailures.push_back(text);
    if (failureTotal <= 50) fprintf(stderr, "[%7.1f s] soak: FAILED: %s\n", elapsed(), text.c_str());
    fflush(stderr);
}

void SoakContext::giveUp(const std::string& text) {
    fail(text);
    stopping = true;
}

size_t SoakContext::failures(std::vector<std::string>* first) {
    std::lock_guard<std::mutex> guard(failureMutex);
    if (first != nullptr) *first = keptFailures;
    return failureTotal;
}
