#include "support/LoopbackClient.h"

#include <arpa/inet.h>
#include <errno.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

#include "net/TCPSocket.h"

namespace {

int64_t nowMs() {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

}  // namespace

int connectLoopback(int port, std::string* error, int receiveBuffer, const char* host, int timeoutMs) {
    auto fail = [&](const std::string& what, int errnum, int descriptor) {
        if (error != nullptr) *error = what + std::string(host) + ":" + std::to_string(port) + ": " + strerror(errnum);
        if (descriptor >= 0) ::close(descriptor);
        return -1;
    };
    struct sockaddr_in server = {};
    server.sin_family = AF_INET;
    server.sin_port = htons(static_cast<uint16_t>(port));
    if (inet_pton(AF_INET, host, &server.sin_addr) != 1) return fail("not a numeric IPv4 address: ", EINVAL, -1);
    int descriptor = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (descriptor < 0) return fail("no socket for ", errno, -1);
    if (receiveBuffer > 0)
        setsockopt(descriptor, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);  // rounded by the system
    // The send time-out bounds the connect's wait (EINPROGRESS when it is
    // over); then it goes again, so that sends block as long as they must.
    struct timeval wait = {timeoutMs / 1000, (timeoutMs % 1000) * 1000}, none = {0, 0};
    setsockopt(descriptor, SOL_SOCKET, SO_SNDTIMEO, &wait, sizeof wait);
    if (connect(descriptor, reinterpret_cast<struct sockaddr*>(&server), sizeof server) != 0)
        return fail("cannot connect to ", errno == EINPROGRESS ? ETIMEDOUT : errno, descriptor);
    setsockopt(descriptor, SOL_SOCKET, SO_SNDTIMEO, &none, sizeof none);
    return descriptor;
}

std::string localAddress(int descriptor) {
    struct sockaddr_storage local;
    socklen_t length = sizeof local;
    char host[NI_MAXHOST], service[NI_MAXSERV];
    if (descriptor < 0 || getsockname(descriptor, reinterpret_cast<struct sockaddr*>(&local), &length) != 0 ||
        getnameinfo(reinterpret_cast<struct sockaddr*>(&local), length, host, sizeof host, service, sizeof service,
                    NI_NUMERICHOST) != 0)
        return "";
    return std::string(host) + ":" + service;
}

int freePort() {
    TCPSocket probe;  // the kernel picks the port, and it is let go at once
    return probe.server("0") < 0 ? -1 : probe.localPort();
}

LoopbackClient::LoopbackClient(int port, const char* host, int receiveBuffer)
    : descriptor(connectLoopback(port, &error_, receiveBuffer, host)) {}

void LoopbackClient::close() {
    if (descriptor >= 0) ::close(descriptor);
    descriptor = -1;
}

std::string LoopbackClient::peerName() const {
    return localAddress(descriptor);
}

bool LoopbackClient::_fill(int64_t deadlineMs) {
    for (;;) {
        if (descriptor < 0) {
            error_ = "not connected";
            return false;
        }
        int64_t left = deadlineMs - nowMs();
        struct pollfd ready = {descriptor, POLLIN, 0};
        int result = poll(&ready, 1, left < 0 ? 0 : static_cast<int>(left));
        char chunk[65536];
        ssize_t received = result > 0 ? read(descriptor, chunk, sizeof chunk) : result;
        if (received > 0) {
            buffered.append(chunk, static_cast<size_t>(received));
            return true;
        }
        if (received < 0 && errno == EINTR) continue;
        error_ = result == 0 ? "deadline passed" : received == 0 ? "end of stream" : strerror(errno);
        return false;
    }
}

bool LoopbackClient::readBytes(size_t count, std::string& bytes, int timeoutMs) {
    int64_t deadline = nowMs() + timeoutMs;
    while (buffered.size() < count)
        if (!_fill(deadline)) return false;
    bytes.assign(buffered, 0, count);
    buffered.erase(0, count);
    return true;
}

bool LoopbackClient::readLine(std::string& line, int timeoutMs) {
    int64_t deadline = nowMs() + timeoutMs;
    size_t newline;
    while ((newline = buffered.find('\n')) == std::string::npos)
        if (!_fill(deadline)) return false;
    return readBytes(newline + 1, line);
}

int LoopbackClient::receiveBufferSize() const {
    int size = -1;
    socklen_t length = sizeof size;
    if (descriptor < 0 || getsockopt(descriptor, SOL_SOCKET, SO_RCVBUF, &size, &length) != 0) return -1;
    return size;
}

size_t LoopbackClient::_send(const std::string& data, int flags) {
    size_t sent = 0;
    while (descriptor >= 0 && sent < data.size()) {
        ssize_t result = ::send(descriptor, data.data() + sent, data.size() - sent, flags | MSG_NOSIGNAL);
        if (result < 0 && errno == EINTR) continue;
        if (result <= 0) {
            error_ = result < 0 ? strerror(errno) : "sent nothing";
            break;
        }
        sent += static_cast<size_t>(result);
    }
    return sent;
}
