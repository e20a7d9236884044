#include "support/PrometheusServer.h"

#include <errno.h>
#include <poll.h>
#include <string.h>
#include <unistd.h>

#include "support/LogWatch.h"
#include "support/LoopbackClient.h"

std::string PrometheusServer::program() {
    for (const char* path : {"/usr/bin/prometheus", "/usr/local/bin/prometheus"})
        if (access(path, X_OK) == 0) return path;
    return "";
}

PrometheusServer::PrometheusServer(const std::vector<std::string>& targets, const std::vector<std::string>& ruleFiles)
    : folder("vellort-prometheus"), port_(freePort()) {
    // The scrape timeout may not exceed the interval; the default of 10 s would.
    std::string config =
        "global:\n  scrape_interval: 1s\n  scrape_timeout: 1s\n  evaluation_interval: 1s\nrule_files:\n";
    for (const std::string& file : ruleFiles) config += "  - " + file + "\n";
    config += "scrape_configs:\n  - job_name: vellort\n    static_configs:\n      - targets:\n";
    for (const std::string& target : targets) config += "          - '" + target + "'\n";
    writeFile(folder / "prometheus.yml", config);
    server.reset(new ChildProcess(
        {program(), "--config.file=" + folder / "prometheus.yml", "--storage.tsdb.path=" + folder / "data",
         "--web.listen-address=127.0.0.1:" + std::to_string(port_)},
        folder.path(), "prometheus"));
}

bool PrometheusServer::ready(double seconds) {
    std::string body;
    return waitUntil([&] { return get("/-/ready", &body); }, seconds, 200);
}

bool PrometheusServer::get(const std::string& path, std::string* body) const {
    std::string error;
    const int fd = connectLoopback(port_, &error);
    if (fd < 0) {
        *body = error;
        return false;
    }
    const std::string request = "GET " + path + " HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n";
    std::string reply;
    bool whole = write(fd, request.data(), request.size()) == static_cast<ssize_t>(request.size());
    // HTTP/1.0: the server closes the connection after the reply.
    for (ssize_t got = 1; whole && got != 0;) {
        struct pollfd readable = {fd, POLLIN, 0};
        char buffer[65536];
        whole = poll(&readable, 1, 10000) == 1;
        got = whole ? read(fd, buffer, sizeof buffer) : 0;
        if (got > 0) reply.append(buffer, got);
        if (got < 0) whole = errno == EINTR;
    }
    close(fd);  // only read from: nothing to lose
    const size_t bodyStart = reply.find("\r\n\r\n");
    if (!whole || bodyStart == std::string::npos || reply.compare(0, 5, "HTTP/") != 0 ||
        reply.compare(8, 5, " 200 ") != 0) {
        *body = whole ? reply.substr(0, reply.find('\r')) : "no whole reply from 127.0.0.1:" + std::to_string(port_);
        return false;
    }
    *body = reply.substr(bodyStart + 4);
    return true;
}

std::vector<std::string> splitAt(const std::string& body, const std::string& key) {
    const std::string opening = "{\"" + key + "\":";
    std::vector<std::string> parts;
    for (size_t at = body.find(opening); at != std::string::npos;) {
        const size_t next = body.find(opening, at + 1);
        parts.push_back(body.substr(at, next == std::string::npos ? std::string::npos : next - at));
        at = next;
    }
    return parts;
}
