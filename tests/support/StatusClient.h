#ifndef VELLORT_TESTS_SUPPORT_STATUSCLIENT_H
#define VELLORT_TESTS_SUPPORT_STATUSCLIENT_H

#include <stddef.h>

#include <string>

// A blocking loopback client of the status service: connects to
// 127.0.0.1:<port>, sends request lines and reads reply lines, every read with
// a deadline so that a missing reply fails a test instead of hanging it.
//
// One thread per client object.
class StatusClient {
public:
    explicit StatusClient(int port);
    ~StatusClient();

    StatusClient(const StatusClient&) = delete;
    StatusClient& operator=(const StatusClient&) = delete;

    bool connected() const { return descriptor >= 0; }
    // What the server logs for this client: "127.0.0.1:" and its port.
    std::string peerName() const;

    // Sends all of `data`, blocking; false when the connection fails first.
    bool send(const std::string& data);
    // Sends what the socket takes without blocking; returns the bytes sent.
    size_t sendWithoutBlocking(const std::string& data);
    // Reads one line, its "\n" kept; false on deadline, end of stream or error
    // (error() says which; bytes of an unfinished line stay buffered).
    bool readLine(std::string& line, int timeoutMs = 10000);
    // Sends `request` + "\n" and returns the reply line, or error() on failure.
    std::string ask(const std::string& request);
    void close();

    const std::string& error() const { return error_; }

private:
    int descriptor;
    std::string buffered;  // received, not yet handed out
    std::string error_;
};

#endif
