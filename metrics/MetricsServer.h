#ifndef VELLORT_METRICS_METRICSSERVER_H
#define VELLORT_METRICS_METRICSSERVER_H

#include <condition_variable>
#include <memory>
#include <string>
#include <thread>

#include "metrics/Exposition.h"
#include "thread/Thread.h"

namespace httplib {
class Server;
}

// The HTTP service of the metrics: GET /metrics in the Prometheus text format
// on `metrics_port`, and the status page (status_page/StatusPage.h): GET /,
// its files and GET /status.json. Two threads serve, this one accepting and
// one answering (a third, which never meets a client, samples the watched
// mount points for the page's charts), so that however many clients come,
// the service never takes more than its share of the machine: a client has
// 2 s to send each part of its request and 5 s to take each part of the
// reply, connections past the few waiting for the answering thread stay in
// the kernel's backlog, and nothing a client does can hold a lock that a
// copy needs. Clients are answered one at a time:
// idle connections delay other scrapes, never a copy.
//
// Made and started by the start-up, which never deletes it; tests stop and
// delete it.
class MetricsServer : public Thread {
public:
    // Connections accepted and waiting for the answering thread, at most.
    static constexpr int maxWaitingClients = 8;
    static constexpr int readTimeoutSeconds = 2;
    static constexpr int writeTimeoutSeconds = 5;

    MetricsServer(const std::string& logFilePath, int port, const METRICS::Sources& sources);
    ~MetricsServer() override;

    MetricsServer(const MetricsServer&) = delete;
    MetricsServer& operator=(const MetricsServer&) = delete;

    // Binds the port (all addresses) and starts serving. Returns 0, or -1
    // after logging why; the daemon then runs without the service.
    int connect();
    // The port bound, -1 before connect(); differs from the configured one
    // only when that was 0 (any free port).
    int localPort() const { return port; }
    // Ends the service and waits for its threads.
    void stop();

protected:
    void run() override;

private:
    const std::string logFilePath;
    int port;
    const METRICS::Sources sources;
    std::unique_ptr<httplib::Server> server;
    bool started = false;
    // Takes a sample for the status page whenever one is due, until ending.
    void _sample();
    std::thread sampler;
    Mutex samplerMutex{Mutex::NORMAL};
    std::condition_variable_any samplerWake;
    bool ending GUARDED_BY(samplerMutex) = false;
};

#endif
