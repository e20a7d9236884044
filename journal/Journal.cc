#include "journal/Journal.h"

#include <errno.h>
#include <stdio.h>
#include <sys/stat.h>
#include <time.h>

#include <chrono>
#include <map>
#include <thread>

#include <sqlite3.h>

#include "events/EventText.h"
#include "net/MessageServer.h"
#include "thread/MutexGuard.h"
#include "util/Errors.h"

namespace {

// Steps booked while no caller waits are gathered this long into one commit.
const auto groupPause = std::chrono::milliseconds(50);
// Between two copies of the write-ahead log into the journal file.
const auto checkpointPause = std::chrono::seconds(1);
// The log starts again from its beginning only when a copy has caught up
// with it; under a steady load one seldom does, so at this many pages (32 MiB)
// the writer waits for one copy to catch up.
const int walPagesLimit = 32768;

int countWalPages(void* pages, sqlite3*, const char*, int count) {
    *static_cast<int*>(pages) = count;
    return SQLITE_OK;
}
// Events kept for another try while the journal cannot be written; beyond
// this the oldest go, so that a full disk cannot fill the memory as well.
const size_t queueLimit = 1000000;

const char* const schema =
    "CREATE TABLE meta(key TEXT PRIMARY KEY, value BLOB NOT NULL);"
    "CREATE TABLE storages(id INTEGER PRIMARY KEY, name TEXT UNIQUE NOT NULL);"
    "CREATE TABLE shifts(time INTEGER PRIMARY KEY, uid INTEGER NOT NULL, gid INTEGER NOT NULL,"
    " first_file INTEGER NOT NULL);"
    "CREATE TABLE history(storage INTEGER NOT NULL, time INTEGER NOT NULL, uid INTEGER NOT NULL,"
    " gid INTEGER NOT NULL, pending INTEGER NOT NULL, copied INTEGER NOT NULL, failed INTEGER NOT NULL,"
    " verified INTEGER NOT NULL DEFAULT 0, verify_failed INTEGER NOT NULL DEFAULT 0,"
    " PRIMARY KEY(storage, time)) WITHOUT ROWID;"
    "CREATE TABLE files(id INTEGER PRIMARY KEY, path TEXT NOT NULL, shift INTEGER NOT NULL, hash TEXT, size INTEGER);"
    "CREATE TABLE steps(file INTEGER NOT NULL, storage INTEGER NOT NULL, state INTEGER NOT NULL,"
    " attempts INTEGER NOT NULL, done INTEGER NOT NULL, PRIMARY KEY(file, storage)) WITHOUT ROWID;";

// Schema 1 to 2 and 2 to 3: the columns come last, as in a file made with
// this schema. Files announced before have no size (NULL).
const char* const upgradeFrom1 =
    "ALTER TABLE files ADD COLUMN hash TEXT;"
    "ALTER TABLE history ADD COLUMN verified INTEGER NOT NULL DEFAULT 0;"
    "ALTER TABLE history ADD COLUMN verify_failed INTEGER NOT NULL DEFAULT 0;";
const char* const upgradeFrom2 = "ALTER TABLE files ADD COLUMN size INTEGER;";

// Makes the folders above a file that are missing, root's and not for others to write.
void makeFoldersAbove(const std::string& path) {
    for (size_t slash = path.find('/', 1); slash != std::string::npos; slash = path.find('/', slash + 1))
        mkdir(path.substr(0, slash).c_str(), 0755);  // an error shows when the file is opened
}

int64_t column(sqlite3_stmt* statement, int index) {
    return sqlite3_column_int64(statement, index);
}

// A part of open() that failed: `text` says why.
bool failWith(std::string& why, const std::string& text) {
    why = text;
    return false;
}

}  // namespace

Journal::Journal(const std::string& path, const std::vector<std::string>& storageIDs, int historyEntries,
                 const std::string& logFilePath, MessageServer* messageServer)
    : path_(path),
      storageIDs(storageIDs),
      historyEntries(historyEntries < 1 ? 1 : historyEntries),
      logFile(logFilePath),
      messageServer(messageServer) {}

Journal::~Journal() {
    {
        MutexGuard lock(&mutex);
        stopping = true;
    }
    changed.notify_all();
    join();  // at once when it never started
    _close();
}

