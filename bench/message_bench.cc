// Throughput and delay of the message service on loopback.
//
// For 1 and for 10 connected clients: how many frames per second reach every
// client when a sender keeps the service busy (the sender stays at most
// `window` frames ahead of the slowest client, below a worker's queue bound,
// so nothing is dropped), and the delay from addToMessageQueue to the arrival
// of the whole frame at a client, p50 and p99, once under that load and once
// for single frames sent one at a time. For scripts, each run ends with lines
// "RESULT key=value".
//
// Usage: message_bench [frames-per-run] [single-frame-samples]

#include <arpa/inet.h>
#include <netinet/in.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "net/MessageServer.h"
#include "support/LoopbackClient.h"

namespace {

using Clock = std::chrono::steady_clock;

int64_t nowNanoseconds() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch()).count();
}

// One connected client on its own thread: splits the stream into frames,
// checks that the sequence numbers in the texts follow one another and notes
// each frame's delay since it was queued.
class BenchClient {
public:
    explicit BenchClient(int port) {
        std::string error;
        descriptor = connectLoopback(port, &error);
        if (descriptor < 0) {
            fprintf(stderr, "message_bench: %s\n", error.c_str());
            exit(1);
        }
        reader = std::thread([this] { _read(); });
    }

    ~BenchClient() {
        shutdown(descriptor, SHUT_RDWR);
        reader.join();
        close(descriptor);
    }

    // Sequence number of the newest frame seen, -1 before the first.
    std::atomic<int64_t> newest{-1};
    std::atomic<int64_t> orderErrors{0};
    std::atomic<bool> recording{false};
    std::vector<int64_t> delays;  // written by the reader while recording, read after it stops

private:
    void _read() {
        std::string buffered;
        char chunk[65536];
        for (;;) {
            ssize_t received = read(descriptor, chunk, sizeof chunk);
            if (received <= 0) return;
            int64_t arrival = nowNanoseconds();
            buffered.append(chunk, static_cast<size_t>(received));
            size_t offset = 0;
            while (buffered.size() - offset >= 4) {
                uint32_t length;
                memcpy(&length, buffered.data() + offset, 4);
                length = ntohl(length);
                if (buffered.size() - offset < 4 + static_cast<size_t>(length)) break;
                const char* subject = buffered.data() + offset + 8;
                const char* text = subject + strlen(subject) + 1;
                char* end;
                int64_t sequence = strtoll(text, &end, 10);
                int64_t queued = strtoll(end, nullptr, 10);
                int64_t previous = newest.load(std::memory_order_relaxed);
                // Probe frames (negative numbers) may be seen more than once in a row.
                if (sequence >= 0 && sequence != previous + 1) ++orderErrors;
                if (recording.load(std::memory_order_acquire)) delays.push_back(arrival - queued);
                newest.store(sequence, std::memory_order_release);
                offset += 4 + length;
            }
            buffered.erase(0, offset);
        }
    }

    int descriptor;
    std::thread reader;
};

const std::string subject =
    "/ramdisk/./run0815/detector/file000123.dat:/data/internal/./run0815/detector/file000123.dat";
const std::string padding = " Failed to copy file: No space left on device";

void send(MessageServer* server, int64_t sequence) {
    std::string text = std::to_string(sequence) + " " + std::to_string(nowNanoseconds()) + padding;
    server->addToMessageQueue(MessageServer::COPY_ERROR, subject, text);
}

int64_t slowest(const std::vector<std::unique_ptr<BenchClient>>& clients) {
    int64_t least = INT64_MAX;
    for (auto& client : clients) least = std::min(least, client->newest.load(std::memory_order_acquire));
    return least;
}

struct Percentiles {
    double p50Micro;
    double p99Micro;
    size_t samples;
};

Percentiles percentiles(const std::vector<std::unique_ptr<BenchClient>>& clients) {
    std::vector<int64_t> all;
    for (auto& client : clients) all.insert(all.end(), client->delays.begin(), client->delays.end());
    std::sort(all.begin(), all.end());
    if (all.empty()) return {0, 0, 0};
    return {all[all.size() / 2] / 1000.0, all[all.size() * 99 / 100] / 1000.0, all.size()};
}

