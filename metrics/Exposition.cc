#include "metrics/Exposition.h"

#include <dirent.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <cmath>
#include <fstream>
#include <map>
#include <sstream>

#include "events/Publisher.h"
#include "health/StorageHealth.h"
#include "ledger/Storage.h"
#include "metrics/Metrics.h"
#include "net/MessageServer.h"
#include "net/StatusServer.h"
#include "util/Time.h"

namespace {

// Codes the message service knows; others sent are counted under 0.
const int knownMessageCodes = MessageServer::STORAGE_BACK;

std::string number(double value) {
    if (std::isnan(value)) return "NaN";
    if (std::isinf(value)) return value > 0 ? "+Inf" : "-Inf";
    // The shortest text that reads back as the same value: 0.0001, not
    // 0.00010000000000000000.
    char text[32];
    snprintf(text, sizeof text, "%.15g", value);
    if (strtod(text, nullptr) != value) snprintf(text, sizeof text, "%.17g", value);
    return text;
}

class Writer {
public:
    void family(const char* name, const char* type, const char* help) {
        out << "# HELP " << name << ' ' << help << "\n# TYPE " << name << ' ' << type << '\n';
    }
    void sample(const std::string& name, const std::string& labels, double value) {
        out << name;
        if (!labels.empty()) out << '{' << labels << '}';
        out << ' ' << number(value) << '\n';
    }
    void sample(const std::string& name, const std::string& labels, uint64_t value) {
        out << name;
        if (!labels.empty()) out << '{' << labels << '}';
        out << ' ' << value << '\n';
    }
    std::string text() const { return out.str(); }

private:
    std::ostringstream out;
};

std::string label(const char* name, const std::string& value) {
    return std::string(name) + "=\"" + METRICS::labelValue(value) + "\"";
}

// Every storage's label: its storageID, which the configuration makes unique,
// so that no two storages make one series.
std::vector<std::string> storageLabels(const std::vector<Storage*>& storages) {
    std::vector<std::string> labels;
    for (const Storage* storage : storages) labels.push_back(label("storage", storage->getParams().storageID));
    return labels;
}

struct ProcessFigures {
    double cpuSeconds = NAN;
    double residentBytes = NAN;
    double startTime = NAN;
    double openFds = NAN;
};

ProcessFigures processFigures() {
    ProcessFigures figures;
    const double ticks = static_cast<double>(sysconf(_SC_CLK_TCK));
    std::ifstream statFile("/proc/self/stat");
    std::string stat((std::istreambuf_iterator<char>(statFile)), std::istreambuf_iterator<char>());
    // The command name may hold blanks and parentheses: fields are counted
    // from the last ')', which ends it; the state is field 3.
    const std::string::size_type end = stat.rfind(')');
    if (end != std::string::npos) {
        std::istringstream fields(stat.substr(end + 1));
        std::vector<std::string> field(3);  // fields 0 to 2 stand before the state
        for (std::string value; fields >> value;) field.push_back(value);
        if (field.size() > 24) {
            auto value = [&](int i) { return strtod(field[i].c_str(), nullptr); };
            figures.cpuSeconds = (value(14) + value(15)) / ticks;
            figures.residentBytes = value(24) * static_cast<double>(sysconf(_SC_PAGESIZE));
            std::ifstream system("/proc/stat");
            for (std::string key; system >> key;) {
                if (key == "btime") {
                    double boot;
                    if (system >> boot) figures.startTime = boot + value(22) / ticks;
                    break;
                }
                system.ignore(1 << 20, '\n');
            }
        }
    }
    if (DIR* fds = opendir("/proc/self/fd")) {
        int count = 0;
        while (struct dirent* entry = readdir(fds))
            if (entry->d_name[0] != '.') ++count;
        closedir(fds);
        figures.openFds = count - 1;  // not the one that lists them
    }
    return figures;
}

}  // namespace

std::string METRICS::labelValue(const std::string& value) {
    std::string escaped;
    for (char c : value) {
        if (c == '\\')
            escaped += "\\\\";
        else if (c == '"')
            escaped += "\\\"";
        else if (c == '\n')
            escaped += "\\n";
        else
            escaped += c;
    }
    return escaped;
}

