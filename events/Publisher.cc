#include "events/Publisher.h"

#include <errno.h>
#include <fcntl.h>
#include <mosquitto.h>
#include <poll.h>
#include <pthread.h>
#include <sched.h>
#include <sqlite3.h>
#include <string.h>
#include <sys/eventfd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <thread>
#include <utility>

#include "events/EventText.h"
#include "health/StorageHealth.h"
#include "journal/Journal.h"
#include "ledger/Storage.h"
#include "ledger/StorageType.h"
#include "thread/MutexGuard.h"
#include "util/Json.h"
#include "util/Time.h"

namespace EVENTS {

using UTILITIES::jsonQuoted;

namespace {

// Events read from the outbox at a time, and handed to the connection
// before their acknowledgements: enough to keep a broker across a network
// busy, few enough to send again after a lost connection.
const size_t windowSize = 2000;
const int64_t maxBackoff = 60;  // seconds between two tries to reach the broker
const int64_t complaintInterval = 60;
const int keepalive = 30;
const int64_t handshakeTimeout = 30;      // seconds
const int64_t stateInterval = 200000000;  // nanoseconds between two looks at the storages' states

// libmosquitto's text for a failure, without its closing full stop, as the log's lines go on after it.
std::string failure(int rc) {
    std::string text = rc == MOSQ_ERR_ERRNO ? strerror(errno) : mosquitto_strerror(rc);
    if (!text.empty() && text.back() == '.') text.pop_back();
    return text;
}

int64_t monotonicSeconds() {
    return UTILITIES::monotonicNanoseconds() / 1000000000;
}

// The publisher runs on the processor time that copying leaves: a burst of
// copies is not slowed by its events, which go out once it has passed. Once
// events have waited maxDeferral, it takes its normal share until it has
// caught up, so that a processor kept busy (by the acquisition, say) cannot
// hold them back for long. It also takes its normal share while it holds what
// others wait for (the journal's queue, the memory queue, a storage's health,
// the log, and a read of the outbox, which keeps the journal's log from being
// checkpointed). There is one publisher in the process.
const int64_t maxDeferral = 2000000000;  // nanoseconds
std::atomic<bool> boosted{false};
thread_local int normalShares = 0;

void schedule(pthread_t thread, int policy) {
    struct sched_param none = {};
    pthread_setschedparam(thread, policy, &none);  // without it the thread only competes as any other
}

void schedule(int policy) {
    schedule(pthread_self(), policy);
}

struct NormalShare {
    NormalShare() {
        if (normalShares++ == 0) schedule(SCHED_OTHER);
    }
    ~NormalShare() {
        if (--normalShares == 0 && !boosted) schedule(SCHED_IDLE);
    }
    NormalShare(const NormalShare&) = delete;
    NormalShare& operator=(const NormalShare&) = delete;
};

}  // namespace

// libmosquitto calls these inside mosquitto_loop_read(), on the publisher thread.
struct Callbacks {
    static void connected(struct mosquitto*, void* self, int reason, int, const mosquitto_property*) {
        static_cast<Publisher*>(self)->_handshake(reason);
    }
    static void published(struct mosquitto*, void* self, int mid, int reason, const mosquitto_property*) {
        static_cast<Publisher*>(self)->_acknowledged(mid, reason);
    }
};

Publisher::Publisher(const Settings& settings, const std::string& logFilePath, const std::string& version)
    : settings_(settings),
      version_(version),
      topicPrefix_(settings.prefix + "/"),
      logFile(logFilePath),
      started_(nowNanoseconds()) {
    mosquitto_lib_init();  // once, before the thread; repeated calls do no harm
    wakeFd_.reset(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    // Without a journal the stream lives as long as this run: its own name.
    char random[17];
    snprintf(random, sizeof random, "%016llx",
             static_cast<unsigned long long>(started_ ^ (int64_t(getpid()) << 40) ^ UTILITIES::monotonicNanoseconds()));
    stream_ = random;
}

Publisher::~Publisher() {
    if (mosq_ != nullptr) mosquitto_destroy(mosq_);
    if (outbox_ != nullptr) sqlite3_close(outbox_);
}

bool Publisher::attachJournal(Journal* journal) {
    if (journal == nullptr) return false;
    // A connection of its own, for reading only: the journal's writer keeps
    // its own, and the write-ahead log lets both work at once.
    const int flags = SQLITE_OPEN_READONLY | SQLITE_OPEN_NOFOLLOW | SQLITE_OPEN_NOMUTEX;
    sqlite3* db = nullptr;
    int64_t count = -1;
    if (sqlite3_open_v2(journal->path().c_str(), &db, flags, nullptr) == SQLITE_OK) {
        sqlite3_busy_timeout(db, 5000);
        sqlite3_stmt* statement = nullptr;
        if (sqlite3_prepare_v2(db, "SELECT count(*) FROM outbox", -1, &statement, nullptr) == SQLITE_OK &&
            sqlite3_step(statement) == SQLITE_ROW)
            count = sqlite3_column_int64(statement, 0);
        sqlite3_finalize(statement);
    }
    if (count < 0 || journal->outboxStream().empty()) {
        logFile << "Error: Events: cannot read the outbox of the journal " << journal->path() << ": "
                << (db != nullptr ? sqlite3_errmsg(db) : "out of memory") << "; events wait in memory" << endl;
        sqlite3_close(db);
        return false;
    }
    outbox_ = db;
    journal_ = journal;
    stream_ = journal->outboxStream();
    pending_ = count;
    journal->setOutboxListener([this](int committedNow) { committed(committedNow); });
    return true;
}

void Publisher::detachJournal() {
    if (journal_ == nullptr) return;
    sqlite3_close(outbox_);
    outbox_ = nullptr;
    journal_ = nullptr;
    pending_ = 0;
}

void Publisher::post(int topic, std::string body) {
    if (journal_ != nullptr) {
        journal_->bookEvent(topic, std::move(body));
        return;
    }
    {
        MutexGuard guard(&mutex);
        if (static_cast<size_t>(std::max<int64_t>(pending_.load(), 0)) >= settings_.queueLimit) {
            ++dropped_;
            if (!memoryFullReported_)
                logFile << "Warning: Events: " << settings_.queueLimit
                        << " events wait for the broker: further events are dropped until it takes them" << endl;
            memoryFullReported_ = true;
            return;
        }
        memoryFullReported_ = false;
        memory_.push_back(Row{++memorySeq_, topic, std::move(body)});
        ++pending_;
    }
    _waiting();
    _wake();
}

void Publisher::_waiting() {
    int64_t none = 0;
    backlogSince_.compare_exchange_strong(none, UTILITIES::monotonicNanoseconds());
}

void Publisher::_caughtUp() {
    if (pending_.load() > 0 || backlogSince_.load() == 0) return;
    backlogSince_ = 0;
    if (pending_.load() > 0) _waiting();  // came meanwhile
    if (boosted.exchange(false)) schedule(SCHED_IDLE);
}

void Publisher::committed(int count) {
    pending_ += count;
    _waiting();
    outboxGrew_ = true;
    _wake();
}

void Publisher::_wake() {
    const uint64_t one = 1;
    ssize_t written = write(wakeFd_.get(), &one, sizeof one);
    (void)written;  // a counter at its top already wakes the thread
}

void Publisher::run() {
    schedule(SCHED_IDLE);
    const pthread_t publisher = pthread_self();
    // The keeper, on its normal share, gives the publisher its own when events wait too long.
    std::thread([this, publisher] {
        for (;;) {
            std::this_thread::sleep_for(std::chrono::milliseconds(250));
            const int64_t since = backlogSince_.load();
            if (since != 0 && UTILITIES::monotonicNanoseconds() - since > maxDeferral && !boosted.exchange(true))
                schedule(publisher, SCHED_OTHER);
        }
    }).detach();
    for (;;) {
        _caughtUp();
        const int64_t now = monotonicSeconds();
        if (mosq_ == nullptr && now >= nextAttempt_) {
            std::string why;
            if (!_connect(why)) {
                _complain(why);
                nextAttempt_ = now + backoff_;
                backoff_ = std::min(backoff_ * 2, maxBackoff);
            }
        }
        struct pollfd fds[2] = {{wakeFd_.get(), POLLIN, 0}, {-1, 0, 0}};
        if (mosq_ != nullptr) {
            fds[1].fd = mosquitto_socket(mosq_);
            fds[1].events = static_cast<short>(POLLIN | (mosquitto_want_write(mosq_) ? POLLOUT : 0));
        }
        // Woken by new events; else once a second at least, for keepalive and the states.
        const int64_t untilAttempt = std::max<int64_t>(0, std::min<int64_t>(1, nextAttempt_ - now));
        const int timeout = mosq_ == nullptr ? static_cast<int>(untilAttempt * 1000) : 1000;
        if (poll(fds, 2, timeout) < 0 && errno != EINTR) sleep(1);
        if (fds[0].revents & POLLIN) {
            uint64_t count;
            ssize_t got = read(wakeFd_.get(), &count, sizeof count);
            (void)got;
        }
        if (mosq_ != nullptr) {
            int rc = MOSQ_ERR_SUCCESS;
            if (fds[1].revents & (POLLIN | POLLHUP | POLLERR)) rc = mosquitto_loop_read(mosq_, 100);
            if (rc == MOSQ_ERR_SUCCESS && mosq_ != nullptr && (fds[1].revents & POLLOUT))
                rc = mosquitto_loop_write(mosq_, 100);
            if (rc == MOSQ_ERR_SUCCESS && mosq_ != nullptr) rc = mosquitto_loop_misc(mosq_);
            if (rc != MOSQ_ERR_SUCCESS && dropWhy_.empty()) dropWhy_ = failure(rc);
            if (!dropWhy_.empty()) _disconnect(dropWhy_);
            _bookAcknowledged();
        }
        // A broker that took the connection but never answers is left as an absent one.
        if (mosq_ != nullptr && !handshaken_ && monotonicSeconds() - connectedAt_ > handshakeTimeout)
            _disconnect("no answer to the connection");
        if (mosq_ != nullptr && !dropWhy_.empty()) _disconnect(dropWhy_);
        if (mosq_ != nullptr && handshaken_) {
            const int64_t nanoseconds = UTILITIES::monotonicNanoseconds();
            if (nanoseconds - stateLookedAt_ >= stateInterval) {
                NormalShare share;
                stateLookedAt_ = nanoseconds;
                if (_storageStates() != lastState_) _publishState();
            }
            _fill();
            _publishWaiting();
        } else if (journal_ == nullptr) {
            _fill();  // the memory queue's events move to the window meanwhile
        }
    }
}

bool Publisher::_connect(std::string& why) {
    mosq_ = mosquitto_new(settings_.clientId.c_str(), true, this);
    if (mosq_ == nullptr) {
        why = strerror(errno);
        return false;
    }
    mosquitto_int_option(mosq_, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V5);
    mosquitto_int_option(mosq_, MOSQ_OPT_TCP_NODELAY, 1);
    mosquitto_connect_v5_callback_set(mosq_, Callbacks::connected);
    mosquitto_publish_v5_callback_set(mosq_, Callbacks::published);
    const std::string will = _stateBody(false), topic = topicPrefix_ + "state";
    int rc = mosquitto_will_set_v5(mosq_, topic.c_str(), static_cast<int>(will.size()), will.data(), 1, true, nullptr);
    if (rc == MOSQ_ERR_SUCCESS && !settings_.username.empty())
        rc = mosquitto_username_pw_set(mosq_, settings_.username.c_str(),
                                       settings_.password.empty() ? nullptr : settings_.password.c_str());
    if (rc == MOSQ_ERR_SUCCESS && !settings_.cafile.empty())
        rc = mosquitto_tls_set(mosq_, settings_.cafile.c_str(), nullptr, nullptr, nullptr, nullptr);
    if (rc == MOSQ_ERR_SUCCESS)
        rc = mosquitto_connect_bind_v5(mosq_, settings_.host.c_str(), settings_.port, keepalive, nullptr, nullptr);
    if (rc != MOSQ_ERR_SUCCESS) {
        why = failure(rc);
        mosquitto_destroy(mosq_);
        mosq_ = nullptr;
        return false;
    }
    connectedAt_ = monotonicSeconds();
    return true;  // connected once the CONNACK comes
}

void Publisher::_handshake(int reason) {
    NormalShare share;
    if (reason != 0) {
        // Refused: a wrong name or password, say. Tried again like an absent broker,
        // once libmosquitto is out of its callback.
        dropWhy_ = std::string("refused: ") + mosquitto_reason_string(reason);
        return;
    }
    handshaken_ = true;
    connected_ = true;
    complained_ = false;
    backoff_ = 1;
    logFile << "++ Events: connected to " << broker() << endl;
    _publishState();
}

void Publisher::_complain(const std::string& why) {
    NormalShare share;
    // The first time, then once a minute while the broker stays away.
    const int64_t now = monotonicSeconds();
    if (complained_ && now - lastComplaint_ < complaintInterval) return;
    logFile << "Warning: Events: cannot reach the broker " << broker() << ": " << why << "; retrying" << endl;
    complained_ = true;
    lastComplaint_ = now;
}

void Publisher::_disconnect(const std::string& why) {
    NormalShare share;
    if (handshaken_) {
        logFile << "Warning: Events: lost the broker " << broker() << ": " << why << "; " << pending_.load()
                << " events wait" << endl;
        complained_ = true;
        lastComplaint_ = monotonicSeconds();
    } else {
        _complain(why);
    }
    // Whatever the broker has not acknowledged goes again on the next connection.
    for (Row& row : window_) row.sent = false;
    nextUnsent_ = 0;
    inflight_.clear();
    lastState_.clear();
    mosquitto_destroy(mosq_);
    mosq_ = nullptr;
    dropWhy_.clear();
    handshaken_ = false;
    connected_ = false;
    nextAttempt_ = monotonicSeconds() + backoff_;
    backoff_ = std::min(backoff_ * 2, maxBackoff);
}

void Publisher::_fill() {
    NormalShare share;
    if (journal_ == nullptr) {
        MutexGuard guard(&mutex);
        while (!memory_.empty() && window_.size() < windowSize) {
            window_.push_back(std::move(memory_.front()));
            memory_.pop_front();
        }
        return;
    }
    if (outboxGrew_.exchange(false)) moreInOutbox_ = true;
    if (!moreInOutbox_ || window_.size() >= windowSize / 2) return;
    sqlite3_stmt* statement = nullptr;
    if (sqlite3_prepare_v2(outbox_, "SELECT seq, topic, body FROM outbox WHERE seq > ? ORDER BY seq LIMIT ?", -1,
                           &statement, nullptr) != SQLITE_OK)
        return;
    const size_t wanted = windowSize - window_.size();
    sqlite3_bind_int64(statement, 1, lastRead_);
    sqlite3_bind_int64(statement, 2, static_cast<int64_t>(wanted));
    size_t read = 0;
    while (sqlite3_step(statement) == SQLITE_ROW) {
        const unsigned char* body = sqlite3_column_text(statement, 2);
        Row row{sqlite3_column_int64(statement, 0), sqlite3_column_int(statement, 1),
                body != nullptr ? reinterpret_cast<const char*>(body) : "{}"};
        lastRead_ = row.seq;
        window_.push_back(std::move(row));
        ++read;
    }
    sqlite3_finalize(statement);
    moreInOutbox_ = read == wanted;
}

void Publisher::_publishWaiting() {
    for (; nextUnsent_ < window_.size(); ++nextUnsent_) {
        Row& row = window_[nextUnsent_];
        if (row.sent || row.acked) continue;
        const std::string topic = topicPrefix_ + topicName(row.topic);
        const std::string payload = withId(row.body, stream_, row.seq);
        int mid = 0;
        const int rc = mosquitto_publish_v5(mosq_, &mid, topic.c_str(), static_cast<int>(payload.size()),
                                            payload.data(), 1, false, nullptr);
        if (rc != MOSQ_ERR_SUCCESS) {
            _disconnect(failure(rc));
            return;
        }
        row.sent = true;
        inflight_[mid] = row.seq;
    }
}

void Publisher::_acknowledged(int mid, int reason) {
    auto found = inflight_.find(mid);
    if (found == inflight_.end()) return;  // the state's
    const int64_t seq = found->second;
    inflight_.erase(found);
    if (reason >= 0x80) {
        NormalShare share;
        logFile << "Error: Events: the broker refused event " << stream_ << "-" << seq << ": "
                << mosquitto_reason_string(reason) << "; it is not sent again" << endl;
    }
    // The window is in the order of the numbers.
    auto row = std::lower_bound(window_.begin(), window_.end(), seq,
                                [](const Row& row, int64_t wanted) { return row.seq < wanted; });
    if (row != window_.end() && row->seq == seq) row->acked = true;
    while (!window_.empty() && window_.front().acked) {
        ackedUpTo_ = window_.front().seq;
        window_.pop_front();
        if (nextUnsent_ > 0) --nextUnsent_;
    }
    --pending_;
    ++published_;
}

void Publisher::_bookAcknowledged() {
    // Acknowledgements come in order: one deletion for all of them since the last.
    if (journal_ == nullptr || ackedUpTo_ <= bookedUpTo_) return;
    NormalShare share;
    journal_->bookSent(ackedUpTo_);
    bookedUpTo_ = ackedUpTo_;
}

void Publisher::_publishState() {
    const std::string body = _stateBody(true), topic = topicPrefix_ + "state";
    lastState_ = _storageStates();
    int rc = mosquitto_publish_v5(mosq_, nullptr, topic.c_str(), static_cast<int>(body.size()), body.data(), 1, true,
                                  nullptr);
    // Called in libmosquitto's callback too: the connection is dropped after it.
    if (rc != MOSQ_ERR_SUCCESS && dropWhy_.empty()) dropWhy_ = failure(rc);
}

std::string Publisher::_storageStates() const {
    std::string states = "[";
    for (const Storage* storage : storages_) {
        const Storage::Params& params = storage->getParams();
        const StorageHealth* health = storage->health();
        if (states.size() > 1) states += ",";
        states +=
            "{\"id\":" + jsonQuoted(params.storageID) + ",\"type\":" + jsonQuoted(storageTypeName(params.type)) +
            ",\"state\":" +
            jsonQuoted(StorageHealth::stateName(health != nullptr ? health->snapshot().state : StorageHealth::UP)) +
            "}";
    }
    return states + "]";
}

std::string Publisher::_stateBody(bool online) const {
    std::string body = std::string("{\"state\":") + (online ? "\"online\"" : "\"offline\"") +
                       ",\"host\":" + jsonQuoted(settings_.hostName) + ",\"client\":" + jsonQuoted(settings_.clientId) +
                       ",\"pid\":" + std::to_string(getpid()) + ",\"started\":" + jsonQuoted(rfc3339(started_));
    if (online)
        body += ",\"version\":" + jsonQuoted(version_) + ",\"time\":" + jsonQuoted(rfc3339(nowNanoseconds())) +
                ",\"storages\":" + _storageStates();
    return body + "}";
}

bool readPasswordFile(const std::string& path, std::string& password, std::string& why) {
    const UniqueFd fd(open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK));
    if (!fd) {
        why = strerror(errno);
        return false;
    }
    struct stat status;
    std::string text;
    if (fstat(fd.get(), &status) != 0) {
        why = strerror(errno);
    } else if (!S_ISREG(status.st_mode)) {
        why = "is no regular file";
    } else if (status.st_uid != 0 && status.st_uid != geteuid()) {
        why = "is not root's";
    } else if ((status.st_mode & 077) != 0) {
        char mode[8];
        snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(status.st_mode & 07777));
        why = std::string("is open to others (mode ") + mode + "); it must be 0600 or 0400";
    } else {
        char buffer[4096];
        ssize_t got;
        while ((got = read(fd.get(), buffer, sizeof buffer)) > 0 && text.size() < 65536)
            text.append(buffer, size_t(got));
        if (got < 0) why = strerror(errno);
    }
    if (!why.empty()) return false;
    password = text.substr(0, text.find('\n'));
    if (!password.empty() && password.back() == '\r') password.pop_back();
    return true;
}

}  // namespace EVENTS