bool Journal::open(Contents& out) {
    std::string why;
    upgradeFailed = false;
    // An outbox that cannot be made costs the events their journal, not the files theirs.
    auto withOutbox = [&] {
        std::string outboxWhy;
        if (outboxWanted && !_openOutbox(outboxWhy))
            logFile << "Error: The journal " << path_ << " cannot hold the events' outbox: " << outboxWhy << endl;
        return true;
    };
    if (_openFile(why) && _read(out, why)) return withOutbox();
    if (upgradeFailed) {
        // Its files and history are sound; moving it aside would lose them.
        const std::string text = "Error: The journal " + path_ + " cannot be upgraded to schema " +
                                 std::to_string(schemaVersion) + ": " + why +
                                 "; it is left as it is, and files are kept in memory only";
        logFile << text << endl;
        if (messageServer != nullptr) messageServer->addToMessageQueue(MessageServer::JOURNAL_ERROR, path_, text);
        _close();
        out = Contents();
        return false;
    }
    _moveAside(why);
    out = Contents();
    if (_openFile(why) && _read(out, why)) return withOutbox();
    logFile << "Error: The journal " << path_ << " cannot be made: " << why << "; files are kept in memory only"
            << endl;
    _close();
    out = Contents();
    return false;
}

bool Journal::_openFile(std::string& why) {
    makeFoldersAbove(path_);
    const int flags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOFOLLOW | SQLITE_OPEN_NOMUTEX;
    if (sqlite3_open_v2(path_.c_str(), &db, flags, nullptr) != SQLITE_OK) {
        why = db != nullptr ? sqlite3_errmsg(db) : "out of memory";
        return false;
    }
    sqlite3_busy_timeout(db, 2000);  // an operator's sqlite3 may hold it for a moment
    // WAL: a commit is one append, and readers never block the writer.
    // NORMAL: a commit is safe from a killed process, and only a power cut
    // may take the last ones.
    // Small pages for a new file: a commit appends every page it changed
    // (about four for one announcement), so its cost follows the page size.
    _exec("PRAGMA page_size=1024");
    if (!_exec("PRAGMA journal_mode=WAL") || !_exec("PRAGMA synchronous=NORMAL")) {
        why = sqlite3_errmsg(db);
        return false;
    }
    // The write-ahead log is copied into the file by a thread of its own (see
    // run()), so that no commit waits for its syncs; it is cut back to this
    // size once copied.
    _exec("PRAGMA journal_size_limit=4194304");
    return true;
}

void Journal::_checkpoints(sqlite3* copier) {
    MutexGuard lock(&mutex);
    while (!stopping) {
        const auto until = std::chrono::steady_clock::now() + checkpointPause;
        while (!stopping && !walFull)
            if (changed.wait_until(mutex, until) == std::cv_status::timeout) break;
        lock.unlock();
        // Passive: copies what no reader still needs, and never blocks the writer.
        sqlite3_wal_checkpoint_v2(copier, nullptr, SQLITE_CHECKPOINT_PASSIVE, nullptr, nullptr);
        lock.lock();
        if (walFull) {
            walFull = false;
            changed.notify_all();
        }
    }
    lock.unlock();
    sqlite3_close(copier);
}

bool Journal::_read(Contents& out, std::string& why) {
    return _readSchema(why) && _readStorages(why) && _readUnread(out.unread, why) && _readHistory(out, why) &&
           _readFiles(out.files, why);
}

bool Journal::_readSchema(std::string& why) {
    sqlite3_stmt* statement = _statement("PRAGMA user_version");
    if (statement == nullptr || sqlite3_step(statement) != SQLITE_ROW) return failWith(why, sqlite3_errmsg(db));
    const int64_t version = column(statement, 0);
    sqlite3_reset(statement);
    if (version > schemaVersion)
        return failWith(why, "it was written by a newer version (schema " + std::to_string(version) +
                                 ", this one reads " + std::to_string(schemaVersion) + ")");
    statement = _statement("PRAGMA quick_check");
    if (statement == nullptr || sqlite3_step(statement) != SQLITE_ROW) return failWith(why, sqlite3_errmsg(db));
    const std::string check = reinterpret_cast<const char*>(sqlite3_column_text(statement, 0));
    sqlite3_reset(statement);
    if (check != "ok") return failWith(why, "it is damaged: " + check);
    if (version == 0) {
        const std::string make =
            std::string("BEGIN;") + schema + "PRAGMA user_version=" + std::to_string(schemaVersion) + ";COMMIT;";
        if (!_exec(make.c_str())) return failWith(why, sqlite3_errmsg(db));
    } else if (version < schemaVersion) {
        if (!_upgrade(version, why)) {
            upgradeFailed = true;
            return false;
        }
        logFile << "The journal " << path_ << " is upgraded from schema " << version << " to " << schemaVersion << endl;
    }
    return true;
}

