// Measures the event stream through the real daemon and a real mosquitto
// broker, both on loopback: the daemon runs as a separate process in a
// sandbox given to it as VELLORT_ROOT, the RAM disk and the targets are
// tmpfs mounts, the journal a fresh SQLite file in the sandbox, on the file
// system of /tmp, as a journal would lie on a disk (--journal-on-tmpfs puts
// it on a tmpfs of its own, where its syncs cost nothing). A subscriber in this
// process (libmosquitto, MQTT 5, on the library's own thread) takes
// <prefix>/# with QoS 1, so the broker delivers every event as a consumer
// would have it.
//
//   (a) the small-file copy rate with events off and on: one INTERNAL
//       storage with two copy workers, a journal in both, a tree of small
//       files announced in one go, timed until the status service counts
//       every copy booked; each turn a fresh daemon and journal, events off
//       and on in turns for a number of rounds (which goes first alternates),
//       medians of the rates and of the per-round ratios on / off;
//   (b) the delay from a copy being made to its event reaching the
//       subscriber: small files written and announced at a steady rate
//       (1,000 files/s) for some seconds, INTERNAL and EXTERNAL storages; for
//       each "copied" event the subscriber's wall-clock time at its arrival
//       minus the event's "time" (which has whole milliseconds, so each delay
//       is known to a millisecond);
//   (c) catch-up after a broker outage: the same acquisition goes on while
//       the broker is stopped for --outage seconds and started again. The
//       subscriber holds a persistent session (clean start false, a session
//       expiry), so what is published while it reconnects waits for it.
//       Reports the backlog at the restart (the rows of the journal's table
//       outbox, read through a read-only connection), when the daemon and
//       the subscriber were connected again, when the subscriber had every
//       event that was pending at the restart, when the outbox was back to
//       what it held before the outage (files still come, so it is never
//       empty for long), and the subscriber's event rate meanwhile; then the
//       acquisition stops, and the run waits for an empty outbox and every
//       event at the subscriber.
//
// Needs root (tmpfs mounts) and mosquitto. Each case ends with lines
// "RESULT key=value" for scripts.
//
//   events_bench [--vellort PATH] [--rounds N] [--files N] [--seconds S] [--outage S] [--verify]
//                [--journal-on-tmpfs] [--only a|b|c] [--quick]
//
// --rounds   rounds of (a), each with one daemon of each kind (default 5)
// --files    files of 4 KiB in the tree of (a) (default 50,000)
// --seconds  length of the measured acquisition of (b) (default 20)
// --outage   seconds the broker is away in (c) (default 60)
// --verify   verify_copies yes in every daemon (default no)
// --journal-on-tmpfs  the journal on a tmpfs of its own, to tell the share of its syncs
// --only     one case alone
// --quick    a short run to see that it works: 3 rounds of 5,000 files, 5 s, a 10 s outage

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <math.h>
#include <mosquitto.h>
#include <mqtt_protocol.h>
#include <signal.h>
#include <sqlite3.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "bench/BenchSupport.h"
#include "bench/DaemonBench.h"
#include "bench/Median.h"
#include "support/LogWatch.h"
#include "support/MqttBroker.h"

const char* const benchName = "events_bench";

namespace {

struct Options {
    std::string vellort;
    long rounds = 5;
    long files = 50000;
    long seconds = 20;   // (b): the measured acquisition
    long outage = 60;    // (c)
    long warmUp = 10;    // (c): acquisition before the outage, seconds
    double rate = 1000;  // files/s announced in (b) and (c)
    bool verify = false;
    bool journalOnTmpfs = false;
    std::string only;  // "a", "b" or "c": that case alone
};

const uint64_t fileBytes = 4096;

std::unique_ptr<MqttBroker> theBroker;  // stopped and removed by cleanUp()

// At a signal, while the main thread may still use the broker and the mounts.
void cleanUpAtSignal() {
    killDaemon();
    if (theBroker) theBroker->stop();
    removeSandboxAtSignal();
}

void cleanUp() {
    killDaemon();
    theBroker.reset();
    removeSandbox();
}

}  // namespace

void die(const std::string& message) {
    fprintf(stderr, "events_bench: %s\n", message.c_str());
    tellOfDaemon("Copy job");
    if (theBroker) {
        const std::string log = theBroker->log();
        fprintf(stderr, "the broker's last words:\n%s\n",
                log.substr(log.size() > 2000 ? log.size() - 2000 : 0).c_str());
    }
    cleanUp();
    exit(1);
}

