#ifndef VELLORT_EVENTS_PUBLISHER_H
#define VELLORT_EVENTS_PUBLISHER_H

#include <stdint.h>

#include <atomic>
#include <deque>
#include <map>
#include <string>
#include <vector>

#include "log/LogFile.h"
#include "thread/Mutex.h"
#include "thread/Thread.h"
#include "util/UniqueFd.h"

struct mosquitto;
struct sqlite3;
class Journal;
class Storage;

namespace EVENTS {

struct Settings {
    std::string host;  // broker
    int port = 1883;
    std::string prefix, clientId, username, password, cafile;
    size_t queueLimit = 100000;  // without a journal: events held in memory at most
    std::string hostName;        // this computer's, in every event
};

// Publishes the daemon's events to an MQTT broker, with QoS 1, on its own
// thread: nothing that copies ever waits for the broker.
//
// With a journal, the journal's outbox holds the events: each is committed
// with the step it reports, read from there in the order of its number, and
// taken out once the broker acknowledged it. So a broker that is away, or a
// daemon killed and started again, sends the rest again, in order; each
// event arrives at least once, and consumers drop repeats by the id. Without
// a journal the events wait in memory, up to queueLimit, and a kill loses
// them.
//
// The retained state topic holds "online" and every storage's state while
// the daemon is connected, and "offline", the connection's last will, once
// the broker loses it.
class Publisher : public Thread {
public:
    Publisher(const Settings& settings, const std::string& logFilePath, const std::string& version);
    ~Publisher() override;

    // Before start(): the journal whose outbox holds the events (opened with
    // its outbox), and the storages whose states the state topic shows.
    // False, after logging why, when the outbox cannot be read: the events
    // then wait in memory.
    bool attachJournal(Journal* journal);
    // Undoes attachJournal() for a journal whose writer could not start.
    void detachJournal();
    void setStorages(const std::vector<Storage*>& storages) { storages_ = storages; }

    // Any thread: an event made now, for the journal's outbox or the memory queue.
    void post(int topic, std::string body);
    // The journal's writer: `count` events are committed in its outbox.
    void committed(int count);
    // Whether events go through the journal's outbox.
    bool journaled() const { return journal_ != nullptr; }
    const std::string& hostName() const { return settings_.hostName; }

    // For the metrics and the status services, from any thread.
    bool connected() const { return connected_.load(); }
    int64_t pending() const { return pending_.load(); }
    uint64_t published() const { return published_.load(); }
    uint64_t dropped() const { return dropped_.load(); }
    std::string broker() const { return settings_.host + ":" + std::to_string(settings_.port); }

protected:
    void run() override;

private:
    struct Row {
        int64_t seq;
        int topic;
        std::string body;
        bool sent = false;   // handed to the connection now up
        bool acked = false;  // the broker has it
    };

    bool _connect(std::string& why);
    void _disconnect(const std::string& why);
    void _complain(const std::string& why);
    void _fill();
    void _publishWaiting();
    void _publishState();
    std::string _stateBody(bool online) const;
    std::string _storageStates() const;
    void _acknowledged(int mid, int reason);
    void _bookAcknowledged();
    void _wake();
    // Any thread: events wait from now on, unless they already did.
    void _waiting();
    // Publisher thread: once none waits, the publisher goes back to the time that copying leaves.
    void _caughtUp();

    void _handshake(int reason);
    friend struct Callbacks;  // libmosquitto's, on the publisher thread

    const Settings settings_;
    const std::string version_;
    const std::string topicPrefix_;
    LogFile logFile;
    Journal* journal_ = nullptr;
    sqlite3* outbox_ = nullptr;  // publisher thread only once started
    std::string stream_;
    std::vector<Storage*> storages_;
    const int64_t started_;
    UniqueFd wakeFd_;

    // Publisher thread only.
    struct mosquitto* mosq_ = nullptr;
    bool handshaken_ = false;                // CONNACK came
    std::string dropWhy_;                    // set in a callback: the connection goes once libmosquitto is out of it
    int64_t connectedAt_ = 0;                // monotonic seconds of the connection's start
    int64_t stateLookedAt_ = 0;              // monotonic nanoseconds of the last look at the storages' states
    std::deque<Row> window_;                 // events read, not yet acknowledged, in order
    size_t nextUnsent_ = 0;                  // window_'s first row not handed to the connection now up
    int64_t ackedUpTo_ = 0;                  // every event up to it acknowledged
    int64_t bookedUpTo_ = 0;                 // and booked so in the journal
    int64_t lastRead_ = 0;                   // the outbox's last number read
    bool moreInOutbox_ = true;               // the outbox may hold more than was read
    std::map<int, int64_t> inflight_;        // message ids of the connection now up -> seq
    std::string lastState_;                  // the storages' states last published
    int64_t nextAttempt_ = 0, backoff_ = 1;  // monotonic seconds
    int64_t lastComplaint_ = -1;
    bool complained_ = false;

    Mutex mutex{Mutex::NORMAL};
    std::deque<Row> memory_ GUARDED_BY(mutex);  // without a journal: events posted, not yet read
    int64_t memorySeq_ GUARDED_BY(mutex) = 0;
    bool memoryFullReported_ GUARDED_BY(mutex) = false;

    std::atomic<bool> connected_{false};
    std::atomic<int64_t> pending_{0};
    std::atomic<uint64_t> published_{0}, dropped_{0};
    std::atomic<bool> outboxGrew_{false};
    // Monotonic nanoseconds since when events wait, 0 while none does.
    std::atomic<int64_t> backlogSince_{0};
};

// The password in the first line of `path`: false, with why, when the file
// is missing, no regular file, not root's, or open to group or others.
bool readPasswordFile(const std::string& path, std::string& password, std::string& why);

}  // namespace EVENTS

#endif
