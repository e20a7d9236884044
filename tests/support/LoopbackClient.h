#ifndef VELLORT_TESTS_SUPPORT_LOOPBACKCLIENT_H
#define VELLORT_TESTS_SUPPORT_LOOPBACKCLIENT_H

#include <stddef.h>
#include <stdint.h>
#include <sys/socket.h>

#include <string>

// A blocking TCP client of one of the daemon's services on this host. Every read has a deadline, so that a missing
// reply fails a test instead of hanging it. One thread per object.
class LoopbackClient {
public:
    // Connects to host (a numeric IPv4 address) at port; connected() tells whether it worked, error() why not. A
    // receiveBuffer above 0 is set as SO_RCVBUF before connecting: a client that does not read then makes the service's
    // sends block after little data.
    explicit LoopbackClient(int port, const char* host = "127.0.0.1", int receiveBuffer = 0);
    ~LoopbackClient() { close(); }

    LoopbackClient(const LoopbackClient&) = delete;
    LoopbackClient& operator=(const LoopbackClient&) = delete;

    bool connected() const { return descriptor >= 0; }
    // How the daemon's log names this client: numeric host ":" port or service.
    std::string peerName() const;
    // Sends all of `data`, blocking; false when the connection fails first.
    bool send(const std::string& data) { return _send(data, 0) == data.size(); }
    // Sends what the socket takes without blocking; returns the bytes sent.
    size_t sendWithoutBlocking(const std::string& data) { return _send(data, MSG_DONTWAIT); }
    // Reads exactly `count` bytes, or one line with its "\n"; false on
    // deadline, end of stream or error (error() says which; nothing is lost).
    bool readBytes(size_t count, std::string& bytes, int timeoutMs = 10000);
    bool readLine(std::string& line, int timeoutMs = 10000);
    // The receive buffer the system gave this socket, in bytes; -1 when not connected.
    int receiveBufferSize() const;
    void close();

    const std::string& error() const { return error_; }

protected:
    std::string error_;

private:
    size_t _send(const std::string& data, int flags);
    // Reads what arrives into `buffered`, once; false on deadline, end of stream or error.
    bool _fill(int64_t deadlineMs);

    int descriptor;
    std::string buffered;  // received, not yet handed out
};

// Connects a TCP socket to host (a numeric IPv4 address) at port, waiting at most timeoutMs (a full accept queue makes
// a connect wait). Returns the descriptor, blocking and close-on-exec, or -1 with the reason in *error. A receiveBuffer
// above 0 is set as SO_RCVBUF before connecting (the system rounds it).
int connectLoopback(int port, std::string* error = nullptr, int receiveBuffer = 0, const char* host = "127.0.0.1",
                    int timeoutMs = 10000);

// The numeric address of the socket's own end, host ":" port, as the daemon's
// log names the client; "" when the socket has none.
std::string localAddress(int descriptor);

// A TCP port that nothing listens on at the moment, so that daemons of tests running side by side do not meet on the
// default ports; -1 when the system gives none.
int freePort();

#endif
