#include "status_page/StatusPage.h"

#include <stdio.h>
#include <time.h>

#include <cmath>
#include <deque>
#include <map>
#include <sstream>
#include <vector>

#include "events/Publisher.h"
#include "health/StorageHealth.h"
#include "ledger/Storage.h"
#include "metrics/Metrics.h"
#include "net/MessageServer.h"
#include "thread/MutexGuard.h"
#include "util/Json.h"
#include "util/Time.h"

namespace {

using UTILITIES::jsonQuoted;

struct Message {
    double time;  // seconds since the epoch
    int code;
    std::string subject;
    std::string text;
};

struct Sample {
    double time;
    double fill;
    double inodes;
};

// Never freed: a thread may still remember a message while the process ends.
Mutex* const ringMutex = new Mutex(Mutex::NORMAL);
// Messages newest last.
std::deque<Message>& messages() REQUIRES(ringMutex) {
    static std::deque<Message> ring;
    return ring;
}
std::map<std::string, std::deque<Sample>>& samples() REQUIRES(ringMutex) {
    static std::map<std::string, std::deque<Sample>> rings;
    return rings;
}
int64_t lastSample GUARDED_BY(ringMutex) = 0;  // monotonic
bool sampled GUARDED_BY(ringMutex) = false;

double wallSeconds() {
    struct timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    return static_cast<double>(now.tv_sec) + now.tv_nsec / 1e9;
}


// JSON has no NaN nor infinity: null for both (not measured, or not filling).
std::string number(double value) {
    if (!std::isfinite(value)) return "null";
    char text[32];
    snprintf(text, sizeof text, "%.6g", value);
    return text;
}

// Seconds since the epoch, to the millisecond.
std::string epochSeconds(double value) {
    char text[32];
    snprintf(text, sizeof text, "%.3f", value);
    return text;
}

// The upper bound of the bucket in which the 99th percentile lies; null
// without observations, and the last bound when it lies beyond.
double delayP99(const METRICS::DelayHistogram& delay) {
    const uint64_t count = delay.count();
    if (count == 0) return NAN;
    const uint64_t rank = (count * 99 + 99) / 100;
    uint64_t seen = 0;
    for (int i = 0; i < METRICS::DelayHistogram::bucketCount; ++i) {
        seen += delay.bucket(i);
        if (seen >= rank) return METRICS::DelayHistogram::bounds[i];
    }
    return METRICS::DelayHistogram::bounds[METRICS::DelayHistogram::bucketCount - 1];
}

bool isError(int code) {
    return code == MessageServer::OVERFLOW_ERROR || code >= MessageServer::COPY_ERROR;
}

// The watched mount points, each with the first storage that watches it.
std::vector<const Storage*> mountWatchers(const std::vector<Storage*>& storages) {
    std::vector<const Storage*> watchers;
    std::map<std::string, bool> seen;
    for (const Storage* storage : storages) {
        const std::string& mountpoint = storage->getParams().mountpoint;
        if (storage->mountGauges() == nullptr || mountpoint.empty() || seen[mountpoint]) continue;
        seen[mountpoint] = true;
        watchers.push_back(storage);
    }
    return watchers;
}

}  // namespace

