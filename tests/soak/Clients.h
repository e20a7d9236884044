#ifndef VELLORT_TESTS_SOAK_CLIENTS_H
#define VELLORT_TESTS_SOAK_CLIENTS_H

#include <stdint.h>

#include <atomic>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "tools/ServiceConnection.h"

class SoakContext;

// The daemon's clients, each in a thread of its own. For the whole run: a
// message client that reads every frame and keeps the copy errors (code 4) by
// destination, one that never reads, and three status pollers (one
// connection asking for the full history every 100 ms; one asking for two
// entries every 50 ms, with a malformed request every 20th; one connecting for
// every request, every 200 ms). And bursts of hostile ones, every 30 s from
// t = 8 s: 100 requests with an unknown action of 5000 bytes; six status
// clients that send nothing, half a request, or requests without reading the
// replies, each to be closed at its time-out (they stay below the workers the
// others leave free, so that they delay no one); 25 message clients that
// never read, past what the service holds.
class Clients {
public:
    // The checks' own status client, connecting again whenever needed. One
    // thread per object (the acquisition and the checker have one each).
    class StatusQuery {
    public:
        struct Counts {
            long pending = -1, copied = -1, failed = -1;
        };
        // uid -> storage -> counts
        using History = std::map<uint32_t, std::map<std::string, Counts>>;

        // Borrowed: the soak outlives the query.
        explicit StatusQuery(SoakContext& soak) : soak(soak) {}

        // A reply line: well formed, with a `reply` root; `history`, unless
        // null, gets the counts it holds.
        static bool parseReply(const std::string& line, History* history, std::string& why);
        // The daemon's history now; false with the reason in `why`.
        bool history(History& result, std::string& why);
        // Waits until no storage has anything pending for the shift of `uid`
        // (only the INTERNAL one when internalOnly); the counts are left in `history`.
        bool settled(uint32_t uid, bool internalOnly, double seconds, History& history, std::string& why);

    private:
        SoakContext& soak;
        ServiceConnection connection;
    };

    struct PollerCounts {
        std::atomic<long> replies{0};
        std::atomic<long> errorReplies{0};  // to the malformed requests
        std::atomic<long> connections{0};
    };
    // Final once stop() and runHostileBursts() have returned.
    struct Counts {
        long frames = 0;
        int unread = 0;  // bytes waiting at the silent client at the end
        PollerCounts pollers[3];
        int bursts = 0;
        long timedOutClients = 0;  // hostile status clients the daemon closed at a time-out
        long unknownActions = 0;   // each logged as a line of its own, cut
    };

    // Borrowed: the soak outlives the clients.
    explicit Clients(SoakContext& soak) : soak(soak) {}
    Clients(const Clients&) = delete;
    Clients& operator=(const Clients&) = delete;

    // Connects the message clients and waits until the daemon serves both (a
    // client gets only what is queued after its accept, so this must come
    // before the first announcement), then starts the threads of the clients
    // that stay. A failure to connect gives up the run.
    void start();
    void stop();
    // No burst starts unless it ends before `until`.
    void runHostileBursts(double until);

    // When the copy error for this destination arrived; < 0 if it did not. Any thread.
    double copyErrorAt(const std::string& destination);
    // Frames read, by code; in *duplicates the copy errors that came again
    // for a destination already reported.
    std::map<int32_t, long> messageCounts(long* duplicates = nullptr);

    Counts counts;

private:
    void _readMessages();
    void _book(int32_t code, const std::string& subject);
    void _pollStatus(int kind);

    SoakContext& soak;
    ServiceConnection reader;
    int silent = -1;
    std::atomic<bool> quit{false};
    std::vector<std::thread> threads;

    std::mutex messageMutex;  // guards the three below
    std::map<int32_t, long> byCode;
    std::map<std::string, double> copyErrors;  // destination -> arrival
    long duplicateCopyErrors = 0;
};

#endif