namespace {

// Wall-clock time in milliseconds since the epoch, as the events' times count.
double wallMilliseconds() {
    struct timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    return now.tv_sec * 1e3 + now.tv_nsec / 1e6;
}

// Milliseconds since the epoch of an RFC 3339 time in UTC with milliseconds,
// "2026-12-09T21:47:38.456Z"; -1 when the text is not one.
double epochMilliseconds(const char* text) {
    struct tm parts;
    memset(&parts, 0, sizeof parts);
    int milliseconds = 0;
    if (sscanf(text, "%4d-%2d-%2dT%2d:%2d:%2d.%3dZ", &parts.tm_year, &parts.tm_mon, &parts.tm_mday, &parts.tm_hour,
               &parts.tm_min, &parts.tm_sec, &milliseconds) != 7)
        return -1;
    parts.tm_year -= 1900;
    parts.tm_mon -= 1;
    return static_cast<double>(timegm(&parts)) * 1e3 + milliseconds;
}

// The text of the first member `name` of a flat search through a JSON
// object: a string's characters between its quotes (escapes left as they
// are), or a number's; "" when there is none. The events put the members
// this bench reads before any nested object that has one of the same name.
std::string member(const std::string& json, const char* name) {
    const std::string key = std::string("\"") + name + "\":";
    const size_t at = json.find(key);
    if (at == std::string::npos) return "";
    size_t from = at + key.size();
    if (from < json.size() && json[from] == '"') {
        size_t to = ++from;
        while (to < json.size() && json[to] != '"') to += json[to] == '\\' ? 2 : 1;
        return json.substr(from, std::min(to, json.size()) - from);
    }
    size_t to = from;
    while (to < json.size() && json[to] != ',' && json[to] != '}') ++to;
    return json.substr(from, to - from);
}

// The broker's pid: this process's child named mosquitto; -1 when none.
pid_t brokerPid() {
    DIR* proc = opendir("/proc");
    pid_t found = -1;
    for (struct dirent* entry = proc ? readdir(proc) : nullptr; entry != nullptr && found < 0; entry = readdir(proc)) {
        const pid_t pid = atoi(entry->d_name);
        if (pid <= 0) continue;
        FILE* file = fopen(("/proc/" + std::to_string(pid) + "/stat").c_str(), "r");
        if (file == nullptr) continue;
        char name[64] = "";
        int parent = 0;
        if (fscanf(file, "%*d (%63[^)]) %*c %d", name, &parent) == 2 && parent == getpid() &&
            strcmp(name, "mosquitto") == 0)
            found = pid;
        fclose(file);
    }
    if (proc) closedir(proc);
    return found;
}

// A sample's value from the metrics service at `port`; -1 when it has none.
double metric(int port, const std::string& name) {
    const std::string text = fetch(port, "/metrics"), line = "\n" + name + " ";
    const size_t at = text.find(line);
    return at == std::string::npos ? -1 : atof(text.c_str() + at + line.size());
}

// ---------------------------------------------------------------------------
// The subscriber.

// What the subscriber has seen so far.
struct Seen {
    long events = 0;         // distinct events with a seq (file, shift, message)
    long files = 0;          // distinct "copied" file events
    long failed = 0;         // distinct "failed" file events
    long received = 0;       // every PUBLISH of an event, repeats included
    int64_t contiguous = 0;  // every seq from 1 to this one has arrived
    long foreign = 0;        // events of another stream than the first one seen
    long unparsed = 0;       // events without a seq, or whose id does not end in it
};

// A libmosquitto client that takes <prefix>/# with QoS 1 on the library's
// own thread and keeps, per event, whether its seq arrived; for the
// "copied" file events whose relative path begins with `measured`, the delay
// from the event's time to its arrival, in milliseconds, by storage type.
// A persistent one connects with clean start false and a session expiry of an
// hour, so the broker keeps its subscription and queues what comes while it
// is away; it tries the broker again every second.
class Subscriber {
public:
    Subscriber(int port, const std::string& clientId, const std::string& prefix, bool persistent,
               const std::string& measured = "")
        : prefix_(prefix), measured_(measured) {
        mosq_ = mosquitto_new(clientId.c_str(), !persistent, this);
        if (mosq_ == nullptr) die(std::string("mosquitto_new: ") + strerror(errno));
        mosquitto_int_option(mosq_, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V5);
        mosquitto_connect_v5_callback_set(mosq_, onConnect);
        mosquitto_subscribe_v5_callback_set(mosq_, onSubscribe);
        mosquitto_message_v5_callback_set(mosq_, onMessage);
        mosquitto_reconnect_delay_set(mosq_, 1, 1, false);
        mosquitto_property* properties = nullptr;
        if (persistent) mosquitto_property_add_int32(&properties, MQTT_PROP_SESSION_EXPIRY_INTERVAL, 3600);
        int rc = mosquitto_connect_bind_v5(mosq_, "127.0.0.1", port, 30, nullptr, properties);
        mosquitto_property_free_all(&properties);
        if (rc == MOSQ_ERR_SUCCESS) rc = mosquitto_loop_start(mosq_);
        if (rc != MOSQ_ERR_SUCCESS) die(std::string("the subscriber cannot connect: ") + mosquitto_strerror(rc));
    }
    ~Subscriber() {
        mosquitto_disconnect_v5(mosq_, 0, nullptr);
        mosquitto_loop_stop(mosq_, false);
        mosquitto_destroy(mosq_);
    }
    Subscriber(const Subscriber&) = delete;
    Subscriber& operator=(const Subscriber&) = delete;

