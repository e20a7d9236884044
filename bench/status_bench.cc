// Requests per second that the status service answers on loopback.
//
// Three storages with five user shifts each; every client sends
// "<request><action id='history'/></request>", waits for the whole reply line
// and sends the next, for a bounded time. Measured with 1 and with 10
// concurrent clients (10 is the service's pool size: all are served at once).
// Also prints p50 and p99 of the round trip, and for scripts, per run without
// a failed client, lines "RESULT key=value".
//
// Usage: status_bench [seconds-per-run]

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "ledger/FileInfo.h"
#include "ledger/Storage.h"
#include "net/StatusServer.h"
#include "support/LoopbackClient.h"

namespace {

using Clock = std::chrono::steady_clock;

const char request[] = "<request><action id='history'/></request>\n";

std::vector<Storage*> storagesWithFiveShifts() {
    std::vector<Storage*> storages;
    const char* ids[] = {"INTERNAL", "EXTERNAL", "OPTIONAL"};
    for (int type = 0; type < 3; ++type) {
        Storage::Params params;
        params.storageID = ids[type];
        params.type = static_cast<StorageType>(type);
        params.history_max_entries = 5;
        Storage* storage = new Storage(params);  // lives as long as the process, as in the daemon
        for (int shift = 0; shift < 5; ++shift) {
            int64_t time = 1700000000 + shift * 3600;
            storage->setTavroTime(time, 1000 + shift, 100 + shift);
            for (int file = 0; file < 20; ++file) {
                FileInfo info("/ramdisk/./run" + std::to_string(shift) + "/f" + std::to_string(file), time);
                storage->insertToBuffer(info);
                if (file % 3 == 0) storage->debitCredit().insertToCredits(info);
            }
        }
        storages.push_back(storage);
    }
    return storages;
}

struct ClientResult {
    int64_t replies = 0;
    size_t replyBytes = 0;
    std::vector<int64_t> roundTripsNs;
    bool failed = false;
};

void runClient(int port, Clock::time_point end, ClientResult& result) {
    std::string error;
    int descriptor = connectLoopback(port, &error);
    if (descriptor < 0) {
        fprintf(stderr, "status_bench: %s\n", error.c_str());
        result.failed = true;
        return;
    }
    int one = 1;
    setsockopt(descriptor, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    std::string buffered;
    char chunk[16384];
    while (Clock::now() < end) {
        Clock::time_point sent = Clock::now();
        if (send(descriptor, request, sizeof request - 1, MSG_NOSIGNAL) != static_cast<ssize_t>(sizeof request - 1)) {
            result.failed = true;
            break;
        }
        size_t newline;
        while ((newline = buffered.find('\n')) == std::string::npos) {
            ssize_t received = read(descriptor, chunk, sizeof chunk);
            if (received <= 0) {
                result.failed = true;
                close(descriptor);
                return;
            }
            buffered.append(chunk, static_cast<size_t>(received));
        }
        result.roundTripsNs.push_back(
            std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - sent).count());
        result.replyBytes = newline + 1;
        buffered.erase(0, newline + 1);
        ++result.replies;
    }
    close(descriptor);
}

void run(int port, int clients, double seconds) {
    std::vector<ClientResult> results(static_cast<size_t>(clients));
    std::vector<std::thread> threads;
    Clock::time_point start = Clock::now();
    Clock::time_point end = start + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
    for (int client = 0; client < clients; ++client) {
        threads.emplace_back(runClient, port, end, std::ref(results[static_cast<size_t>(client)]));
    }
    for (std::thread& thread : threads) thread.join();
    double elapsed = std::chrono::duration<double>(Clock::now() - start).count();

    int64_t replies = 0;
    std::vector<int64_t> roundTrips;
    bool failed = false;
    for (const ClientResult& result : results) {
        replies += result.replies;
        roundTrips.insert(roundTrips.end(), result.roundTripsNs.begin(), result.roundTripsNs.end());
        failed = failed || result.failed;
    }
    std::sort(roundTrips.begin(), roundTrips.end());
    auto percentile = [&](double p) {
        return roundTrips.empty() ? 0.0 : roundTrips[static_cast<size_t>(p * (roundTrips.size() - 1))] / 1000.0;
    };
    printf(
        "%2d client(s): %8.0f requests/s  (%lld replies of %zu bytes in %.2f s)  round trip p50 %.1f us, p99 %.1f "
        "us%s\n",
        clients, replies / elapsed, static_cast<long long>(replies), results[0].replyBytes, elapsed, percentile(0.5),
        percentile(0.99), failed ? "  [a client failed]" : "");
    if (!failed) {
        std::string who = std::to_string(clients) + (clients == 1 ? "_client" : "_clients");
        printf("RESULT status.%s.requests_per_s=%.0f\nRESULT status.%s.round_trip_p99_us=%.1f\n", who.c_str(),
               replies / elapsed, who.c_str(), percentile(0.99));
    }
}

}  // namespace

int main(int argc, char** argv) {
    double seconds = argc > 1 ? atof(argv[1]) : 3.0;
    if (seconds <= 0 || seconds > 60) {
        fprintf(stderr, "usage: status_bench [seconds-per-run, at most 60]\n");
        return 2;
    }
    char directory[] = "/tmp/status_bench.XXXXXX";
    if (mkdtemp(directory) == nullptr) {
        perror("mkdtemp");
        return 1;
    }
    std::string logPath = std::string(directory) + "/vellort.log";
    StatusServer* server = new StatusServer(logPath, 0, storagesWithFiveShifts());  // runs until exit
    if (server->connect() != 0) {
        fprintf(stderr, "status service did not start; see %s\n", logPath.c_str());
        return 1;
    }
    printf("history request, 3 storages x 5 shifts, %.1f s per run\n", seconds);
    run(server->localPort(), 1, seconds);
    run(server->localPort(), 10, seconds);
    unlink(logPath.c_str());
    rmdir(directory);
    return 0;
}
