#include "metrics/MetricsServer.h"

#include <errno.h>
#include <unistd.h>

#include <condition_variable>
#include <deque>
#include <functional>
#include <thread>

#include <httplib.h>

#include "log/LogFile.h"
#include "status_page/StatusPage.h"
#include "thread/MutexGuard.h"
#include "util/Time.h"

namespace {

// The answering side of the service: one thread that serves the accepted
// connections in turn. A connection accepted while `bound` wait already holds
// the accepting thread until one is served, so further clients wait in the
// kernel's backlog and hold none of the daemon's descriptors.
class OneThreadQueue : public httplib::TaskQueue {
public:
    explicit OneThreadQueue(size_t bound) : bound(bound), worker([this] { _serve(); }) {}

    void enqueue(std::function<void()> task) override {
        MutexGuard lock(&mutex);
        while (waiting.size() >= bound) roomLeft.wait(mutex);
        waiting.push_back(std::move(task));
        taskCame.notify_one();
    }

    void shutdown() override {
        {
            MutexGuard lock(&mutex);
            ending = true;
        }
        taskCame.notify_one();
        worker.join();
    }

private:
    void _serve() {
        for (;;) {
            std::function<void()> task;
            {
                MutexGuard lock(&mutex);
                while (!ending && waiting.empty()) taskCame.wait(mutex);
                if (waiting.empty()) return;  // ending, and every accepted connection served
                task = std::move(waiting.front());
                waiting.pop_front();
            }
            roomLeft.notify_one();
            task();  // serves the connection and closes it
        }
    }

    const size_t bound;
    Mutex mutex{Mutex::NORMAL};
    std::condition_variable_any taskCame;
    std::condition_variable_any roomLeft;
    std::deque<std::function<void()>> waiting GUARDED_BY(mutex);
    bool ending GUARDED_BY(mutex) = false;
    std::thread worker;  // last: it uses the members above
};

}  // namespace

MetricsServer::MetricsServer(const std::string& logFilePath, int port, const METRICS::Sources& sources)
    : logFilePath(logFilePath), port(port), sources(sources), server(new httplib::Server()) {}

MetricsServer::~MetricsServer() {
    stop();
}

int MetricsServer::connect() {
    httplib::Server& http = *server;
    http.new_task_queue = [] { return new OneThreadQueue(maxWaitingClients); };
    http.set_read_timeout(readTimeoutSeconds, 0);
    http.set_write_timeout(writeTimeoutSeconds, 0);
    http.set_keep_alive_timeout(readTimeoutSeconds);
    http.set_keep_alive_max_count(100);
    http.set_payload_max_length(4096);  // no request of the service has a body
    const METRICS::Sources& data = sources;
    http.Get("/metrics", [&data](const httplib::Request&, httplib::Response& response) {
        response.set_content(METRICS::exposition(data), "text/plain; version=0.0.4; charset=utf-8");
    });
    http.Get("/status.json", [&data](const httplib::Request&, httplib::Response& response) {
        response.set_header("Cache-Control", "no-store");
        response.set_content(STATUS_PAGE::statusJson(data), "application/json");
    });
    // The page and its files; nothing else is served.
    http.Get(R"(/([a-zA-Z./]*))", [](const httplib::Request& request, httplib::Response& response) {
        std::string path = request.matches[1], content, type;
        if (path.empty()) path = "index.html";
        if (path.find("..") != std::string::npos || !STATUS_PAGE::builtInFile(path, content, type)) {
            response.status = 404;
            return;
        }
        response.set_content(content, type);
    });

    const int configured = port;
    errno = 0;
    if (configured == 0) {
        port = http.bind_to_any_port("0.0.0.0");
    } else if (!http.bind_to_port("0.0.0.0", configured)) {
        port = -1;
    }
    if (port <= 0) {
        const int savedErrno = errno;
        port = -1;
        LogFile log(logFilePath);
        log << "Error: Starting the metrics service on port " << configured << ": "
            << (savedErrno != 0 ? LogManip(&LogFile::errmsg, savedErrno) : LogManip(&LogFile::errmsg, EADDRINUSE))
            << endl;
        return -1;
    }
    const int result = start();
    if (result != 0) {
        LogFile log(logFilePath);
        log << "Error: Starting the metrics service: " << LogManip(&LogFile::errmsg, result) << endl;
        return -1;
    }
    started = true;
    sampler = std::thread([this] { _sample(); });
    return 0;
}

void MetricsServer::_sample() {
    MutexGuard lock(&samplerMutex);
    while (!ending) {
        STATUS_PAGE::sample(sources, UTILITIES::monotonicNanoseconds());
        samplerWake.wait_for(samplerMutex, std::chrono::seconds(1));
    }
}

void MetricsServer::run() {
    server->listen_after_bind();
}

void MetricsServer::stop() {
    if (!started) return;
    // A stop before the thread listens would be lost, and the join would wait for ever.
    for (int waited = 0; waited < 5000 && !server->is_running(); ++waited) usleep(1000);
    server->stop();
    join();
    {
        MutexGuard lock(&samplerMutex);
        ending = true;
    }
    samplerWake.notify_one();
    sampler.join();
    started = false;
}