    // Waits until the subscription stands; false after `timeout` seconds.
    bool waitSubscribed(double timeout) {
        return waitUntil([&] { return subscriptions_.load() > 0; }, timeout, 5);
    }
    Seen seen() {
        std::lock_guard<std::mutex> lock(mutex_);
        return seen_;
    }
    int connections() const { return connections_.load(); }
    double lastConnected() const { return lastConnected_.load(); }  // monotonic seconds
    bool sessionPresent() const { return sessionPresent_.load(); }
    // The delays in milliseconds of the measured "copied" events of one storage type, and of all.
    std::vector<double> delays(const std::string& type = "") {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!type.empty()) return delays_[type == "EXTERNAL"];
        std::vector<double> all = delays_[0];
        all.insert(all.end(), delays_[1].begin(), delays_[1].end());
        return all;
    }

private:
    static void onConnect(struct mosquitto*, void* self, int reason, int flags, const mosquitto_property*) {
        Subscriber& me = *static_cast<Subscriber*>(self);
        if (reason != 0) return;
        me.sessionPresent_ = (flags & 1) != 0;
        me.lastConnected_ = seconds();
        ++me.connections_;
        // Again at each connection: harmless when the session kept it.
        mosquitto_subscribe_v5(me.mosq_, nullptr, (me.prefix_ + "/#").c_str(), 1, 0, nullptr);
    }
    static void onSubscribe(struct mosquitto*, void* self, int, int count, const int* granted,
                            const mosquitto_property*) {
        if (count > 0 && granted[0] <= 2) ++static_cast<Subscriber*>(self)->subscriptions_;
    }
    static void onMessage(struct mosquitto*, void* self, const struct mosquitto_message* message,
                          const mosquitto_property*) {
        static_cast<Subscriber*>(self)->take(message);
    }

    void take(const struct mosquitto_message* message) {
        const double arrived = wallMilliseconds();
        const std::string topic = message->topic != nullptr ? message->topic : "";
        if (topic.size() >= 6 && topic.compare(topic.size() - 6, 6, "/state") == 0) return;
        const bool file = topic.size() >= 5 && topic.compare(topic.size() - 5, 5, "/file") == 0;
        const std::string payload(static_cast<const char*>(message->payload), static_cast<size_t>(message->payloadlen));
        const std::string seqText = member(payload, "seq"), id = member(payload, "id");
        const int64_t seq = atoll(seqText.c_str());
        std::lock_guard<std::mutex> lock(mutex_);
        ++seen_.received;
        const size_t dash = id.rfind('-');
        if (seq <= 0 || dash == std::string::npos || id.compare(dash + 1, std::string::npos, seqText) != 0) {
            ++seen_.unparsed;
            return;
        }
        if (stream_.empty()) stream_ = id.substr(0, dash);
        if (id.compare(0, dash, stream_) != 0) {
            ++seen_.foreign;
            return;
        }
        if (static_cast<size_t>(seq) >= arrived_.size())
            arrived_.resize(std::max<size_t>(seq + 1, arrived_.size() * 2));
        if (arrived_[seq]) return;  // a repeat: at least once
        arrived_[seq] = true;
        ++seen_.events;
        while (static_cast<size_t>(seen_.contiguous + 1) < arrived_.size() && arrived_[seen_.contiguous + 1])
            ++seen_.contiguous;
        if (!file) return;
        const std::string event = member(payload, "event");
        if (event == "failed") ++seen_.failed;
        if (event != "copied") return;
        ++seen_.files;
        if (!measured_.empty() && member(payload, "relative").compare(0, measured_.size(), measured_) != 0) return;
        const double made = epochMilliseconds(member(payload, "time").c_str());
        if (made < 0) {
            ++seen_.unparsed;
            return;
        }
        delays_[member(payload, "type") == "EXTERNAL"].push_back(arrived - made);
    }

    const std::string prefix_, measured_;
    struct mosquitto* mosq_ = nullptr;
    std::atomic<int> connections_{0}, subscriptions_{0};
    std::atomic<double> lastConnected_{0};
    std::atomic<bool> sessionPresent_{false};
    std::mutex mutex_;
    Seen seen_;
    std::string stream_;
    std::vector<bool> arrived_;
    std::vector<double> delays_[2];  // INTERNAL (and OPTIONAL), EXTERNAL
};

// ---------------------------------------------------------------------------
// The daemon.

// Paths of the sandbox.
std::string ramdisk() {
    return sandbox + "/ramdisk";
}
std::string internalTarget() {
    return sandbox + "/internal";
}
std::string externalTarget() {
    return sandbox + "/external";
}

// The configuration of a measured daemon: a fresh journal, events when
// `broker` is set, one INTERNAL storage with two copy workers, and an
// EXTERNAL one (two workers too) with `external`.
std::string configText(bool verify, const std::string& broker, const std::string& prefix, bool external,
                       int metricsPort = 0) {
    std::string text = "logfile " + logPath() + "\nramdisk_mountpoint " + ramdisk() + "\nmessage_port " +
                       std::to_string(unusedPort()) + "\nstatus_port " + std::to_string(statusPort = unusedPort()) +
                       "\njournal " + journalPath() + "\n";
    if (verify) text += "verify_copies yes\n";
    if (metricsPort > 0) text += "metrics_port " + std::to_string(metricsPort) + "\n";
    if (!broker.empty()) text += "mqtt_broker " + broker + "\nmqtt_topic_prefix " + prefix + "\n";
    text += "storageID disk\ntype INTERNAL\ntarget " + internalTarget() + "\nmountpoint " + internalTarget() +
            "\nn_copy_processes 2\n";
    if (external) text += "storageID archive\ntype EXTERNAL\ntarget " + externalTarget() + "\n";
    return text;
}

// Starts a daemon with a fresh journal; with a broker, waits until it is
// connected to it.
void startFreshDaemon(const std::string& vellort, const std::string& config, bool events) {
    for (const char* part : {"", "-wal", "-shm"}) unlink((journalPath() + part).c_str());
    const int connections = countInFile(logPath(), "++ Events: connected to");
    startDaemon(vellort, config);
    if (events && !waitForLogCount(logPath(), "++ Events: connected to", connections + 1, 20))
        die("the daemon did not connect to the broker within 20 s");
}