void setRecording(const std::vector<std::unique_ptr<BenchClient>>& clients, bool on) {
    for (auto& client : clients) {
        if (on) client->delays.clear();
        client->recording.store(on, std::memory_order_release);
    }
}

void run(const std::string& logPath, int clientCount, int64_t frames, int64_t singles) {
    MessageServer* server = new MessageServer(logPath, 0);  // its threads run to the end of the process
    if (server->connect() != 0) {
        fprintf(stderr, "message service did not start\n");
        exit(1);
    }
    std::vector<std::unique_ptr<BenchClient>> clients;
    for (int i = 0; i < clientCount; ++i) clients.emplace_back(new BenchClient(server->localPort()));

    // A client receives only what is queued after its worker has joined: probe
    // until every one has seen a probe.
    int64_t probe = -1;
    auto everyClientSawAProbe = [&clients] {
        for (auto& client : clients) {
            if (client->newest.load(std::memory_order_acquire) == -1) return false;
        }
        return true;
    };
    while (!everyClientSawAProbe()) {
        send(server, --probe);
        usleep(1000);
    }
    // Then wait for the last probe everywhere, so that none arrives later.
    auto everyClientSawTheLastProbe = [&clients, &probe] {
        for (auto& client : clients) {
            if (client->newest.load(std::memory_order_acquire) != probe) return false;
        }
        return true;
    };
    while (!everyClientSawTheLastProbe()) usleep(1000);
    for (auto& client : clients) client->newest.store(-1);

    // Throughput under load.
    const int64_t window = 5000;
    setRecording(clients, true);
    int64_t start = nowNanoseconds();
    for (int64_t sequence = 0; sequence < frames; ++sequence) {
        while (sequence - slowest(clients) > window) std::this_thread::yield();
        send(server, sequence);
    }
    while (slowest(clients) < frames - 1) std::this_thread::yield();
    double seconds = (nowNanoseconds() - start) / 1e9;
    setRecording(clients, false);
    Percentiles loaded = percentiles(clients);

    // Single frames, one at a time.
    setRecording(clients, true);
    for (int64_t sequence = frames; sequence < frames + singles; ++sequence) {
        send(server, sequence);
        while (slowest(clients) < sequence) std::this_thread::yield();
    }
    setRecording(clients, false);
    Percentiles single = percentiles(clients);

    int64_t orderErrors = 0;
    for (auto& client : clients) orderErrors += client->orderErrors.load();
    printf("%2d client(s): %lld frames in %.3f s = %.0f frames/s per client, %.0f frames/s delivered in all\n",
           clientCount, static_cast<long long>(frames), seconds, frames / seconds, frames * clientCount / seconds);
    printf("              delay under load: p50 %.1f us, p99 %.1f us (%zu samples)\n", loaded.p50Micro, loaded.p99Micro,
           loaded.samples);
    printf("              delay one at a time: p50 %.1f us, p99 %.1f us (%zu samples)\n", single.p50Micro,
           single.p99Micro, single.samples);
    printf("              frames out of order or missing: %lld\n", static_cast<long long>(orderErrors));
    std::string who = std::to_string(clientCount) + (clientCount == 1 ? "_client" : "_clients");
    printf("RESULT message.%s.frames_per_s=%.0f\n", who.c_str(), frames / seconds);
    printf("RESULT message.%s.delay_p50_us=%.1f\nRESULT message.%s.delay_p99_us=%.1f\n", who.c_str(), single.p50Micro,
           who.c_str(), single.p99Micro);
}

}  // namespace

int main(int argc, char** argv) {
    int64_t frames = argc > 1 ? atoll(argv[1]) : 200000;
    int64_t singles = argc > 2 ? atoll(argv[2]) : 5000;
    char directory[] = "/tmp/vellort-message-bench-XXXXXX";
    if (mkdtemp(directory) == nullptr) {
        perror("mkdtemp");
        return 1;
    }
    std::string logPath = std::string(directory) + "/vellort.log";
    printf("message service on loopback, frames of %zu bytes, window 5000 frames\n",
           8 + subject.size() + 1 + std::string("123456 1234567890123456789").size() + padding.size() + 1);
    run(logPath, 1, frames, singles);
    run(logPath, 10, frames, singles);
    unlink(logPath.c_str());
    rmdir(directory);
    return 0;
}