bool Journal::_readStorages(std::string& why) {
    storageKeys.clear();
    for (const std::string& id : storageIDs) {
        sqlite3_stmt* add = _statement("INSERT OR IGNORE INTO storages(name) VALUES(?)");
        sqlite3_stmt* find = _statement("SELECT id FROM storages WHERE name = ?");
        if (add == nullptr || find == nullptr) return failWith(why, sqlite3_errmsg(db));
        sqlite3_bind_text(add, 1, id.c_str(), -1, SQLITE_TRANSIENT);
        const int added = sqlite3_step(add);
        sqlite3_reset(add);
        sqlite3_bind_text(find, 1, id.c_str(), -1, SQLITE_TRANSIENT);
        if (added != SQLITE_DONE || sqlite3_step(find) != SQLITE_ROW) return failWith(why, sqlite3_errmsg(db));
        storageKeys.push_back(column(find, 0));
        sqlite3_reset(find);
        // A storage new to the journal counts from the current shift on.
        sqlite3_stmt* entry = _statement(
            "INSERT OR IGNORE INTO history(storage, time, uid, gid, pending, copied, failed)"
            " SELECT ?, time, uid, gid, 0, 0, 0 FROM shifts ORDER BY time DESC LIMIT 1");
        if (entry == nullptr) return failWith(why, sqlite3_errmsg(db));
        sqlite3_bind_int64(entry, 1, storageKeys.back());
        const int made = sqlite3_step(entry);
        sqlite3_reset(entry);
        if (made != SQLITE_DONE) return failWith(why, sqlite3_errmsg(db));
    }
    return true;
}

bool Journal::_readUnread(std::string& unread, std::string& why) {
    sqlite3_stmt* statement = _statement("SELECT value FROM meta WHERE key = 'unread'");
    if (statement == nullptr) return failWith(why, sqlite3_errmsg(db));
    if (sqlite3_step(statement) == SQLITE_ROW && sqlite3_column_bytes(statement, 0) > 0)
        unread.assign(static_cast<const char*>(sqlite3_column_blob(statement, 0)),
                      static_cast<size_t>(sqlite3_column_bytes(statement, 0)));
    sqlite3_reset(statement);
    return true;
}

bool Journal::_readHistory(Contents& out, std::string& why) {
    sqlite3_stmt* statement = _statement("SELECT time, uid, gid FROM shifts ORDER BY time DESC LIMIT 1");
    if (statement == nullptr) return failWith(why, sqlite3_errmsg(db));
    int result = sqlite3_step(statement);
    if (result == SQLITE_ROW) {
        out.haveShift = true;
        out.shiftTime = column(statement, 0);
        out.uid = static_cast<uint32_t>(column(statement, 1));
        out.gid = static_cast<uint32_t>(column(statement, 2));
    }
    sqlite3_reset(statement);
    if (result != SQLITE_ROW && result != SQLITE_DONE) return failWith(why, sqlite3_errmsg(db));

    out.history.assign(storageKeys.size(), {});
    statement = _statement(
        "SELECT time, uid, gid, pending, copied, failed, verified, verify_failed FROM history WHERE storage = ?"
        " ORDER BY time DESC LIMIT ?");
    if (statement == nullptr) return failWith(why, sqlite3_errmsg(db));
    for (size_t storage = 0; storage < storageKeys.size(); ++storage) {
        sqlite3_bind_int64(statement, 1, storageKeys[storage]);
        sqlite3_bind_int(statement, 2, historyEntries);
        while ((result = sqlite3_step(statement)) == SQLITE_ROW) {
            auto count = [&](int index) { return static_cast<uint32_t>(column(statement, index)); };
            out.history[storage].push_back(
                {column(statement, 0), count(1), count(2), count(3), count(4), count(5), count(6), count(7)});
        }
        sqlite3_reset(statement);
        if (result != SQLITE_DONE) return failWith(why, sqlite3_errmsg(db));
    }
    return true;
}

