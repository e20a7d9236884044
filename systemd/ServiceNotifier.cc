#include "systemd/ServiceNotifier.h"

#include <math.h>
#include <stdio.h>
#include <stdlib.h>
#include <time.h>

#include <set>

#include <systemd/sd-daemon.h>

#include "ledger/Cascade.h"
#include "ledger/Storage.h"
#include "metrics/Metrics.h"
#include "thread/MutexGuard.h"
#include "util/Time.h"

namespace SYSTEMD {

namespace {

// Taken before a stamp's own mutex, never after. Never freed, as the
// registry: threads may outlive main.
Mutex* registryMutex = new Mutex(Mutex::NORMAL);
// Every stamp that lives.
std::set<const BusyStamp*>& registry() REQUIRES(registryMutex) {
    static std::set<const BusyStamp*>* stamps =
        new std::set<const BusyStamp*>();  // never freed: threads may outlive main
    return *stamps;
}

const int64_t second = 1000000000;

}  // namespace

BusyStamp::BusyStamp(const std::string& who) : who(who) {
    MutexGuard guard(registryMutex);
    registry().insert(this);
}

BusyStamp::~BusyStamp() {
    MutexGuard guard(registryMutex);
    registry().erase(this);
}

void BusyStamp::begin(const std::string& what) {
    {
        MutexGuard guard(&whatMutex);
        this->what = what;
    }
    // Never 0, which means idle.
    since.store(UTILITIES::monotonicNanoseconds() | 1, std::memory_order_relaxed);
}

std::string BusyStamp::work() const {
    MutexGuard guard(&whatMutex);
    return what;
}

void notifyStopping() {
    sd_notify(0, "STOPPING=1");  // does nothing without NOTIFY_SOCKET
}

bool ServiceNotifier::wanted() {
    const char* socket = getenv("NOTIFY_SOCKET");
    return socket != nullptr && socket[0] != '\0';
}

ServiceNotifier::ServiceNotifier(const std::vector<Storage*>& storages, const std::string& logFilePath,
                                 int copyTimeoutSeconds)
    : storages(storages), logFile(logFilePath), limit(static_cast<int64_t>(copyTimeoutSeconds) * second) {}

void ServiceNotifier::ready() {
    sd_notify(0, ("READY=1\nSTATUS=" + statusText()).c_str());
}

std::string ServiceNotifier::statusText() {
    uint64_t copied = 0;
    int64_t pending = 0;
    double fill = NAN;
    for (Storage* storage : storages) {
        METRICS::StorageCounters& counters = storage->debitCredit().counters();
        copied += counters.copied.load(std::memory_order_relaxed);
        pending += counters.pending.load(std::memory_order_relaxed);
        const METRICS::MountGauges* gauges = storage->mountGauges();
        if (roleOf(storage->getParams().type).watchesRamdisk && gauges != nullptr)
            fill = gauges->fill.load(std::memory_order_relaxed);
    }
    std::string text = "copied " + std::to_string(copied) + ", pending " + std::to_string(pending) + ", RAM disk ";
    if (isnan(fill)) return text + "fill unknown";
    char percent[16];
    snprintf(percent, sizeof percent, "%.0f%%", fill * 100);
    return text + percent + " full";
}

std::string ServiceNotifier::_stuck(int64_t now) {
    const BusyStamp* oldest = nullptr;
    int64_t oldestSince = 0;
    MutexGuard guard(registryMutex);
    for (const BusyStamp* stamp : registry()) {
        const int64_t since = stamp->busySince();
        if (since != 0 && now - since > limit && (oldest == nullptr || since < oldestSince)) {
            oldest = stamp;
            oldestSince = since;
        }
    }
    std::string found;
    if (oldest != nullptr)
        found = oldest->worker() + " has been at " + oldest->work() + " for " +
                std::to_string((now - oldestSince) / second) + " s";
    return found;
}

void ServiceNotifier::run() {
    uint64_t usec = 0;
    // Checks WATCHDOG_PID against this process, so a daemon that forked never pings.
    const bool watchdog = sd_watchdog_enabled(0, &usec) > 0 && usec > 0;
    int64_t tick = statusSeconds * second;
    if (watchdog && static_cast<int64_t>(usec) * 500 < tick) tick = static_cast<int64_t>(usec) * 500;  // half of it
    int64_t nextStatus = 0;
    for (;;) {
        const int64_t now = UTILITIES::monotonicNanoseconds();
        if (watchdog) {
            const std::string stuck = _stuck(now);
            if (stuck.empty() && !pinging)
                logFile << "Watchdog pings to systemd resumed: no worker is stuck any more" << endl;
            if (!stuck.empty() && pinging)
                logFile << "Warning: " << stuck << ", longer than watchdog_copy_timeout " << limit / second
                        << " s: stopped the watchdog pings to systemd, which will restart the daemon" << endl;
            pinging = stuck.empty();
            if (pinging) sd_notify(0, "WATCHDOG=1");
        }
        if (now >= nextStatus) {
            sd_notify(0, ("STATUS=" + statusText() + (pinging ? "" : "; stuck, watchdog pings stopped")).c_str());
            nextStatus = now + statusSeconds * second;
        }
        UTILITIES::sleepNanoSeconds(tick);
    }
}

}  // namespace SYSTEMD
