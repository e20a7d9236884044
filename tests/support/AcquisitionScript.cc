#include "support/AcquisitionScript.h"

#include <errno.h>
#include <stdlib.h>
#include <string.h>

#include <chrono>

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
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = false;
        ended_ = false;
    }
    player_ = std::thread(&AcquisitionScript::_play, this, script);
}

bool AcquisitionScript::waitForEnd(double seconds) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, std::chrono::duration<double>(seconds), [this] { return ended_; });
}

void AcquisitionScript::stop() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    changed_.notify_all();
    if (player_.joinable()) player_.join();
    pipe_.close();
}

std::string AcquisitionScript::problem() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return problem_;
}

bool AcquisitionScript::_wait(double until) {
    std::unique_lock<std::mutex> lock(mutex_);
    return !changed_.wait_for(lock, std::chrono::duration<double>(until - now()), [this] { return stopping_; });
}

void AcquisitionScript::_play(const std::vector<Step>& script) {
    std::string problem;
    bool going = pipe_.open();
    if (!going) problem = "no reader on the pipe";
    for (size_t next = 0; going && next < script.size(); ++next) {
        const Step& step = script[next];
        const double start = now(), until = start + step.seconds;
        if (step.kind == Step::SHIFT) {
            going = pipe_.write("usershift: " + std::to_string(2000 + shifts_++) + " 3000\n");
            if (!going) problem = "pipe: " + std::string(strerror(errno));
            lastShiftStart_ = announced_.load();
        } else if (step.kind == Step::PAUSE) {
            going = _wait(until);
        } else {
            // Paced from the step's start, so that the rate holds however long a write takes.
            for (double due = start; going && due < until; due += 1.0 / perSecond_)
                going = _wait(due) && _announce(problem);
        }
    }
    std::lock_guard<std::mutex> lock(mutex_);
    problem_ = problem;
    ended_ = true;
    changed_.notify_all();
}

bool AcquisitionScript::_announce(std::string& problem) {
    const long file = announced_;
    const std::string path = ramdisk_ + "/" + name(file);
    if (file % 100 == 0) makeDirectories(path.substr(0, path.rfind('/')));
    if (!writeFile(path, content(file), &problem)) {
        problem = path + ": " + problem;
        return false;
    }
    if (!pipe_.write(ramdisk_ + "/./" + name(file) + "\n")) {
        problem = "pipe: " + std::string(strerror(errno));
        return false;
    }
    ++announced_;
    return true;
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
        if (at + 8 <= bytes.size())
            memcpy(&bytes[at], &word, 8);
        else
            memcpy(&bytes[at], &word, bytes.size() - at);
    }
    return bytes;
}

long AcquisitionScript::number(const std::string& path) {
    const size_t at = path.rfind("/img_");
    return at == std::string::npos ? -1 : atol(path.c_str() + at + 5);
}
