#include "support/AcquisitionScript.h"

#include <errno.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <chrono>

#include "support/LogWatch.h"
#include "support/TempDir.h"

namespace {

// splitmix64: words that differ from file to file and from place to place.
uint64_t mix(uint64_t x) {
    x += 0x9e3779b97f4a7c15ULL;
    x = (x ^ (x >> 30)) * 0xbf58476d1ce4e5b9ULL;
    x = (x ^ (x >> 27)) * 0x94d049bb133111ebULL;
    return x ^ (x >> 31);
}

double now() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

}  // namespace

void AcquisitionScript::play(const std::vector<Step>& script) {
    if (player_.joinable()) player_.join();
    stopping_ = false;
    ended_ = false;
    player_ = std::thread(&AcquisitionScript::_play, this, script);
}

bool AcquisitionScript::waitForEnd(double seconds) {
    return waitUntil([this] { return ended_.load(); }, seconds, 10);
}

void AcquisitionScript::stop() {
    stopping_ = true;
    if (player_.joinable()) player_.join();
    pipe_.close();
}

bool AcquisitionScript::_waitUntil(double until) const {
    for (double left; !stopping_ && (left = until - now()) > 0;)
        std::this_thread::sleep_for(std::chrono::duration<double>(std::min(left, 0.01)));
    return !stopping_;
}

void AcquisitionScript::_play(const std::vector<Step>& script) {
    std::string& problem = problem_;
    auto write = [&](const std::string& line) {
        if (!pipe_.write(line)) problem = "pipe: " + std::string(strerror(errno));
        return problem.empty();
    };
    if (!pipe_.open()) problem = "no reader on the pipe";
    for (size_t next = 0, shifts = 0; problem.empty() && !stopping_ && next < script.size(); ++next) {
        const Step& step = script[next];
        const double start = now();
        if (step.kind == Step::SHIFT) {
            write("usershift: " + std::to_string(2000 + shifts++) + " 3000\n");
            lastShiftStart_ = announced_.load();
        } else if (step.kind == Step::PAUSE) {
            _waitUntil(start + step.seconds);
        }
        // Paced from the step's start, so that the rate holds however long a write takes.
        for (double due = start; step.kind == Step::FILES && due < start + step.seconds; due += 1.0 / perSecond_) {
            const long file = announced_;
            const std::string path = ramdisk_ + "/" + name(file);
            if (!_waitUntil(due)) break;
            if (file % 100 == 0) makeDirectories(path.substr(0, path.rfind('/')));
            if (!writeFile(path, content(file), &problem)) problem = path + ": " + problem;
            if (!problem.empty() || !write(ramdisk_ + "/./" + name(file) + "\n")) break;
            ++announced_;
        }
    }
    ended_ = true;
}

std::string AcquisitionScript::name(long file) {
    return "run" + std::to_string(file / 100) + "/img_" + std::to_string(file) + ".raw";
}

const std::string& AcquisitionScript::content(long file) {
    thread_local std::string bytes;
    // Mostly small files and a few large ones, as the detectors write them.
    const double share = static_cast<double>(mix(static_cast<uint64_t>(file)) % 1000) / 1000.0;
    bytes.resize(1024 + static_cast<size_t>(share * share * share * 300 * 1024));
    for (size_t at = 0; at < bytes.size(); at += 8) {
        const uint64_t word = mix(static_cast<uint64_t>(file) << 32 | at);
        memcpy(&bytes[at], &word, std::min<size_t>(8, bytes.size() - at));
    }
    return bytes;
}

long AcquisitionScript::number(const std::string& path) {
    const size_t at = path.rfind("/img_");
    return at == std::string::npos ? -1 : atol(path.c_str() + at + 5);
}