// The journal's outbox, read as an onlooker: a read-only connection of its own.
class Outbox {
public:
    Outbox() {
        if (sqlite3_open_v2(journalPath().c_str(), &db_, SQLITE_OPEN_READONLY | SQLITE_OPEN_NOMUTEX, nullptr) !=
            SQLITE_OK)
            die("cannot open the journal " + journalPath() + ": " + sqlite3_errmsg(db_));
        sqlite3_busy_timeout(db_, 2000);
    }
    ~Outbox() { sqlite3_close(db_); }
    Outbox(const Outbox&) = delete;
    Outbox& operator=(const Outbox&) = delete;

    // Events in the outbox (not yet acknowledged by the broker), and the
    // last seq ever given to one (its table's AUTOINCREMENT counter).
    void read(long& pending, int64_t& lastSeq) {
        sqlite3_stmt* statement = nullptr;
        if (sqlite3_prepare_v2(db_,
                               "SELECT (SELECT count(*) FROM outbox),"
                               " coalesce((SELECT CAST(value AS INTEGER) FROM meta WHERE key = 'event_seq'), 0)",
                               -1, &statement, nullptr) != SQLITE_OK ||
            sqlite3_step(statement) != SQLITE_ROW) {
            const std::string why = sqlite3_errmsg(db_);
            sqlite3_finalize(statement);
            die("cannot read the outbox of " + journalPath() + ": " + why);
        }
        pending = static_cast<long>(sqlite3_column_int64(statement, 0));
        lastSeq = sqlite3_column_int64(statement, 1);
        sqlite3_finalize(statement);
    }

private:
    sqlite3* db_ = nullptr;
};

// ---------------------------------------------------------------------------
// The acquisition.

// Writes small files on the RAM disk below <stem>/ and announces each in its
// slot of a steady rate, as an acquisition does, on a thread of its own,
// until `count` are announced (count < 0: until stop()).
class Acquisition {
public:
    Acquisition(FifoWriter& pipe, const std::string& stem, long count, double rate)
        : pipe_(pipe), stem_(stem), count_(count), interval_(1e9 / rate) {}
    ~Acquisition() { join(); }

    void start() {
        thread_ = std::thread([this] { run(); });
    }
    void stop() { stopping_ = true; }
    // Waits for the end; the files announced.
    long join() {
        if (thread_.joinable()) thread_.join();
        return announced_.load();
    }
    long announced() const { return announced_.load(); }
    // Announcements more than a millisecond after their slot.
    long late() const { return late_.load(); }
    double started() const { return started_; }

private:
    void run() {
        std::vector<char> content(fileBytes, 'x');
        struct timespec next;
        clock_gettime(CLOCK_MONOTONIC, &next);
        started_ = seconds();
        for (long i = 0; (count_ < 0 || i < count_) && !stopping_; ++i) {
            char name[96];
            snprintf(name, sizeof name, "%s/run%04ld/f_%07ld.cbf", stem_.c_str(), i / 1000, i);
            const std::string path = ramdisk() + "/" + name;
            if (i % 1000 == 0) {
                mkdir((ramdisk() + "/" + stem_).c_str(), 0755);  // exists after the first
                if (mkdir(path.substr(0, path.rfind('/')).c_str(), 0755) != 0)
                    die("mkdir for " + path + ": " + strerror(errno));
            }
            snprintf(content.data(), content.size(), "%ld", i);  // files differ from each other
            const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
            if (fd < 0 || write(fd, content.data(), content.size()) != static_cast<ssize_t>(content.size()) ||
                close(fd) != 0)
                die("cannot write " + path + ": " + strerror(errno));
            const long slot = static_cast<long>(i * interval_);
            struct timespec at = next;
            at.tv_sec += slot / 1000000000;
            at.tv_nsec += slot % 1000000000;
            if (at.tv_nsec >= 1000000000) {
                at.tv_nsec -= 1000000000;
                ++at.tv_sec;
            }
            clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &at, nullptr);
            struct timespec now;
            clock_gettime(CLOCK_MONOTONIC, &now);
            if ((now.tv_sec - at.tv_sec) * 1e9 + (now.tv_nsec - at.tv_nsec) > 1e6) ++late_;
            writeAll(pipe_, ramdisk() + "/./" + name + "\n");
            ++announced_;
        }
    }

    FifoWriter& pipe_;
    const std::string stem_;
    const long count_;
    const double interval_;  // nanoseconds
    std::thread thread_;
    std::atomic<bool> stopping_{false};
    std::atomic<long> announced_{0}, late_{0};
    double started_ = 0;
};

// ---------------------------------------------------------------------------
// The cases.

std::string percentiles(std::vector<double> values) {
    if (values.empty()) return "none";
    std::sort(values.begin(), values.end());
    auto at = [&](double share) {
        return values[std::min(values.size() - 1, static_cast<size_t>(share * values.size()))];
    };
    char text[160];
    snprintf(text, sizeof text, "p50 %.1f  p90 %.1f  p99 %.1f  max %.1f", at(0.50), at(0.90), at(0.99), values.back());
    return text;
}

