#include "soak/ResourceSampler.h"

#include <dirent.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <memory>
#include <string>

#include "soak/SoakContext.h"

ResourceSampler::ResourceSampler(SoakContext& soak, double seconds)
    : soak(soak),
      seconds(seconds),
      reportEvery(std::max(10.0, seconds / 40)),
      nextSample(soak.elapsed()),
      nextReport(soak.elapsed() + reportEvery) {}

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
    printf("%8.0f %9ld %8ld %5ld %6.1f %6.1f %6.1f %8.1f %7ld %6d\n", s.at, s.rssKiB, s.threads, s.descriptors,
           fillState(sandbox.ramdisk).percent, fillState(sandbox.internalMount).percent,
           fillState(sandbox.optionalMount).percent, fillState(sandbox.externalMount).usedBytes / double(MiB), files,
           shifts);
    fflush(stdout);
    if (soak.elapsed() >= nextReport) nextReport += reportEvery;
}

// Warm-up is the first 30 s (or a fifth of the run, if longer).
void ResourceSampler::check(bool alive) {
    double warmUp = std::max(30.0, seconds / 5);
    for (const Sample& sample : samples) {
        if (sample.at > warmUp + 5) break;
        if (sample.at >= warmUp - 5 || warm.rssKiB < 0) warm = sample;
    }
    for (const Sample& sample : samples) {
        peak.rssKiB = std::max(peak.rssKiB, sample.rssKiB);
        peak.threads = std::max(peak.threads, sample.threads);
        peak.descriptors = std::max(peak.descriptors, sample.descriptors);
    }
    final = samples.back();
    if (!alive) return;
    _checkBounded("VmRSS (KiB)", warm.rssKiB, final.rssKiB, 16 * 1024);
    _checkBounded("threads", warm.threads, final.threads, 8);
    _checkBounded("open descriptors", warm.descriptors, final.descriptors, 16);
}

void ResourceSampler::printSummary(bool alive) {
    printf("daemon: %s; VmRSS KiB warm-up %ld peak %ld final %ld; threads %ld/%ld/%ld; fds %ld/%ld/%ld\n",
           alive ? "alive" : "DEAD", warm.rssKiB, peak.rssKiB, final.rssKiB, warm.threads, peak.threads, final.threads,
           warm.descriptors, peak.descriptors, final.descriptors);
}

ResourceSampler::Sample ResourceSampler::_sample() {
    Sample sample;
    sample.at = soak.elapsed();
    if (soak.sandbox.daemonPid() <= 0) return sample;
    std::string base = "/proc/" + std::to_string(soak.sandbox.daemonPid());
    FILE* status = fopen((base + "/status").c_str(), "r");
    if (status != nullptr) {
        char line[256];
        while (fgets(line, sizeof line, status) != nullptr) {
            if (strncmp(line, "VmRSS:", 6) == 0) sample.rssKiB = atol(line + 6);
            if (strncmp(line, "Threads:", 8) == 0) sample.threads = atol(line + 8);
        }
        fclose(status);
    }
    std::unique_ptr<DIR, int (*)(DIR*)> fds(opendir((base + "/fd").c_str()), closedir);
    if (fds) {
        sample.descriptors = 0;
        while (struct dirent* entry = readdir(fds.get()))
            if (entry->d_name[0] != '.') ++sample.descriptors;
    }
    return sample;
}

void ResourceSampler::_checkBounded(const char* what, long warm, long final, long margin) {
    if (warm < 0 || final < 0) return soak.fail(std::string("no ") + what + " figures for the daemon");
    if (final > 2 * warm + margin)
        soak.fail(std::string(what) + " grew from " + std::to_string(warm) + " after warm-up to " +
                  std::to_string(final) + " (limit " + std::to_string(2 * warm + margin) + ")");
}
