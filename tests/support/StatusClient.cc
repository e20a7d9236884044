#include "support/StatusClient.h"

#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <poll.h>
#include <string.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

namespace {

int64_t nowMs() {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

}  // namespace

StatusClient::StatusClient(int port) : descriptor(-1) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        error_ = strerror(errno);
        return;
    }
    struct sockaddr_in server;
    memset(&server, 0, sizeof server);
    server.sin_family = AF_INET;
    server.sin_port = htons(static_cast<uint16_t>(port));
    server.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int result;
    while ((result = connect(fd, reinterpret_cast<struct sockaddr*>(&server), sizeof server)) != 0 && errno == EINTR) {
    }
    if (result != 0) {
        error_ = strerror(errno);
        ::close(fd);
        return;
    }
    descriptor = fd;
}

StatusClient::~StatusClient() {
    close();
}

void StatusClient::close() {
    if (descriptor < 0) return;
    ::close(descriptor);
    descriptor = -1;
}

std::string StatusClient::peerName() const {
    struct sockaddr_in local;
    socklen_t length = sizeof local;
    if (descriptor < 0 || getsockname(descriptor, reinterpret_cast<struct sockaddr*>(&local), &length) != 0) return "";
    return "127.0.0.1:" + std::to_string(ntohs(local.sin_port));
}

bool StatusClient::send(const std::string& data) {
    size_t sent = 0;
    while (descriptor >= 0 && sent < data.size()) {
        ssize_t result = ::send(descriptor, data.data() + sent, data.size() - sent, MSG_NOSIGNAL);
        if (result < 0 && errno == EINTR) continue;
        if (result <= 0) {
            error_ = strerror(errno);
            return false;
        }
        sent += static_cast<size_t>(result);
    }
    return sent == data.size();
}

size_t StatusClient::sendWithoutBlocking(const std::string& data) {
    size_t sent = 0;
    while (descriptor >= 0 && sent < data.size()) {
        ssize_t result = ::send(descriptor, data.data() + sent, data.size() - sent, MSG_DONTWAIT | MSG_NOSIGNAL);
        if (result < 0 && errno == EINTR) continue;
        if (result <= 0) break;
        sent += static_cast<size_t>(result);
    }
    return sent;
}

bool StatusClient::readLine(std::string& line, int timeoutMs) {
    int64_t deadline = nowMs() + timeoutMs;
    size_t scanned = 0;
    for (;;) {
        size_t newline = buffered.find('\n', scanned);
        if (newline != std::string::npos) {
            line.assign(buffered, 0, newline + 1);
            buffered.erase(0, newline + 1);
            return true;
        }
        scanned = buffered.size();
        if (descriptor < 0) {
            error_ = "not connected";
            return false;
        }
        int64_t left = deadline - nowMs();
        struct pollfd ready = {descriptor, POLLIN, 0};
        int result = poll(&ready, 1, left < 0 ? 0 : static_cast<int>(left));
        if (result < 0 && errno == EINTR) continue;
        if (result <= 0) {
            error_ = result == 0 ? "deadline passed" : strerror(errno);
            return false;
        }
        char chunk[65536];
        ssize_t received = read(descriptor, chunk, sizeof chunk);
        if (received < 0 && errno == EINTR) continue;
        if (received <= 0) {
            error_ = received == 0 ? "end of stream" : strerror(errno);
            return false;
        }
        buffered.append(chunk, static_cast<size_t>(received));
    }
}

std::string StatusClient::ask(const std::string& request) {
    std::string reply;
    if (!send(request + "\n") || !readLine(reply)) return error_;
    return reply;
}