bool Journal::_readFiles(std::vector<OpenFile>& files, std::string& why) {
    // Every file with its steps; those done everywhere are left out.
    std::map<int64_t, size_t> position;
    for (size_t storage = 0; storage < storageKeys.size(); ++storage) position[storageKeys[storage]] = storage;
    sqlite3_stmt* rows = _statement("SELECT id, path, shift, hash, coalesce(size, -1) FROM files ORDER BY id");
    sqlite3_stmt* steps = _statement("SELECT file, storage, state, attempts, done FROM steps ORDER BY file");
    if (rows == nullptr || steps == nullptr) return failWith(why, sqlite3_errmsg(db));
    int result;
    int stepResult = sqlite3_step(steps);
    while ((result = sqlite3_step(rows)) == SQLITE_ROW) {
        const char* hash = reinterpret_cast<const char*>(sqlite3_column_text(rows, 3));  // NULL while unknown
        OpenFile file{column(rows, 0),
                      reinterpret_cast<const char*>(sqlite3_column_text(rows, 1)),
                      column(rows, 2),
                      std::vector<Step>(storageKeys.size()),
                      hash != nullptr ? hash : "",
                      column(rows, 4)};
        if (file.id >= nextId) nextId = file.id + 1;
        while (stepResult == SQLITE_ROW && column(steps, 0) <= file.id) {
            auto at = position.find(column(steps, 1));
            if (column(steps, 0) == file.id && at != position.end()) {
                const int64_t state = column(steps, 2);
                if (state < PENDING || state > KEPT)
                    return failWith(why, "a step has the unknown state " + std::to_string(state));
                file.steps[at->second] = {static_cast<State>(state), static_cast<uint32_t>(column(steps, 3)),
                                          column(steps, 4) != 0};
            }
            stepResult = sqlite3_step(steps);
        }
        bool done = true;
        for (const Step& step : file.steps) done = done && step.done;
        if (!done) files.push_back(std::move(file));
    }
    sqlite3_reset(rows);
    sqlite3_reset(steps);
    if (result != SQLITE_DONE || (stepResult != SQLITE_DONE && stepResult != SQLITE_ROW))
        return failWith(why, sqlite3_errmsg(db));
    // New files are numbered past every file read, and past every file a step still names.
    sqlite3_stmt* statement = _statement("SELECT coalesce(max(file), 0) FROM steps");
    if (statement == nullptr || sqlite3_step(statement) != SQLITE_ROW) return failWith(why, sqlite3_errmsg(db));
    if (column(statement, 0) >= nextId) nextId = column(statement, 0) + 1;
    sqlite3_reset(statement);
    return true;
}

bool Journal::_openOutbox(std::string& why) {
    if (!_exec("CREATE TABLE IF NOT EXISTS outbox(seq INTEGER PRIMARY KEY, topic INTEGER NOT NULL,"
               " body TEXT NOT NULL)")) {
        why = sqlite3_errmsg(db);
        return false;
    }
    // Numbers are never used twice, even once the outbox was empty: with the
    // stream's name they make the events' ids. The last one given is kept
    // with each commit that gave one.
    sqlite3_stmt* last = _statement(
        "SELECT max(coalesce((SELECT max(seq) FROM outbox), 0),"
        " coalesce((SELECT CAST(value AS INTEGER) FROM meta WHERE key = 'event_seq'), 0))");
    if (last == nullptr || sqlite3_step(last) != SQLITE_ROW) {
        why = sqlite3_errmsg(db);
        return false;
    }
    outboxSeq = sqlite3_column_int64(last, 0);
    sqlite3_reset(last);
    sqlite3_stmt* find = _statement("SELECT value FROM meta WHERE key = 'event_stream'");
    if (find == nullptr) {
        why = sqlite3_errmsg(db);
        return false;
    }
    if (sqlite3_step(find) == SQLITE_ROW && sqlite3_column_bytes(find, 0) == 16)
        outboxStream_.assign(static_cast<const char*>(sqlite3_column_blob(find, 0)), 16);
    sqlite3_reset(find);
    if (!outboxStream_.empty()) return true;
    uint64_t random = 0;
    sqlite3_randomness(sizeof random, &random);
    char name[17];
    snprintf(name, sizeof name, "%016llx", static_cast<unsigned long long>(random));
    sqlite3_stmt* keep = _statement("INSERT OR REPLACE INTO meta(key, value) VALUES('event_stream', ?)");
    if (keep == nullptr) {
        why = sqlite3_errmsg(db);
        return false;
    }
    sqlite3_bind_blob(keep, 1, name, 16, SQLITE_TRANSIENT);
    const bool kept = sqlite3_step(keep) == SQLITE_DONE;
    sqlite3_reset(keep);
    if (!kept) {
        why = sqlite3_errmsg(db);
        return false;
    }
    outboxStream_ = name;
    return true;
}

