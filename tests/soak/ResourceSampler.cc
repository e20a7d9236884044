#include <dirent.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "soak/Soak.h"

void ResourceSampler::tick(long files, int shifts) {
    if (soak.elapsed() < nextSample) return;
    if (samples.empty())
        printf("%8s %9s %8s %5s %6s %6s %6s %8s %7s %6s\n", "time s", "RSS KiB", "threads", "fds", "ram%", "int%",
               "opt%", "ext MiB", "files", "shifts");
    samples.push_back(_sample());
    nextSample += 5;
    if (soak.elapsed() < nextReport && samples.size() != 1) return;
    const Sample& s = samples.back();
    const Sandbox& sandbox = soak.sandbox;
    printf("%8.0f %9ld %8ld %5ld %6.1f %6.1f %6.1f %8.1f %7ld %6d\n", s.at, s.figures[0], s.figures[1], s.figures[2],
           fillState(sandbox.ramdisk).percent, fillState(sandbox.mountPoints[INTERNAL]).percent,
           fillState(sandbox.mountPoints[OPTIONAL]).percent,
           fillState(sandbox.mountPoints[EXTERNAL]).usedBytes / double(MiB), files, shifts);
    fflush(stdout);
    if (soak.elapsed() >= nextReport) nextReport += reportEvery;
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
    printf("daemon: %s; VmRSS KiB warm-up %ld peak %ld final %ld; threads %ld/%ld/%ld; fds %ld/%ld/%ld\n",
           alive ? "alive" : "DEAD", warm.figures[0], peak.figures[0], final.figures[0], warm.figures[1],
           peak.figures[1], final.figures[1], warm.figures[2], peak.figures[2], final.figures[2]);
}

ResourceSampler::Sample ResourceSampler::_sample() {
    Sample sample;
    sample.at = soak.elapsed();
    if (soak.sandbox.daemonPid() <= 0) return sample;
    const std::string base = "/proc/" + std::to_string(soak.sandbox.daemonPid());
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
