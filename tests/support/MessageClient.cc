#include "support/MessageClient.h"

#include <arpa/inet.h>
#include <errno.h>
#include <netdb.h>
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

uint32_t bigEndian32(const std::string& bytes, size_t offset) {
    uint32_t network;
    memcpy(&network, bytes.data() + offset, sizeof network);
    return ntohl(network);
}

}  // namespace

MessageClient::MessageClient(int port, const char* host) : descriptor(-1) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        error_ = strerror(errno);
        return;
    }
    struct sockaddr_in server;
    memset(&server, 0, sizeof server);
    server.sin_family = AF_INET;
    server.sin_port = htons(static_cast<uint16_t>(port));
    if (inet_pton(AF_INET, host, &server.sin_addr) != 1) {
        error_ = std::string("not an IPv4 address: ") + host;
        ::close(fd);
        return;
    }
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

MessageClient::~MessageClient() {
    close();
}

void MessageClient::close() {
    if (descriptor < 0) return;
    ::close(descriptor);
    descriptor = -1;
}

int MessageClient::localPort() const {
    struct sockaddr_in local;
    socklen_t length = sizeof local;
    if (descriptor < 0 || getsockname(descriptor, reinterpret_cast<struct sockaddr*>(&local), &length) != 0) return -1;
    return ntohs(local.sin_port);
}

std::string MessageClient::peerName() const {
    struct sockaddr_in local;
    socklen_t length = sizeof local;
    if (descriptor < 0 || getsockname(descriptor, reinterpret_cast<struct sockaddr*>(&local), &length) != 0) return "";
    char host[1025];
    char service[32];
    if (getnameinfo(reinterpret_cast<struct sockaddr*>(&local), length, host, sizeof host, service, sizeof service,
                    NI_NUMERICHOST) != 0) {
        return "";
    }
    return std::string(host) + ":" + service;
}

bool MessageClient::_fill(int64_t deadlineMs) {
    if (descriptor < 0) {
        error_ = "not connected";
        return false;
    }
    for (;;) {
        int64_t left = deadlineMs - nowMs();
        if (left < 0) left = 0;
        struct pollfd ready = {descriptor, POLLIN, 0};
        int result = poll(&ready, 1, static_cast<int>(left));
        if (result < 0 && errno == EINTR) continue;
        if (result < 0) {
            error_ = strerror(errno);
            return false;
        }
        if (result == 0) {
            error_ = "deadline passed";
            return false;
        }
        char chunk[65536];
        ssize_t received = read(descriptor, chunk, sizeof chunk);
        if (received < 0 && errno == EINTR) continue;
        if (received < 0) {
            error_ = strerror(errno);
            return false;
        }
        if (received == 0) {
            error_ = "end of stream";
            return false;
        }
        buffered.append(chunk, static_cast<size_t>(received));
        return true;
    }
}

bool MessageClient::readBytes(size_t count, std::string& bytes, int timeoutMs) {
    int64_t deadline = nowMs() + timeoutMs;
    while (buffered.size() < count) {
        if (!_fill(deadline)) {
            bytes = buffered;
            buffered.clear();
            return false;
        }
    }
    bytes.assign(buffered, 0, count);
    buffered.erase(0, count);
    return true;
}

bool MessageClient::readFrame(Frame& frame, int timeoutMs) {
    int64_t deadline = nowMs() + timeoutMs;
    while (buffered.size() < 4) {
        if (!_fill(deadline)) return false;
    }
    uint32_t length = bigEndian32(buffered, 0);
    if (length < 6) {
        error_ = "length field " + std::to_string(length) + " below 6";
        return false;
    }
    while (buffered.size() < 4 + static_cast<size_t>(length)) {
        if (!_fill(deadline)) return false;
    }
    frame.length = length;
    frame.code = static_cast<int32_t>(bigEndian32(buffered, 4));
    size_t subjectEnd = buffered.find('\0', 8);
    if (subjectEnd == std::string::npos || subjectEnd >= 4 + static_cast<size_t>(length) - 1) {
        error_ = "no NUL after the subject";
        return false;
    }
    size_t textEnd = buffered.find('\0', subjectEnd + 1);
    if (textEnd != 4 + static_cast<size_t>(length) - 1) {
        error_ = "text does not end with the frame's only other NUL";
        return false;
    }
    frame.subject.assign(buffered, 8, subjectEnd - 8);
    frame.text.assign(buffered, subjectEnd + 1, textEnd - subjectEnd - 1);
    buffered.erase(0, 4 + static_cast<size_t>(length));
    return true;
}

bool MessageClient::hasPendingData() {
    if (!buffered.empty()) return true;
    if (descriptor < 0) return false;
    char byte;
    ssize_t result = recv(descriptor, &byte, 1, MSG_PEEK | MSG_DONTWAIT);
    return result > 0;
}

size_t MessageClient::sendWithoutBlocking(const std::string& data) {
    size_t sent = 0;
    while (descriptor >= 0 && sent < data.size()) {
        ssize_t result = send(descriptor, data.data() + sent, data.size() - sent, MSG_DONTWAIT | MSG_NOSIGNAL);
        if (result < 0 && errno == EINTR) continue;
        if (result <= 0) break;
        sent += static_cast<size_t>(result);
    }
    return sent;
}

bool MessageClient::sendAll(const std::string& data) {
    size_t sent = 0;
    while (descriptor >= 0 && sent < data.size()) {
        ssize_t result = send(descriptor, data.data() + sent, data.size() - sent, MSG_NOSIGNAL);
        if (result < 0 && errno == EINTR) continue;
        if (result <= 0) {
            error_ = strerror(errno);
            return false;
        }
        sent += static_cast<size_t>(result);
    }
    return sent == data.size();
}