namespace STATUS_PAGE {

void rememberMessage(int code, const std::string& subject, const std::string& text) {
    Message message{wallSeconds(), code, subject, text};
    MutexGuard lock(ringMutex);
    messages().push_back(std::move(message));
    if (messages().size() > static_cast<size_t>(keptMessages)) messages().pop_front();
}

void sample(const METRICS::Sources& sources, int64_t monotonicNow) {
    MutexGuard lock(ringMutex);
    if (sampled && monotonicNow - lastSample < sampleSeconds * 1000000000LL) return;
    sampled = true;
    lastSample = monotonicNow;
    const double now = wallSeconds();
    for (const Storage* storage : mountWatchers(sources.storages)) {
        const METRICS::MountGauges* gauges = storage->mountGauges();
        std::deque<Sample>& ring = samples()[storage->getParams().mountpoint];
        ring.push_back({now, gauges->fill.load(), gauges->inodes.load()});
        if (ring.size() > static_cast<size_t>(keptSamples)) ring.pop_front();
    }
}

std::string statusJson(const METRICS::Sources& sources) {
    std::ostringstream out;
    const int64_t now = UTILITIES::monotonicNanoseconds();
    out << "{\"version\":" << jsonQuoted(sources.version) << ",\"time\":" << epochSeconds(wallSeconds())
        << ",\"filesAnnounced\":" << METRICS::filesAnnounced().load() << ",\"storages\":[";
    const char* separator = "";
    for (Storage* storage : sources.storages) {
        const METRICS::StorageCounters& c = storage->debitCredit().counters();
        StorageHealth::Snapshot health;
        if (storage->health() != nullptr) health = storage->health()->snapshot();
        out << separator << "{\"id\":" << jsonQuoted(storage->getParams().storageID) << ",\"type\":\""
            << storageTypeName(storage->getParams().type) << "\",\"state\":\""
            << StorageHealth::stateName(health.state) << "\",\"stateReason\":" << jsonQuoted(health.reason)
            << ",\"stateSince\":" << health.since << ",\"refilling\":" << (health.refilling ? "true" : "false")
            << ",\"copied\":" << c.copied.load()
            << ",\"failed\":" << c.failures.load() << ",\"retried\":" << c.retries.load()
            << ",\"verified\":" << c.verified.load() << ",\"verifyFailed\":" << c.verifyFailures.load()
            << ",\"bytes\":" << c.bytes.load() << ",\"pending\":" << c.pending.load() << ",\"oldestPendingSeconds\":"
            << number(static_cast<double>(storage->debitCredit().oldestPendingAge(now)) / 1e9)
            << ",\"delayP99Seconds\":" << number(delayP99(c.delay)) << ",\"history\":[";
        const char* entrySeparator = "";
        for (const DebitCredit::HistEntry& entry : storage->history(historyShifts)) {
            out << entrySeparator << "{\"usertime\":" << entry.time << ",\"uid\":" << entry.uid
                << ",\"gid\":" << entry.gid << ",\"pending\":" << static_cast<int32_t>(entry.pending)
                << ",\"copied\":" << static_cast<int32_t>(entry.copied)
                << ",\"failed\":" << static_cast<int32_t>(entry.failed)
                << ",\"verified\":" << static_cast<int32_t>(entry.verified)
                << ",\"verifyFailed\":" << static_cast<int32_t>(entry.verifyFailed) << '}';
            entrySeparator = ",";
        }
        out << "]}";
        separator = ",";
    }
    out << "],\"mounts\":[";
    MutexGuard lock(ringMutex);
    separator = "";
    for (const Storage* storage : mountWatchers(sources.storages)) {
        const METRICS::MountGauges* gauges = storage->mountGauges();
        const std::string& mountpoint = storage->getParams().mountpoint;
        out << separator << "{\"mountpoint\":" << jsonQuoted(mountpoint)
            << ",\"fillLimit\":" << storage->getParams().fillstate_limit / 100.0
            << ",\"fill\":" << number(gauges->fill.load()) << ",\"inodes\":" << number(gauges->inodes.load())
            << ",\"fullInSeconds\":" << number(gauges->fullIn.load()) << ",\"samples\":[";
        const char* sampleSeparator = "";
        for (const Sample& s : samples()[mountpoint]) {
            out << sampleSeparator << '[' << epochSeconds(s.time) << ',' << number(s.fill) << ',' << number(s.inodes)
                << ']';
            sampleSeparator = ",";
        }
        out << "]}";
        separator = ",";
    }
    out << "]";
    if (sources.events != nullptr)
        out << ",\"broker\":{\"address\":" << jsonQuoted(sources.events->broker())
            << ",\"connected\":" << (sources.events->connected() ? "true" : "false")
            << ",\"pending\":" << sources.events->pending() << ",\"published\":" << sources.events->published()
            << "}";
    out << ",\"messages\":[";
    separator = "";
    for (auto m = messages().rbegin(); m != messages().rend(); ++m) {
        out << separator << "{\"time\":" << epochSeconds(m->time) << ",\"code\":" << m->code
            << ",\"error\":" << (isError(m->code) ? "true" : "false")
            << ",\"subject\":" << jsonQuoted(m->subject.substr(0, 300)) << ",\"text\":" << jsonQuoted(m->text.substr(0, 300))
            << '}';
        separator = ",";
    }
    out << "]}";
    return out.str();
}

}  // namespace STATUS_PAGE