double quantile(std::vector<double> values, double share) {
    if (values.empty()) return NAN;
    std::sort(values.begin(), values.end());
    return values[std::min(values.size() - 1, static_cast<size_t>(share * values.size()))];
}

// (a): events off and on, a fresh daemon and journal each turn.
void rateCase(const Options& options, MqttBroker& broker) {
    std::vector<std::string> files;
    std::string problem;
    if (!makeTree(ramdisk(), "small", options.files, fileBytes, files, problem)) die(problem);
    std::string announcements;
    for (const std::string& file : files) announcements += ramdisk() + "/./" + file + "\n";
    const long count = static_cast<long>(files.size());
    printf(
        "(a) copy rate, events off and on: %ld files of %.0f KiB announced at once, one INTERNAL storage with two "
        "workers, journal on%s; until every copy is booked\n",
        count, fileBytes / 1024.0, options.verify ? ", verify_copies yes" : "");
    printf("    on: a subscriber takes <prefix>/# with QoS 1; \"events\" is when it had every file's event\n");
    std::vector<double> rates[2], ratios;
    for (long round = 1; round <= options.rounds; ++round) {
        double rate[2] = {0, 0};
        std::string notes[2];
        for (int turn = 0; turn < 2; ++turn) {
            const bool on = (turn + round) % 2 == 0;  // off first in odd rounds, on first in even ones
            const std::string prefix = "bench/events-" + std::to_string(getpid()) + "/rate" + std::to_string(round);
            std::unique_ptr<Subscriber> subscriber;
            if (on) {
                subscriber.reset(
                    new Subscriber(broker.port(), "events_bench-rate-" + std::to_string(getpid()), prefix, false));
                if (!subscriber->waitSubscribed(10)) die("the subscriber did not subscribe within 10 s");
            }
            startFreshDaemon(options.vellort, configText(options.verify, on ? broker.address() : "", prefix, false),
                             on);
            FifoWriter pipe(pipePath());
            openPipe(pipe);
            std::unique_ptr<StatusClient> status = statusClient();
            const long before = bookedCopies(*status);
            const pid_t brokerProcess = on ? brokerPid() : -1;
            const double daemonCpu = cpuSecondsOf(daemonPid), brokerCpu = cpuSecondsOf(brokerProcess);
            const double ownCpu = cpuSeconds(), start = seconds();
            writeAll(pipe, announcements);
            const double elapsed = waitForBookings(*status, before + count, 600, 5000) - start;
            char note[200];
            snprintf(note, sizeof note, "daemon %.2f cores", (cpuSecondsOf(daemonPid) - daemonCpu) / elapsed);
            notes[on] = note;
            if (on) {
                snprintf(note, sizeof note, ", broker %.2f, bench %.2f",
                         (cpuSecondsOf(brokerProcess) - brokerCpu) / elapsed, (cpuSeconds() - ownCpu) / elapsed);
                notes[on] += note;
                if (!waitUntil([&] { return subscriber->seen().files >= count; }, 300, 5))
                    die("the subscriber had " + std::to_string(subscriber->seen().files) + " of " +
                        std::to_string(count) + " file events 300 s after the copies");
                snprintf(note, sizeof note, "; events %.3f s", seconds() - start);
                notes[on] += note;
            }
            rate[on] = count / elapsed;
            pipe.close();
            status.reset();
            stopDaemon();
            subscriber.reset();
            removeCopies(internalTarget() + "/small");
            if (runShell("rm -f '" + internalTarget() + "'/vellort-manifest-*") != 0)
                die("cannot remove the manifests");
        }
        ratios.push_back(rate[1] / rate[0]);
        rates[0].push_back(rate[0]);
        rates[1].push_back(rate[1]);
        printf("  round %ld off %7.0f files/s (%s) | on %7.0f files/s (%s) | on/off %.3f\n", round, rate[0],
               notes[0].c_str(), rate[1], notes[1].c_str(), ratios.back());
        fflush(stdout);
    }
    removeCopies(ramdisk() + "/small");
    const double low = *std::min_element(ratios.begin(), ratios.end());
    const double high = *std::max_element(ratios.begin(), ratios.end());
    printf(
        "  medians of %ld rounds: off %.0f files/s, on %.0f files/s; on/off: median of the rounds' ratios %.3f "
        "(%.3f to %.3f), ratio of the medians %.3f\n",
        options.rounds, median(rates[0]), median(rates[1]), median(ratios), low, high,
        median(rates[1]) / median(rates[0]));
    printf("  %s: on/off at least 0.9 wanted\n\n", median(ratios) >= 0.9 ? "met" : "NOT MET");
    printf("RESULT events.rate.off_files_per_s=%.0f\nRESULT events.rate.on_files_per_s=%.0f\n", median(rates[0]),
           median(rates[1]));
    printf("RESULT events.rate.on_over_off=%.3f (median of %ld rounds)\n\n", median(ratios), options.rounds);
    fflush(stdout);
}

