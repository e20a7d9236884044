#ifndef VELLORT_TESTS_SUPPORT_PROMETHEUSSERVER_H
#define VELLORT_TESTS_SUPPORT_PROMETHEUSSERVER_H

#include <memory>
#include <string>
#include <vector>

#include "support/ChildProcess.h"
#include "support/TempDir.h"

// A real Prometheus server, for tests of the shipped alerting rules against the real daemon: it listens on 127.0.0.1 at
// a free port, keeps its data in a temporary folder, scrapes the targets as the job "vellort" that the rules expect and
// evaluates the rule files, both every second. The destructor stops it. Used by one thread.
class PrometheusServer {
public:
    // The installed server's path; "" when the prometheus package is missing.
    static std::string program();

    // Starts the server; ready() tells when it answers.
    PrometheusServer(const std::vector<std::string>& targets, const std::vector<std::string>& ruleFiles);

    // Waits until the server says it is ready; false after `seconds`.
    bool ready(double seconds = 60);
    // The body of a GET of `path` (as "/api/v1/alerts"), when the server
    // answered 200; otherwise false, with the status line or the failure in *body.
    bool get(const std::string& path, std::string* body) const;
    // What the server logged.
    std::string log() const { return server->errorOutput(); }
    int port() const { return port_; }

private:
    TempDir folder;
    int port_;
    std::unique_ptr<ChildProcess> server;
};

// The parts of a JSON array of objects in a reply of Prometheus's API, each starting at one `"<key>":` that opens an
// object of the array, as `"labels":` does for each alert of /api/v1/alerts. Enough for the tests to look at one alert
// or target at a time without a JSON parser.
std::vector<std::string> splitAt(const std::string& body, const std::string& key);

#endif