bool Journal::_toOutbox(int topic, const std::string& body) {
    sqlite3_stmt* add = _statement("INSERT INTO outbox(seq, topic, body) VALUES(?, ?, ?)");
    if (add == nullptr) return false;
    sqlite3_bind_int64(add, 1, outboxSeq + outboxAdded + 1);
    sqlite3_bind_int(add, 2, topic);
    sqlite3_bind_text(add, 3, body.data(), static_cast<int>(body.size()), SQLITE_STATIC);
    const bool added = sqlite3_step(add) == SQLITE_DONE;
    sqlite3_reset(add);
    if (added) ++outboxAdded;
    return added;
}

bool Journal::_upgrade(int64_t version, std::string& why) {
    const std::string upgrade = std::string("BEGIN;") + (version < 2 ? upgradeFrom1 : "") + upgradeFrom2 +
                                "PRAGMA user_version=" + std::to_string(schemaVersion) + ";COMMIT;";
    if (_exec(upgrade.c_str())) return true;
    why = sqlite3_errmsg(db);
    _exec("ROLLBACK");  // fails harmlessly when no transaction is left open
    return false;
}

void Journal::_close() {
    for (auto& prepared : statements) sqlite3_finalize(prepared.second);
    statements.clear();
    if (db != nullptr) sqlite3_close(db);
    db = nullptr;
}

void Journal::_moveAside(const std::string& why) {
    _close();
    const std::string aside = path_ + ".corrupt-" + std::to_string(static_cast<long long>(time(nullptr)));
    std::string where = "moved aside as " + aside;
    if (rename(path_.c_str(), aside.c_str()) != 0 && errno != ENOENT)
        where = "could not be moved aside as " + aside + " (" + UTILITIES::systemText(errno) + ")";
    // The write-ahead log belongs to the old file; a fresh file must not take it up.
    rename((path_ + "-wal").c_str(), (aside + "-wal").c_str());
    remove((path_ + "-shm").c_str());
    const std::string text = "Error: The journal " + path_ + " cannot be read: " + why + "; it is " + where +
                             ", and a fresh journal is started";
    logFile << text << endl;
    if (messageServer != nullptr) messageServer->addToMessageQueue(MessageServer::JOURNAL_ERROR, path_, text);
}

bool Journal::_exec(const char* sql) {
    return sqlite3_exec(db, sql, nullptr, nullptr, nullptr) == SQLITE_OK;
}

sqlite3_stmt* Journal::_statement(const char* sql) {
    for (auto& prepared : statements)
        if (prepared.first == sql) return prepared.second;
    sqlite3_stmt* statement = nullptr;
    if (sqlite3_prepare_v3(db, sql, -1, SQLITE_PREPARE_PERSISTENT, &statement, nullptr) != SQLITE_OK) return nullptr;
    statements.emplace_back(sql, statement);
    return statement;
}

uint64_t Journal::submit(const std::vector<Entry>& entries, const std::string& bytes) {
    if (entries.empty()) return 0;
    MutexGuard lock(&mutex);
    if (!bytes.empty()) {
        Event event{};
        event.kind = Event::BYTES;
        event.path = bytes;
        queue.push_back(std::move(event));
        ++queued;
    }
    for (const Entry& entry : entries) {
        Event event{};
        event.kind = entry.shift ? Event::SHIFT : Event::FILE;
        event.id = entry.id;
        event.path = entry.path;
        event.time = entry.time;
        event.uid = entry.uid;
        event.gid = entry.gid;
        event.size = entry.size;
        if (!outboxStream_.empty()) event.event = entry.event;
        queue.push_back(std::move(event));
    }
    queued += entries.size();
    ++urgent;
    changed.notify_all();
    return queued;
}

void Journal::waitFor(uint64_t ticket) {
    if (ticket == 0) return;
    MutexGuard lock(&mutex);
    while (settled < ticket) changed.wait(mutex);
}

void Journal::book(int64_t file, int storage, const Step& step, int64_t shift, const HistoryChange& change,
                   std::string eventBody) {
    if (storage < 0 || static_cast<size_t>(storage) >= storageKeys.size()) return;
    Event event{};
    event.kind = Event::STEP;
    event.id = file;
    event.time = shift;
    event.storage = storage;
    event.step = step;
    event.change = change;
    if (!outboxStream_.empty()) event.event = std::move(eventBody);
    _queue(std::move(event));
}

void Journal::bookEvent(int topic, std::string body) {
    if (outboxStream_.empty()) return;
    Event event{};
    event.kind = Event::OUTBOX;
    event.topic = topic;
    event.event = std::move(body);
    _queue(std::move(event));
}

void Journal::bookSent(int64_t seq) {
    Event event{};
    event.kind = Event::SENT;
    event.id = seq;
    _queue(std::move(event));
}