// (b): the delay from a copy to its event at the subscriber, at a steady rate.
void delayCase(const Options& options, MqttBroker& broker) {
    const long warmUpFiles = static_cast<long>(2 * options.rate),
               count = static_cast<long>(options.seconds * options.rate);
    printf(
        "(b) copy to event at the subscriber: %ld files of %.0f KiB written and announced at %.0f files/s (%ld s, "
        "after %ld untimed), INTERNAL and EXTERNAL storages, journal on%s\n",
        count, fileBytes / 1024.0, options.rate, options.seconds, warmUpFiles,
        options.verify ? ", verify_copies yes" : "");
    printf("    delay = the subscriber's clock at arrival - the event's \"time\" (whole ms), in ms\n");
    const std::string prefix = "bench/events-" + std::to_string(getpid()) + "/delay";
    Subscriber subscriber(broker.port(), "events_bench-delay-" + std::to_string(getpid()), prefix, false, "delay/");
    if (!subscriber.waitSubscribed(10)) die("the subscriber did not subscribe within 10 s");
    startFreshDaemon(options.vellort, configText(options.verify, broker.address(), prefix, true), true);
    FifoWriter pipe(pipePath());
    openPipe(pipe);
    {
        Acquisition warmUp(pipe, "warm", warmUpFiles, options.rate);
        warmUp.start();
        warmUp.join();
    }
    if (!waitUntil([&] { return subscriber.seen().files >= 2 * warmUpFiles; }, 60, 5))
        die("the untimed files' events did not all arrive within 60 s");
    const pid_t brokerProcess = brokerPid();
    const double daemonCpu = cpuSecondsOf(daemonPid), brokerCpu = cpuSecondsOf(brokerProcess), ownCpu = cpuSeconds();
    Acquisition acquisition(pipe, "delay", count, options.rate);
    acquisition.start();
    acquisition.join();
    const double took = seconds() - acquisition.started();
    const double daemonCores = (cpuSecondsOf(daemonPid) - daemonCpu) / took;
    const double brokerCores = (cpuSecondsOf(brokerProcess) - brokerCpu) / took;
    const double ownCores = (cpuSeconds() - ownCpu) / took;
    waitForBookings(*statusClient(), 2 * (warmUpFiles + count), 120, 5000);
    if (!waitUntil([&] { return subscriber.seen().files >= 2 * (warmUpFiles + count); }, 120, 5))
        die("the subscriber had " + std::to_string(subscriber.seen().files - 2 * warmUpFiles) + " of " +
            std::to_string(2 * count) + " measured file events 120 s after the last announcement");
    const Seen seen = subscriber.seen();
    pipe.close();
    stopDaemon();
    const std::vector<double> all = subscriber.delays(), internal = subscriber.delays("INTERNAL"),
                              external = subscriber.delays("EXTERNAL");
    printf(
        "  announced %ld in %.2f s (%.0f files/s, %ld more than 1 ms late); daemon %.2f cores, broker %.2f, this "
        "process %.2f\n",
        count, took, count / took, acquisition.late(), daemonCores, brokerCores, ownCores);
    printf("  events: %ld distinct (%ld received, %ld failed copies, %ld unparsed)\n", seen.events, seen.received,
           seen.failed, seen.unparsed);
    printf("  delay ms, all %zu:      %s\n", all.size(), percentiles(all).c_str());
    printf("  delay ms, INTERNAL %zu: %s\n", internal.size(), percentiles(internal).c_str());
    printf("  delay ms, EXTERNAL %zu: %s\n\n", external.size(), percentiles(external).c_str());
    printf("RESULT events.delay.p50_ms=%.1f\nRESULT events.delay.p99_ms=%.1f\nRESULT events.delay.max_ms=%.1f\n\n",
           quantile(all, 0.5), quantile(all, 0.99), quantile(all, 1.0));
    removeCopies(ramdisk() + "/warm");
    removeCopies(ramdisk() + "/delay");
    removeCopies(internalTarget() + "/warm");
    removeCopies(internalTarget() + "/delay");
    removeCopies(externalTarget() + "/warm");
    removeCopies(externalTarget() + "/delay");
    fflush(stdout);
}

// One look at the catch-up: the outbox and the subscriber at a moment.
struct Sample {
    double at;  // seconds since the broker's restart
    long pending;
    int64_t lastSeq;
    Seen seen;
};

