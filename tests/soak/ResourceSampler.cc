#include <dirent.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "soak/Soak.h"

void ResourceSampler::tick() {
    if (soak.elapsed() < nextSample) return;
    samples.push_back(_sample());
    const long* figures = samples.back().figures;
    if (samples.size() % 2 == 1)  // every 10 s
        soak.say("daemon: VmRSS %ld KiB, %ld threads, %ld descriptors; RAM disk %.1f%% used, %.0f files", figures[0],
                 figures[1], figures[2], fillState(soak.sandbox.ramdisk).percent, soak.figure("acquisition: files"));
    nextSample += 5;
}

// Warm-up is the first 30 s (or a fifth of the run, if longer).
void ResourceSampler::finish(bool alive) {
    const double warmUp = std::max(30.0, seconds / 5);
    Sample warm, peak;
    for (const Sample& sample : samples) {
        if (sample.at <= warmUp + 5 && (sample.at >= warmUp - 5 || warm.figures[0] < 0)) warm = sample;
        for (int i = 0; i < 3; ++i) peak.figures[i] = std::max(peak.figures[i], sample.figures[i]);
    }
    const Sample& final = samples.back();
    const char* const names[] = {"VmRSS (KiB)", "threads", "open descriptors"};
    const long margins[] = {16 * 1024, 8, 16};
    for (int i = 0; i < 3 && alive; ++i) {
        const long limit = 2 * warm.figures[i] + margins[i];
        if (warm.figures[i] < 0 || final.figures[i] < 0)
            soak.fail(std::string("no ") + names[i] + " figures for the daemon");
        else if (final.figures[i] > limit)
            soak.fail(std::string(names[i]) + " grew from " + std::to_string(warm.figures[i]) + " after warm-up to " +
                      std::to_string(final.figures[i]) + " (limit " + std::to_string(limit) + ")");
    }
    soak.say("daemon: %s; VmRSS KiB warm-up %ld peak %ld final %ld; threads %ld/%ld/%ld; fds %ld/%ld/%ld",
             alive ? "alive" : "DEAD", warm.figures[0], peak.figures[0], final.figures[0], warm.figures[1],
             peak.figures[1], final.figures[1], warm.figures[2], peak.figures[2], final.figures[2]);
}

ResourceSampler::Sample ResourceSampler::_sample() {
    Sample sample;
    sample.at = soak.elapsed();
    if (soak.sandbox.daemon <= 0) return sample;
    const std::string base = "/proc/" + std::to_string(soak.sandbox.daemon);
    if (FILE* status = fopen((base + "/status").c_str(), "r")) {
        for (char line[256]; fgets(line, sizeof line, status) != nullptr;) {
            if (strncmp(line, "VmRSS:", 6) == 0) sample.figures[0] = atol(line + 6);
            if (strncmp(line, "Threads:", 8) == 0) sample.figures[1] = atol(line + 8);
        }
        fclose(status);
    }
    if (DIR* fds = opendir((base + "/fd").c_str())) {
        sample.figures[2] = 0;
        while (struct dirent* entry = readdir(fds)) sample.figures[2] += entry->d_name[0] != '.';
        closedir(fds);
    }
    return sample;
}
