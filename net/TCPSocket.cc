#include "net/TCPSocket.h"

#include <errno.h>
#include <netdb.h>
#include <linux/sockios.h>
#include <netinet/in.h>
#include <poll.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <utility>

#include "util/Errors.h"

namespace {

const int listenBacklog = 50;
const size_t readChunkSize = 4096;

int64_t monotonicMilliseconds() {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

int64_t deadlineAfter(int milliseconds) {
    return milliseconds > 0 ? monotonicMilliseconds() + milliseconds : -1;
}

}  // namespace

TCPSocket::TCPSocket() : errorCode(0), readTimeout(0), writeTimeout(0) {}

TCPSocket::TCPSocket(UniqueFd accepted)
    : descriptor(std::move(accepted)), errorCode(0), readTimeout(0), writeTimeout(0) {}

void TCPSocket::setTimeouts(int readMilliseconds, int writeMilliseconds) {
    readTimeout = readMilliseconds > 0 ? readMilliseconds : 0;
    writeTimeout = writeMilliseconds > 0 ? writeMilliseconds : 0;
}

bool TCPSocket::_waitUntilReady(short events, int64_t deadline) {
    if (deadline < 0) return true;
    for (;;) {
        int64_t left = deadline - monotonicMilliseconds();
        if (left <= 0) {
            errno = ETIMEDOUT;
            return false;
        }
        struct pollfd ready = {descriptor.get(), events, 0};
        int result = poll(&ready, 1, static_cast<int>(left));
        if (result > 0) return true;  // also on an error or hang-up: the read or send then tells which
        if (result < 0 && errno != EINTR) return false;
    }
}

TCPSocket::~TCPSocket() {
    if (_isOpen()) _shutdownAndClose();
}

void TCPSocket::_shutdownAndClose() {
    // shutdown fails on a socket that is not connected (a listening one), which
    // is expected; close releases the descriptor in any case.
    shutdown(descriptor.get(), SHUT_RDWR);
    // No retry on EINTR: Linux has released the descriptor already, and a second
    // close could hit a descriptor that another thread has just opened.
    descriptor.reset();
    pending.clear();
}

int TCPSocket::server(const char* port) {
    struct addrinfo hints;
    memset(&hints, 0, sizeof hints);
    hints.ai_flags = AI_PASSIVE;
    hints.ai_socktype = SOCK_STREAM;
    struct addrinfo* addresses = nullptr;
    int lookup = getaddrinfo(nullptr, port, &hints, &addresses);
    if (lookup != 0) {
        errorText = gai_strerror(lookup);
        return -1;
    }

    bool bound = false;
    for (struct addrinfo* candidate = addresses; candidate != nullptr; candidate = candidate->ai_next) {
        if (_isOpen()) _shutdownAndClose();
        descriptor.reset(socket(candidate->ai_family, candidate->ai_socktype | SOCK_CLOEXEC, candidate->ai_protocol));
        _setStdErrmsg();
        if (!_isOpen()) continue;
        int reuse = 1;
        if (setsockopt(descriptor.get(), SOL_SOCKET, SO_REUSEADDR, &reuse, sizeof reuse) != 0) {
            errorCode = errno;
            _setStdErrmsg();
            freeaddrinfo(addresses);
            _shutdownAndClose();
            return -1;
        }
        if (bind(descriptor.get(), candidate->ai_addr, candidate->ai_addrlen) == 0) {
            bound = true;
            break;
        }
    }
    freeaddrinfo(addresses);
    if (!bound) {
        if (_isOpen()) _shutdownAndClose();
        errorCode = -1;
        errorText = std::string("Failed to bind to port ") + port;
        return -1;
    }

    if (listen(descriptor.get(), listenBacklog) != 0) {
        errorCode = errno;
        _setStdErrmsg();
        _shutdownAndClose();
        return -1;
    }
    address = std::string("0.0.0.0:") + port;
    return descriptor.get();
}

TCPSocket* TCPSocket::accept() {
    struct sockaddr_storage peer;
    memset(&peer, 0, sizeof peer);
    socklen_t peerLength = sizeof peer;
    UniqueFd connection;
    for (;;) {
        connection.reset(
            accept4(descriptor.get(), reinterpret_cast<struct sockaddr*>(&peer), &peerLength, SOCK_CLOEXEC));
        if (connection || errno != EINTR) break;
        peerLength = sizeof peer;
    }
    if (!connection) {
        errorCode = errno;
        _setStdErrmsg();
        return nullptr;
    }

    char host[1025] = "";
    char service[32] = "";
    int lookup = getnameinfo(reinterpret_cast<struct sockaddr*>(&peer), peerLength, host, sizeof host, service,
                             sizeof service, NI_NUMERICHOST);
    errorCode = lookup;
    if (lookup < 0) {
        errorText = gai_strerror(lookup);
        host[0] = '\0';
        service[0] = '\0';
    }

    TCPSocket* accepted = new TCPSocket(std::move(connection));
    if (host[0] == '\0' || service[0] == '\0') {
        accepted->address = "UNKNOWN";
    } else {
        accepted->address = std::string(host) + ":" + service;
    }
    return accepted;
}

int64_t TCPSocket::readLine(std::string& line) {
    line.clear();
    const int64_t deadline = deadlineAfter(readTimeout);
    for (;;) {
        if (!pending.empty()) {
            size_t room = maxLineLength - line.size();
            size_t scan = pending.size() < room ? pending.size() : room;
            const void* newline = memchr(pending.data(), '\n', scan);
            if (newline != nullptr) {
                size_t take = static_cast<const char*>(newline) - pending.data() + 1;
                line.append(pending, 0, take);
                pending.erase(0, take);
                return static_cast<int64_t>(line.size());
            }
            line.append(pending, 0, scan);
            pending.erase(0, scan);
            if (line.size() >= maxLineLength) {
                errorText = "Line longer than " + std::to_string(maxLineLength) + " bytes";
                return lineTooLong;
            }
        }

        if (!_waitUntilReady(POLLIN, deadline)) {
            _setStdErrmsg();
            return -1;
        }
        char chunk[readChunkSize];
        ssize_t received = ::read(descriptor.get(), chunk, sizeof chunk);
        if (received == 0) return 0;
        if (received < 0) {
            if (errno == EINTR) continue;
            _setStdErrmsg();
            return -1;
        }
        pending.append(chunk, static_cast<size_t>(received));
    }
}

int64_t TCPSocket::write(const void* data, int64_t length) {
    const char* next = static_cast<const char*>(data);
    int64_t remaining = length;
    const int64_t deadline = deadlineAfter(writeTimeout);
    // With a time-out the send must not block past it: it takes what fits.
    const int flags = MSG_NOSIGNAL | (deadline < 0 ? 0 : MSG_DONTWAIT);
    while (remaining > 0) {
        if (!_waitUntilReady(POLLOUT, deadline)) {
            _setStdErrmsg();
            return -1;
        }
        ssize_t sent = send(descriptor.get(), next, static_cast<size_t>(remaining), flags);
        if (sent > 0) {
            next += sent;
            remaining -= sent;
        } else if (sent < 0) {
            if (errno == EINTR || (deadline >= 0 && (errno == EAGAIN || errno == EWOULDBLOCK))) continue;
            _setStdErrmsg();
            return -1;
        }
    }
    return length;
}

int TCPSocket::setSendBuffer(int bytes) {
    if (setsockopt(descriptor.get(), SOL_SOCKET, SO_SNDBUF, &bytes, sizeof bytes) == 0) return 0;
    errorCode = errno;
    _setStdErrmsg();
    return -1;
}

int64_t TCPSocket::unsentBytes() {
    int unsent = 0;
    if (ioctl(descriptor.get(), SIOCOUTQ, &unsent) == 0) return unsent;
    errorCode = errno;
    _setStdErrmsg();
    return -1;
}

bool TCPSocket::peerHasLeft() {
    struct pollfd state = {descriptor.get(), POLLRDHUP, 0};
    int result;
    do result = poll(&state, 1, 0);
    while (result < 0 && errno == EINTR);
    return result > 0 && (state.revents & (POLLRDHUP | POLLHUP | POLLERR)) != 0;
}

int TCPSocket::close() {
    if (!_isOpen()) return 0;
    shutdown(descriptor.get(), SHUT_RDWR);  // fails on a listening socket; close still releases it
    // Handed over to close itself: the caller sees its result.
    int result = ::close(descriptor.release());
    int savedErrno = errno;
    // An interrupted close has released the descriptor all the same on Linux;
    // retrying could close a descriptor that another thread has just opened.
    if (result != 0 && savedErrno == EINTR) result = 0;
    errorText = UTILITIES::systemText(savedErrno);
    pending.clear();
    return result;
}

int TCPSocket::localPort() const {
    if (!_isOpen()) return -1;
    struct sockaddr_storage local;
    socklen_t localLength = sizeof local;
    if (getsockname(descriptor.get(), reinterpret_cast<struct sockaddr*>(&local), &localLength) != 0) return -1;
    if (local.ss_family == AF_INET) return ntohs(reinterpret_cast<struct sockaddr_in*>(&local)->sin_port);
    if (local.ss_family == AF_INET6) return ntohs(reinterpret_cast<struct sockaddr_in6*>(&local)->sin6_port);
    return -1;
}

void TCPSocket::_setStdErrmsg() {
    int savedErrno = errno;
    errorText = UTILITIES::systemText(savedErrno);
    errno = savedErrno;
}