std::string METRICS::exposition(const Sources& sources) {
    Writer w;
    const std::vector<Storage*>& storages = sources.storages;
    const std::vector<std::string> labels = storageLabels(storages);

    w.family("vellort_files_announced_total", "counter", "Files announced on the pipe.");
    w.sample("vellort_files_announced_total", "", filesAnnounced().load());
    w.family("vellort_user_shifts_total", "counter", "User shifts announced on the pipe.");
    w.sample("vellort_user_shifts_total", "", userShifts().load());

    struct Counter {
        const char* name;
        const char* help;
        std::atomic<uint64_t> StorageCounters::*member;
    };
    const Counter counters[] = {
        {"vellort_files_copied_total", "Copies made, by storage.", &StorageCounters::copied},
        {"vellort_copy_failures_total", "Failed copy attempts, retries included, by storage.",
         &StorageCounters::failures},
        {"vellort_copy_retries_total", "Retried copy attempts begun, by storage.", &StorageCounters::retries},
        {"vellort_bytes_copied_total", "Bytes of the copies made, by storage.", &StorageCounters::bytes},
        {"vellort_copies_verified_total", "Copies read back and found equal to their source, by storage.",
         &StorageCounters::verified},
        {"vellort_verify_failures_total", "Copies read back and found different, by storage.",
         &StorageCounters::verifyFailures},
        {"vellort_files_linked_total", "Files replaced by a symbolic link to their copy, by storage.",
         &StorageCounters::linked},
        {"vellort_files_removed_total", "Files removed to free space, by storage.", &StorageCounters::removed},
        {"vellort_files_deleted_total", "Files deleted at a user shift or links removed, by storage.",
         &StorageCounters::deleted},
    };
    for (const Counter& counter : counters) {
        w.family(counter.name, "counter", counter.help);
        for (size_t i = 0; i < storages.size(); ++i)
            w.sample(counter.name, labels[i], (storages[i]->debitCredit().counters().*counter.member).load());
    }

    w.family("vellort_messages_sent_total", "counter", "Messages queued for the message clients, by code.");
    for (int code = 0; code <= maxMessageCode; ++code) {
        const uint64_t sent = messagesSent(code).load();
        if ((code >= 1 && code <= knownMessageCodes) || sent != 0)
            w.sample("vellort_messages_sent_total", label("code", std::to_string(code)), sent);
    }

    const int64_t now = UTILITIES::monotonicNanoseconds();
    w.family("vellort_files_pending", "gauge", "Files announced and not yet copied or failed for good, by storage.");
    for (size_t i = 0; i < storages.size(); ++i)
        w.sample("vellort_files_pending", labels[i],
                 static_cast<double>(storages[i]->debitCredit().counters().pending.load()));
    w.family("vellort_oldest_pending_seconds", "gauge",
             "Age of the oldest file still to copy, by storage; 0 when none waits.");
    for (size_t i = 0; i < storages.size(); ++i)
        w.sample("vellort_oldest_pending_seconds", labels[i],
                 static_cast<double>(storages[i]->debitCredit().oldestPendingAge(now)) / 1e9);

    // A storage kept no health (as in tests of parts) counts as up.
    auto stateOf = [&](size_t i) {
        const StorageHealth* health = storages[i]->health();
        return health == nullptr ? StorageHealth::UP : health->snapshot().state;
    };
    w.family("vellort_storage_up", "gauge",
             "1 while the storage takes copies, 0 while its disk fails or is not mounted, by storage.");
    for (size_t i = 0; i < storages.size(); ++i)
        w.sample("vellort_storage_up", labels[i], static_cast<uint64_t>(stateOf(i) == StorageHealth::UP ? 1 : 0));
    w.family("vellort_storage_state", "gauge", "1 for the state the storage is in (up, failing, absent), by storage.");
    for (size_t i = 0; i < storages.size(); ++i) {
        const StorageHealth::State state = stateOf(i);
        for (StorageHealth::State each : {StorageHealth::UP, StorageHealth::FAILING, StorageHealth::ABSENT})
            w.sample("vellort_storage_state", labels[i] + "," + label("state", StorageHealth::stateName(each)),
                     static_cast<uint64_t>(each == state ? 1 : 0));
    }

    // One series per watched mount point, from the first storage that watches it.
    std::map<std::string, const MountGauges*> mounts;
    std::vector<std::string> mountOrder;
    for (Storage* storage : storages) {
        const MountGauges* gauges = storage->mountGauges();
        const std::string& mountpoint = storage->getParams().mountpoint;
        if (gauges == nullptr || mountpoint.empty() || mounts.count(mountpoint) != 0) continue;
        mounts[mountpoint] = gauges;
        mountOrder.push_back(mountpoint);
    }
    struct Gauge {
        const char* name;
        const char* help;
        std::atomic<double> MountGauges::*member;
    };
    const Gauge gauges[] = {
        {"vellort_fillstate_ratio", "Used share of the blocks of a watched mount point.", &MountGauges::fill},
        {"vellort_inodes_used_ratio", "Used share of the inodes of a watched mount point.", &MountGauges::inodes},
        {"vellort_full_in_seconds", "Seconds until a watched mount point is full at its present rate; +Inf while "
                                    "it is not filling.",
         &MountGauges::fullIn},
    };
    for (const Gauge& gauge : gauges) {
        w.family(gauge.name, "gauge", gauge.help);
        for (const std::string& mountpoint : mountOrder) {
            const double value = (mounts[mountpoint]->*gauge.member).load();
            if (!std::isnan(value)) w.sample(gauge.name, label("mountpoint", mountpoint), value);  // not yet measured
        }
    }

    w.family("vellort_message_clients", "gauge", "Clients connected to the message service.");
    w.sample("vellort_message_clients", "",
             static_cast<double>(sources.messageServer ? sources.messageServer->clients() : 0));
    w.family("vellort_status_clients", "gauge", "Clients connected to the status service.");
    w.sample("vellort_status_clients", "",
             static_cast<double>(sources.statusServer ? sources.statusServer->clients() : 0));
    w.family("vellort_journal_unfinished_files", "gauge",
             "Journaled files that a storage still owes work; 0 without a journal.");
    w.sample("vellort_journal_unfinished_files", "", static_cast<double>(journalUnfinishedFiles().load()));
    if (sources.events != nullptr) {
        const EVENTS::Publisher& events = *sources.events;
        w.family("vellort_events_pending", "gauge", "Events the broker has not acknowledged yet.");
        w.sample("vellort_events_pending", "", static_cast<double>(events.pending()));
        w.family("vellort_broker_connected", "gauge", "1 while the broker of the events is connected, else 0.");
        w.sample("vellort_broker_connected", "", events.connected() ? 1.0 : 0.0);
        w.family("vellort_events_published_total", "counter", "Events the broker acknowledged.");
        w.sample("vellort_events_published_total", "", static_cast<double>(events.published()));
        w.family("vellort_events_dropped_total", "counter",
                 "Events dropped without a journal, as the memory queue was full.");
        w.sample("vellort_events_dropped_total", "", static_cast<double>(events.dropped()));
    }
    w.family("vellort_build_info", "gauge", "The daemon's version; always 1.");
    w.sample("vellort_build_info", label("version", sources.version), 1.0);

    w.family("vellort_copy_delay_seconds", "histogram",
             "Seconds from a file's announcement to its copy's rename, by storage.");
    for (size_t i = 0; i < storages.size(); ++i) {
        const DelayHistogram& delay = storages[i]->debitCredit().counters().delay;
        // The buckets are read once each and summed here, so the series stay
        // consistent with one another while copies go on.
        uint64_t cumulative = 0;
        for (int b = 0; b <= DelayHistogram::bucketCount; ++b) {
            cumulative += delay.bucket(b);
            const std::string le = b < DelayHistogram::bucketCount ? number(DelayHistogram::bounds[b]) : "+Inf";
            w.sample("vellort_copy_delay_seconds_bucket", labels[i] + ",le=\"" + le + "\"", cumulative);
        }
        w.sample("vellort_copy_delay_seconds_sum", labels[i], delay.sumSeconds());
        w.sample("vellort_copy_delay_seconds_count", labels[i], cumulative);
    }

    const ProcessFigures process = processFigures();
    w.family("process_cpu_seconds_total", "counter", "User and system CPU time spent in seconds.");
    w.sample("process_cpu_seconds_total", "", process.cpuSeconds);
    w.family("process_resident_memory_bytes", "gauge", "Resident memory size in bytes.");
    w.sample("process_resident_memory_bytes", "", process.residentBytes);
    w.family("process_start_time_seconds", "gauge", "Start time of the process since the epoch in seconds.");
    w.sample("process_start_time_seconds", "", process.startTime);
    w.family("process_open_fds", "gauge", "Number of open file descriptors.");
    w.sample("process_open_fds", "", process.openFds);
    return w.text();
}