void Journal::bookVerification(int storage, int64_t shift, bool verified) {
    if (storage < 0 || static_cast<size_t>(storage) >= storageKeys.size()) return;
    Event event{};
    event.kind = Event::COUNT;
    event.time = shift;
    event.storage = storage;
    event.change = HistoryChange::verification(verified);
    _queue(std::move(event));
}

void Journal::bookHash(int64_t file, const std::string& hash) {
    if (file == 0) return;
    Event event{};
    event.kind = Event::HASH;
    event.id = file;
    event.path = hash;
    _queue(std::move(event));
}

void Journal::_queue(Event&& event) {
    MutexGuard lock(&mutex);
    queue.push_back(std::move(event));
    ++queued;
    if (queue.size() == 1) changed.notify_all();
}

void Journal::flush(int seconds) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    MutexGuard lock(&mutex);
    const uint64_t mine = queued;
    ++waiting;
    changed.notify_all();
    while (settled < mine)
        if (changed.wait_until(mutex, until) == std::cv_status::timeout) break;
    --waiting;
}

void Journal::run() {
    // Without a second connection the writer checkpoints by itself, as
    // SQLite does by default. The second one finds the write-ahead log only
    // once it has read the file.
    sqlite3* copier = nullptr;
    std::thread checkpoints;
    if (db != nullptr &&
        sqlite3_open_v2(path_.c_str(), &copier, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX, nullptr) == SQLITE_OK &&
        sqlite3_exec(copier, "SELECT count(*) FROM sqlite_master", nullptr, nullptr, nullptr) == SQLITE_OK &&
        _exec("PRAGMA wal_autocheckpoint=0")) {
        sqlite3_busy_timeout(copier, 1000);
        sqlite3_wal_hook(db, countWalPages, &walPages);
        checkpoints = std::thread(&Journal::_checkpoints, this, copier);
    } else {
        sqlite3_close(copier);
    }
    _write();
    if (checkpoints.joinable()) checkpoints.join();
}

void Journal::_write() {
    std::vector<Event> group;
    for (;;) {
        uint64_t last;
        {
            MutexGuard lock(&mutex);
            while (queue.empty() && !stopping) changed.wait(mutex);
            if (queue.empty()) return;
            // Steps alone wait a little for company; a waiting reader does not.
            const auto until = std::chrono::steady_clock::now() + groupPause;
            while (waiting == 0 && urgent == 0 && !stopping)
                if (changed.wait_until(mutex, until) == std::cv_status::timeout) break;
            urgent = 0;
            if (group.empty()) {
                group.swap(queue);
            } else {
                group.insert(group.end(), std::make_move_iterator(queue.begin()), std::make_move_iterator(queue.end()));
                queue.clear();
            }
            last = queued;
        }
        std::string why;
        outboxAdded = 0;
        const bool committed = _commit(group, why);
        if (committed) outboxSeq += outboxAdded;
        if (committed && outboxAdded > 0 && outboxListener) outboxListener(outboxAdded);
        if (committed) {
            if (failing) logFile << "The journal " << path_ << " is written again" << endl;
            failing = false;
            group.clear();
        } else {
            _reportFailure(why);
            if (group.size() > queueLimit) {
                logFile << "Error: " << group.size() - queueLimit << " entries of the journal " << path_
                        << " were dropped: it could not be written for too long" << endl;
                group.erase(group.begin(), group.begin() + static_cast<long>(group.size() - queueLimit));
            }
        }
        bool ending;
        {
            MutexGuard lock(&mutex);
            settled = last;  // written or not: the reader goes on either way
            changed.notify_all();
            if (walPages > walPagesLimit) {
                walFull = true;
                const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(5);
                while (walFull && !stopping)
                    if (changed.wait_until(mutex, until) == std::cv_status::timeout) break;
                walPages = 0;
            }
            ending = stopping;
        }
        if (!committed && ending) return;
        if (!committed) std::this_thread::sleep_for(std::chrono::seconds(1));
    }
}

void Journal::_reportFailure(const std::string& why) {
    if (failing) return;  // one line until it works again
    failing = true;
    const std::string text = "Error: The journal " + path_ + " cannot be written: " + why +
                             "; what the daemon does meanwhile is kept in memory and written when it can";
    logFile << text << endl;
    if (messageServer != nullptr) messageServer->addToMessageQueue(MessageServer::JOURNAL_ERROR, path_, text);
}

