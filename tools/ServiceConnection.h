#ifndef VELLORT_TOOLS_SERVICECONNECTION_H
#define VELLORT_TOOLS_SERVICECONNECTION_H

#include <errno.h>
#include <netdb.h>
#include <poll.h>
#include <string.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <string>

#include "util/Errors.h"

// The client end of one TCP connection to a VELLORT service, shared by the
// command-line clients (each tools/*.cc is a program of its own, so the class
// lives in this header alone). The daemon's TCPSocket only listens and accepts;
// a client also has to resolve a host name and try each of its addresses,
// because "localhost" may name ::1 first while the daemon listens on IPv4.
//
// One thread per object. Failures are return values with the system's text in
// error().
class ServiceConnection {
public:
    ServiceConnection() : descriptor(-1) {}
    ~ServiceConnection() { close(); }

    ServiceConnection(const ServiceConnection&) = delete;
    ServiceConnection& operator=(const ServiceConnection&) = delete;

    bool connected() const { return descriptor >= 0; }
    const std::string& error() const { return error_; }

    // Connects to the first address of host that accepts; false with error()
    // set when none does.
    bool open(const std::string& host, const std::string& port) {
        close();
        struct addrinfo hints;
        memset(&hints, 0, sizeof hints);
        hints.ai_family = AF_UNSPEC;
        hints.ai_socktype = SOCK_STREAM;
        struct addrinfo* addresses = nullptr;
        int lookup = getaddrinfo(host.c_str(), port.c_str(), &hints, &addresses);
        if (lookup != 0) {
            error_ = gai_strerror(lookup);
            return false;
        }
        error_ = "no address";
        for (struct addrinfo* candidate = addresses; candidate != nullptr; candidate = candidate->ai_next) {
            int fd = socket(candidate->ai_family, candidate->ai_socktype | SOCK_CLOEXEC, candidate->ai_protocol);
            if (fd < 0) {
                error_ = UTILITIES::systemText(errno);
                continue;
            }
            if (::connect(fd, candidate->ai_addr, candidate->ai_addrlen) == 0) {
                // A daemon host that vanishes without closing the connection
                // would otherwise leave a listening client waiting for ever.
                int on = 1;
                setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on);  // a client without it still works
                descriptor = fd;
                break;
            }
            error_ = UTILITIES::systemText(errno);
            ::close(fd);
        }
        freeaddrinfo(addresses);
        return descriptor >= 0;
    }

    void close() {
        if (descriptor < 0) return;
        ::close(descriptor);  // nothing to do about a failed close of a socket we only read
        descriptor = -1;
        buffered.clear();
    }

    // Sends all of data; false when the connection fails first.
    bool send(const std::string& data) {
        size_t sent = 0;
        while (sent < data.size()) {
            ssize_t result = ::send(descriptor, data.data() + sent, data.size() - sent, MSG_NOSIGNAL);
            if (result < 0) {
                int savedErrno = errno;
                if (savedErrno == EINTR) continue;
                error_ = UTILITIES::systemText(savedErrno);
                return false;
            }
            sent += static_cast<size_t>(result);
        }
        return true;
    }

    // Reads one line into `line` without its "\n". timeoutMs < 0 waits without
    // limit. False on end of stream, error or time-out, with error() set.
    bool readLine(std::string& line, int timeoutMs) {
        std::string::size_type end;
        int64_t deadline = timeoutMs < 0 ? -1 : nowMs() + timeoutMs;
        while ((end = buffered.find('\n')) == std::string::npos)
            if (!_fill(deadline)) return false;
        line.assign(buffered, 0, end);
        buffered.erase(0, end + 1);
        return true;
    }

    // Reads exactly count bytes into `bytes`; same results as readLine.
    bool readExactly(size_t count, std::string& bytes, int timeoutMs) {
        int64_t deadline = timeoutMs < 0 ? -1 : nowMs() + timeoutMs;
        while (buffered.size() < count)
            if (!_fill(deadline)) return false;
        bytes.assign(buffered, 0, count);
        buffered.erase(0, count);
        return true;
    }

private:
    static int64_t nowMs() {
        struct timespec now;
        clock_gettime(CLOCK_MONOTONIC, &now);
        return static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
    }

    bool _fill(int64_t deadlineMs) {
        for (;;) {
            int waitMs = -1;
            if (deadlineMs >= 0) {
                int64_t left = deadlineMs - nowMs();
                if (left <= 0) {
                    error_ = "no answer within the time limit";
                    return false;
                }
                waitMs = static_cast<int>(left);
            }
            struct pollfd readable = {descriptor, POLLIN, 0};
            int ready = poll(&readable, 1, waitMs);
            if (ready < 0) {
                int savedErrno = errno;
                if (savedErrno == EINTR) continue;
                error_ = UTILITIES::systemText(savedErrno);
                return false;
            }
            if (ready == 0) continue;  // the deadline check above ends the wait
            char chunk[4096];
            ssize_t got = ::recv(descriptor, chunk, sizeof chunk, 0);
            if (got > 0) {
                buffered.append(chunk, static_cast<size_t>(got));
                return true;
            }
            if (got == 0) {
                error_ = "the daemon closed the connection";
                return false;
            }
            int savedErrno = errno;
            if (savedErrno == EINTR) continue;
            error_ = UTILITIES::systemText(savedErrno);
            return false;
        }
    }

    int descriptor;
    std::string buffered;  // received, not yet handed out
    std::string error_;
};

#endif
