#ifndef VELLORT_TESTS_SOAK_LOGWATCHER_H
#define VELLORT_TESTS_SOAK_LOGWATCHER_H

#include <atomic>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <thread>

class SoakContext;

// Follows the daemon's log across rotations (by descriptor, as tail -F does)
// in a thread of its own, and keeps what the checks need: the lines that name
// a destination, a path or a client, and a count of each kind of line. The
// questions come from any thread.
class LogWatcher {
public:
    // Lines that name something the checks look up.
    enum Trace {
        COPY_ERROR,    // by destination
        NOT_REMOVING,  // a kept INTERNAL copy, by path
        ACCEPTED,      // a client, by its address
        TIMED_OUT,     // a status client closed at a time-out, by its address
        TRACES
    };

    // Borrowed: the soak outlives the watcher.
    explicit LogWatcher(SoakContext& soak) : soak(soak) {}
    LogWatcher(const LogWatcher&) = delete;
    LogWatcher& operator=(const LogWatcher&) = delete;

    void start();
    // Ends the thread, then reads the last lines.
    void stop();

    bool saw(Trace trace, const std::string& name);
    std::map<std::string, long> counters();

private:
    void _poll();
    void _drain();
    void _line(const std::string& line);
    void _count(const std::string& line);
    bool _countPlain(const std::string& line);

    SoakContext& soak;
    std::thread worker;
    std::atomic<bool> quit{false};

    std::mutex pollMutex;  // one reader of the descriptor at a time; guards the two below
    int fd = -1;
    std::string partial;

    std::mutex mutex;  // guards what was learnt, below
    std::set<std::string> traces[TRACES];
    std::map<std::string, long> counts;
    int otherShown = 0;
};

// "a//b" -> "a/b": the daemon prints some paths with a doubled slash, and the
// checks look destinations up in their single-slash form.
std::string singleSlashes(std::string path);

#endif