bool Journal::_commit(const std::vector<Event>& events, std::string& why) {
    if (db == nullptr) return true;  // nothing to write to
    if (!_exec("BEGIN")) {
        why = sqlite3_errmsg(db);
        return false;
    }
    std::map<int64_t, int> announced;  // files per shift, pending on every storage
    bool ok = true;
    for (const Event& event : events) {
        if (event.kind == Event::FILE) ++announced[event.time];
        ok = _apply(event);
        if (!ok) break;
    }
    sqlite3_stmt* pending = _statement("UPDATE history SET pending = pending + ? WHERE time = ?");
    ok = ok && pending != nullptr;
    for (auto at = announced.begin(); ok && at != announced.end(); ++at) {
        sqlite3_bind_int(pending, 1, at->second);
        sqlite3_bind_int64(pending, 2, at->first);
        ok = sqlite3_step(pending) == SQLITE_DONE;
        sqlite3_reset(pending);
    }
    if (ok && outboxAdded > 0) {
        sqlite3_stmt* keep = _statement("INSERT OR REPLACE INTO meta(key, value) VALUES('event_seq', ?)");
        ok = keep != nullptr;
        if (ok) {
            sqlite3_bind_int64(keep, 1, outboxSeq + outboxAdded);
            ok = sqlite3_step(keep) == SQLITE_DONE;
            sqlite3_reset(keep);
        }
    }
    if (ok && _exec("COMMIT")) return true;
    why = sqlite3_errmsg(db);
    _exec("ROLLBACK");
    return false;
}

bool Journal::_apply(const Event& event) {
    auto step = [](sqlite3_stmt* statement) {
        const bool ok = statement != nullptr && sqlite3_step(statement) == SQLITE_DONE;
        if (statement != nullptr) sqlite3_reset(statement);
        return ok;
    };
    if (!event.event.empty() && !_toOutbox(event.kind == Event::SHIFT ? EVENTS::SHIFT_TOPIC
                                           : event.kind == Event::OUTBOX ? event.topic
                                                                         : EVENTS::FILE_TOPIC,
                                           event.event))
        return false;
    if (event.kind == Event::OUTBOX) return true;
    if (event.kind == Event::SENT) {
        sqlite3_stmt* sent = _statement("DELETE FROM outbox WHERE seq <= ?");
        if (sent == nullptr) return false;
        sqlite3_bind_int64(sent, 1, event.id);
        return step(sent);
    }
    if (event.kind == Event::FILE) {
        sqlite3_stmt* add = _statement("INSERT OR REPLACE INTO files(id, path, shift, size) VALUES(?, ?, ?, ?)");
        if (add == nullptr) return false;
        sqlite3_bind_int64(add, 1, event.id);
        sqlite3_bind_text(add, 2, event.path.c_str(), static_cast<int>(event.path.size()), SQLITE_STATIC);
        sqlite3_bind_int64(add, 3, event.time);
        if (event.size >= 0)
            sqlite3_bind_int64(add, 4, event.size);
        else
            sqlite3_bind_null(add, 4);
        return step(add);
    }
    if (event.kind == Event::BYTES) {
        sqlite3_stmt* keep = _statement("INSERT OR REPLACE INTO meta(key, value) VALUES('unread', ?)");
        if (keep == nullptr) return false;
        sqlite3_bind_blob(keep, 1, event.path.data(), static_cast<int>(event.path.size()), SQLITE_STATIC);
        return step(keep);
    }
    if (event.kind == Event::SHIFT) {
        sqlite3_stmt* add = _statement("INSERT OR REPLACE INTO shifts(time, uid, gid, first_file) VALUES(?, ?, ?, ?)");
        if (add == nullptr) return false;
        sqlite3_bind_int64(add, 1, event.time);
        sqlite3_bind_int64(add, 2, event.uid);
        sqlite3_bind_int64(add, 3, event.gid);
        sqlite3_bind_int64(add, 4, event.id);
        if (!step(add)) return false;
        for (int64_t storage : storageKeys) {
            sqlite3_stmt* entry = _statement(
                "INSERT OR REPLACE INTO history(storage, time, uid, gid, pending, copied, failed)"
                " VALUES(?, ?, ?, ?, 0, 0, 0)");
            sqlite3_stmt* trim = _statement(
                "DELETE FROM history WHERE storage = ?1 AND time NOT IN"
                " (SELECT time FROM history WHERE storage = ?1 ORDER BY time DESC LIMIT ?2)");
            if (entry == nullptr || trim == nullptr) return false;
            sqlite3_bind_int64(entry, 1, storage);
            sqlite3_bind_int64(entry, 2, event.time);
            sqlite3_bind_int64(entry, 3, event.uid);
            sqlite3_bind_int64(entry, 4, event.gid);
            sqlite3_bind_int64(trim, 1, storage);
            sqlite3_bind_int(trim, 2, historyEntries);
            if (!step(entry) || !step(trim)) return false;
        }
        return _prune();
    }
    if (event.kind == Event::HASH) {
        sqlite3_stmt* keep = _statement("UPDATE files SET hash = ? WHERE id = ?");
        if (keep == nullptr) return false;
        sqlite3_bind_text(keep, 1, event.path.c_str(), static_cast<int>(event.path.size()), SQLITE_STATIC);
        sqlite3_bind_int64(keep, 2, event.id);
        return step(keep);
    }
    if (event.kind == Event::STEP) {
        sqlite3_stmt* book = _statement(
            "INSERT INTO steps(file, storage, state, attempts, done) VALUES(?, ?, ?, ?, ?) ON CONFLICT(file, storage)"
            " DO UPDATE SET state = excluded.state, attempts = excluded.attempts, done = excluded.done");
        if (book == nullptr) return false;
        sqlite3_bind_int64(book, 1, event.id);
        sqlite3_bind_int64(book, 2, storageKeys[event.storage]);
        sqlite3_bind_int(book, 3, event.step.state);
        sqlite3_bind_int64(book, 4, event.step.attempts);
        sqlite3_bind_int(book, 5, event.step.done ? 1 : 0);
        if (!step(book)) return false;
    }
    // A STEP's change to the counts, or a COUNT alone.
    if (event.change.isNone()) return true;
    sqlite3_stmt* count = _statement(
        "UPDATE history SET pending = pending + ?, copied = copied + ?, failed = failed + ?,"
        " verified = verified + ?, verify_failed = verify_failed + ? WHERE storage = ? AND time = ?");
    if (count == nullptr) return false;
    sqlite3_bind_int(count, 1, event.change.pending);
    sqlite3_bind_int(count, 2, event.change.copied);
    sqlite3_bind_int(count, 3, event.change.failed);
    sqlite3_bind_int(count, 4, event.change.verified);
    sqlite3_bind_int(count, 5, event.change.verifyFailed);
    sqlite3_bind_int64(count, 6, storageKeys[event.storage]);
    sqlite3_bind_int64(count, 7, event.time);
    return step(count);
}