// (c): catch-up after a broker outage while files keep coming.
void catchUpCase(const Options& options, MqttBroker& broker) {
    const int metricsPort = unusedPort();
    printf(
        "(c) catch-up after a broker outage: files of %.0f KiB written and announced at %.0f files/s, INTERNAL and "
        "EXTERNAL storages, journal on%s; the broker away for %ld s after %ld s, files still coming until the "
        "catch-up is over\n",
        fileBytes / 1024.0, options.rate, options.verify ? ", verify_copies yes" : "", options.outage, options.warmUp);
    printf(
        "    the subscriber: a persistent session (clean start false, session expiry 3600 s), tried again every "
        "second\n");
    const std::string prefix = "bench/events-" + std::to_string(getpid()) + "/outage";
    Subscriber subscriber(broker.port(), "events_bench-outage-" + std::to_string(getpid()), prefix, true);
    if (!subscriber.waitSubscribed(10)) die("the subscriber did not subscribe within 10 s");
    startFreshDaemon(options.vellort, configText(options.verify, broker.address(), prefix, true, metricsPort), true);
    FifoWriter pipe(pipePath());
    openPipe(pipe);
    Outbox outbox;
    Acquisition acquisition(pipe, "catchup", -1, options.rate);
    acquisition.start();

    // Before the outage: what the outbox holds in steady flow.
    std::vector<double> steady;
    long pending = 0;
    int64_t lastSeq = 0;
    for (const double until = seconds() + options.warmUp; seconds() < until; usleep(100000)) {
        outbox.read(pending, lastSeq);
        steady.push_back(pending);
    }
    const double steadyMax = *std::max_element(steady.begin(), steady.end());
    const double steadyMedian = median(steady);

    const double stopped = seconds();
    broker.stop();
    if (broker.log().find("Error saving") != std::string::npos)
        printf("  NOTE: the broker could not save its sessions at the stop:\n%s\n", broker.log().c_str());
    const long announcedAtStop = acquisition.announced();
    for (const double until = stopped + options.outage; seconds() < until;) usleep(100000);
    long pendingBefore = 0;
    int64_t lastSeqBefore = 0;
    outbox.read(pendingBefore, lastSeqBefore);
    const Seen seenBefore = subscriber.seen();
    const int connectionsBefore = subscriber.connections();
    if (!broker.start()) die("the broker did not start again: " + broker.log());
    const double restarted = seconds();
    long backlog = 0;
    int64_t backlogSeq = 0;  // every event up to this one was made before the restart
    outbox.read(backlog, backlogSeq);
    const double metricPending = metric(metricsPort, "vellort_events_pending");
    const long announcedAtRestart = acquisition.announced();
    printf("  broker stopped after %.1f s (%ld files announced), started again %.1f s later (%ld announced)\n",
           stopped - acquisition.started(), announcedAtStop, restarted - stopped, announcedAtRestart);
    printf("  outbox before the outage: median %.0f, at most %.0f events (%zu looks, 0.1 s apart)\n", steadyMedian,
           steadyMax, steady.size());
    printf(
        "  backlog at the restart: %ld events in the outbox (%ld just before; vellort_events_pending %.0f), last "
        "seq %lld; the subscriber had %ld distinct events, every one up to seq %lld\n",
        backlog, pendingBefore, metricPending, static_cast<long long>(backlogSeq), seenBefore.events,
        static_cast<long long>(seenBefore.contiguous));

    // After it: until the subscriber has every event made before the restart
    // and the outbox is back to its steady level.
    const double limit = std::max<double>(600, 5.0 * options.outage);
    double daemonBack = -1, subscriberBack = -1, delivered = -1, drained = -1;
    std::vector<Sample> samples;
    for (;;) {
        Sample sample;
        outbox.read(sample.pending, sample.lastSeq);
        sample.seen = subscriber.seen();
        sample.at = seconds() - restarted;
        samples.push_back(sample);
        if (daemonBack < 0 && metric(metricsPort, "vellort_broker_connected") == 1) daemonBack = sample.at;
        if (subscriberBack < 0 && subscriber.connections() > connectionsBefore)
            subscriberBack = subscriber.lastConnected() - restarted;
        if (delivered < 0 && sample.seen.contiguous >= backlogSeq) delivered = sample.at;
        if (drained < 0 && daemonBack >= 0 && sample.pending <= steadyMax) drained = sample.at;
        if ((delivered >= 0 && drained >= 0) || sample.at > limit) break;
        usleep(100000);
    }
    const double caughtUp = std::max(delivered, drained);
    const Seen seenThen = samples.back().seen;
    acquisition.stop();
    const long announced = acquisition.join();
    const double acquisitionEnded = seconds();

    // The rest: every copy booked, the outbox empty, every event at the subscriber.
    waitForBookings(*statusClient(), 2 * announced, 300, 5000);
    long left = -1;
    int64_t finalSeq = 0;
    const bool emptied = waitUntil(
        [&] {
            outbox.read(left, finalSeq);
            return left == 0;
        },
        300, 100);
    const bool complete = waitUntil(
        [&] {
            const Seen seen = subscriber.seen();
            return seen.contiguous >= finalSeq && seen.files >= 2 * announced;
        },
        120, 100);
    const double settled = seconds() - acquisitionEnded;
    const Seen seenAtEnd = subscriber.seen();
    const bool sessionKept = subscriber.sessionPresent();
    pipe.close();
    stopDaemon();

    // The subscriber's rate in the catch-up, and its fastest second.
    double fastest = 0;
    for (size_t i = 0, j = 0; i < samples.size(); ++i) {
        while (j < samples.size() && samples[j].at < samples[i].at + 1.0) ++j;
        if (j < samples.size() && samples[i].at <= caughtUp)
            fastest =
                std::max(fastest, (samples[j].seen.events - samples[i].seen.events) / (samples[j].at - samples[i].at));
    }
    const long inCatchUp = seenThen.events - seenBefore.events;
    // From the daemon's reconnection on, when the backlog actually moves.
    long atReconnection = seenBefore.events;
    for (const Sample& sample : samples)
        if (sample.at <= daemonBack) atReconnection = sample.seen.events;
    const double moving = caughtUp - daemonBack;
    printf(
        "  after the restart (s): the daemon connected %.1f, the subscriber %.1f (session present: %s); the "
        "subscriber had every event up to seq %lld at %.1f; the outbox at its level before the outage (<= %.0f) "
        "at %.1f\n",
        daemonBack, subscriberBack, sessionKept ? "yes" : "no", static_cast<long long>(backlogSeq), delivered,
        steadyMax, drained);
    if (caughtUp < 0) {
        printf("  NOT caught up %.0f s after the restart: outbox %ld, subscriber every event up to seq %lld\n", limit,
               samples.back().pending, static_cast<long long>(seenThen.contiguous));
    } else {
        printf(
            "  caught up %.1f s after the restart: the subscriber took %ld events in that time, %.0f events/s "
            "(fastest second %.0f); the backlog shrank by %.0f events/s net of the %.0f/s that kept coming\n",
            caughtUp, inCatchUp, inCatchUp / caughtUp, fastest, backlog / caughtUp, 2 * options.rate);
        printf("  from the daemon's reconnection: %.1f s, the subscriber took %ld events, %.0f events/s\n", moving,
               seenThen.events - atReconnection, moving > 0 ? (seenThen.events - atReconnection) / moving : NAN);
    }
    printf(
        "  acquisition stopped at %ld files; %s%.1f s later the outbox held %ld events and the subscriber %ld of %ld "
        "file events, every event up to seq %lld of %lld (%ld received, %ld foreign, %ld unparsed, %ld failed "
        "copies)\n\n",
        announced, emptied && complete ? "" : "INCOMPLETE: ", settled, left, seenAtEnd.files, 2 * announced,
        static_cast<long long>(seenAtEnd.contiguous), static_cast<long long>(finalSeq), seenAtEnd.received,
        seenAtEnd.foreign, seenAtEnd.unparsed, seenAtEnd.failed);
    printf(
        "RESULT events.outage.backlog_events=%ld\nRESULT events.outage.catch_up_s=%.1f\n"
        "RESULT events.outage.subscriber_events_per_s=%.0f\nRESULT events.outage.reconnect_s=%.1f\n"
        "RESULT events.outage.complete=%d\n\n",
        backlog, caughtUp, caughtUp > 0 ? inCatchUp / caughtUp : NAN, daemonBack, emptied && complete ? 1 : 0);
    removeCopies(ramdisk() + "/catchup");
    removeCopies(internalTarget() + "/catchup");
    removeCopies(externalTarget() + "/catchup");
    fflush(stdout);
    if (!emptied || !complete) die("not every event reached the subscriber");
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    options.vellort = builtExecutable("vellort");
    const char* usage =
        "usage: events_bench [--vellort PATH] [--rounds N] [--files N] [--seconds S] [--outage S] [--verify] "
        "[--journal-on-tmpfs] [--only a|b|c] [--quick]";
    for (int i = 1; i < argc; ++i) {
        const std::string option = argv[i];
        if (option == "--vellort" && i + 1 < argc)
            options.vellort = argv[++i];
        else if (option == "--rounds")
            options.rounds = numberArgument(argc, argv, i);
        else if (option == "--files")
            options.files = numberArgument(argc, argv, i);
        else if (option == "--seconds")
            options.seconds = numberArgument(argc, argv, i);
        else if (option == "--outage")
            options.outage = numberArgument(argc, argv, i);
        else if (option == "--verify")
            options.verify = true;
        else if (option == "--journal-on-tmpfs")
            options.journalOnTmpfs = true;
        else if (option == "--only" && i + 1 < argc)
            options.only = argv[++i];
        else if (option == "--quick") {
            options.rounds = 3;
            options.files = 5000;
            options.seconds = 5;
            options.outage = 10;
            options.warmUp = 3;
        } else {
            fprintf(stderr, "%s\n", usage);
            return 2;
        }
    }
    if (options.rounds < 1 || options.files < 1 || options.seconds < 1)
        die("--rounds, --files and --seconds must be at least 1");
    if (!options.only.empty() && options.only != "a" && options.only != "b" && options.only != "c") die(usage);
    if (geteuid() != 0) die("needs root to mount the tmpfs");
    if (access(options.vellort.c_str(), X_OK) != 0) die("no executable " + options.vellort + " (use --vellort)");
    if (MqttBroker::program().empty()) die("no mosquitto (scripts/setup.sh installs it)");
    umask(0);  // so the trees have the modes asked for, as the daemon's own files do
    signal(SIGPIPE, SIG_IGN);
    prctl(PR_SET_CHILD_SUBREAPER, 1);
    cleanUpOnSignals(cleanUpAtSignal);
    mosquitto_lib_init();

    makeSandbox();
    for (const std::string& path : {ramdisk(), internalTarget(), externalTarget()}) mountTmpfs(path);
    if (options.journalOnTmpfs)
        mountTmpfs(sandbox + "/var/lib/vellort");
    else if (mkdir((sandbox + "/var/lib/vellort").c_str(), 0755) != 0)
        die(std::string("mkdir: ") + strerror(errno));

    theBroker.reset(new MqttBroker);
    MqttBroker& broker = *theBroker;
    if (!broker.start()) die("the broker did not start: " + broker.log());
    printf("daemon %s; mosquitto on %s; RAM disk and targets: tmpfs at %s, %s and %s; journal %s (%s)\n\n",
           options.vellort.c_str(), broker.address().c_str(), ramdisk().c_str(), internalTarget().c_str(),
           externalTarget().c_str(), journalPath().c_str(),
           options.journalOnTmpfs ? "on a tmpfs" : "on the file system of /tmp");
    fflush(stdout);
    if (options.only.empty() || options.only == "a") rateCase(options, broker);
    if (options.only.empty() || options.only == "b") delayCase(options, broker);
    if (options.only.empty() || options.only == "c") catchUpCase(options, broker);

    cleanUp();
    mosquitto_lib_cleanup();
    return 0;
}
