#ifndef VELLORT_TESTS_SUPPORT_MESSAGECLIENT_H
#define VELLORT_TESTS_SUPPORT_MESSAGECLIENT_H

#include <stddef.h>
#include <stdint.h>

#include <string>

// A blocking loopback client of the message service: connects to
// 127.0.0.1:<port> and reads frames (length, code, subject, text), every read
// with a deadline so that a missing frame fails a test instead of hanging it.
//
// One thread per client object.
class MessageClient {
public:
    struct Frame {
        uint32_t length = 0;
        int32_t code = 0;
        std::string subject;
        std::string text;
    };

    // Connects to host (a numeric IPv4 address) at port; connected() tells
    // whether it worked.
    explicit MessageClient(int port, const char* host = "127.0.0.1");
    ~MessageClient();

    MessageClient(const MessageClient&) = delete;
    MessageClient& operator=(const MessageClient&) = delete;

    bool connected() const { return descriptor >= 0; }
    // The client's own port, as the server sees it; -1 when not connected.
    int localPort() const;
    // What the server logs for this client: numeric host ":" port or service.
    std::string peerName() const;

    // Reads exactly `count` bytes into `bytes`; false when the deadline passes
    // or the stream ends or fails first (bytes read so far stay in `bytes`).
    bool readBytes(size_t count, std::string& bytes, int timeoutMs = 10000);
    // Reads one frame; false on deadline, end of stream or a malformed frame
    // (error() says which).
    bool readFrame(Frame& frame, int timeoutMs = 10000);
    // True when a byte can be read right now, without waiting.
    bool hasPendingData();
    // Sends what the socket takes without blocking; returns the bytes sent.
    size_t sendWithoutBlocking(const std::string& data);
    // Sends all of `data`, blocking; false when the connection fails first.
    bool sendAll(const std::string& data);
    void close();

    const std::string& error() const { return error_; }

private:
    // Waits until a read returns data into `buffered`; false on deadline, end
    // of stream or error.
    bool _fill(int64_t deadlineMs);

    int descriptor;
    std::string buffered;  // received, not yet handed out
    std::string error_;
};

#endif