bool Journal::_prune() {
    // The oldest shift kept, and its first file: files before it that every
    // storage is done with go, with their steps and the shifts left empty.
    sqlite3_stmt* oldest = _statement("SELECT time, first_file FROM shifts ORDER BY time DESC LIMIT 1 OFFSET ?");
    if (oldest == nullptr) return false;
    sqlite3_bind_int(oldest, 1, keptShifts - 1);
    const int result = sqlite3_step(oldest);
    const int64_t time = result == SQLITE_ROW ? column(oldest, 0) : 0;
    const int64_t first = result == SQLITE_ROW ? column(oldest, 1) : 0;
    sqlite3_reset(oldest);
    if (result == SQLITE_DONE) return true;
    if (result != SQLITE_ROW) return false;
    sqlite3_stmt* files = _statement(
        "DELETE FROM files WHERE id < ?1 AND (SELECT count(*) FROM steps WHERE file = files.id AND done = 1) >= ?2");
    sqlite3_stmt* steps =
        _statement("DELETE FROM steps WHERE file < ?1 AND NOT EXISTS (SELECT 1 FROM files WHERE id = steps.file)");
    sqlite3_stmt* shifts = _statement(
        "DELETE FROM shifts WHERE time < ?1 AND NOT EXISTS (SELECT 1 FROM history WHERE time = shifts.time)"
        " AND NOT EXISTS (SELECT 1 FROM files WHERE id >= shifts.first_file AND id < coalesce((SELECT"
        " min(first_file) FROM shifts AS later WHERE later.time > shifts.time), ?2) AND shift = shifts.time)");
    if (files == nullptr || steps == nullptr || shifts == nullptr) return false;
    sqlite3_bind_int64(files, 1, first);
    sqlite3_bind_int64(files, 2, static_cast<int64_t>(storageKeys.size()));
    sqlite3_bind_int64(steps, 1, first);
    sqlite3_bind_int64(shifts, 1, time);
    sqlite3_bind_int64(shifts, 2, first);
    bool ok = true;
    for (sqlite3_stmt* statement : {files, steps, shifts}) {
        ok = ok && sqlite3_step(statement) == SQLITE_DONE;
        sqlite3_reset(statement);
    }
    return ok;
}
