#ifndef VELLORT_NET_TCPSOCKET_H
#define VELLORT_NET_TCPSOCKET_H

#include <stddef.h>
#include <stdint.h>

#include <string>

#include "util/UniqueFd.h"

// One BSD stream socket: a listening socket made by server(), or a connection
// returned by accept(). Failures are return values; the error text of the last
// failure stays in the object.
//
// No locking: a listening socket is used only by its service's acceptor thread,
// a connection only by the one worker that owns it. The object owns its
// descriptor and closes it when destroyed.
class TCPSocket {
public:
    // Longest line readLine() hands out, its "\n" included. A peer that sends
    // more without a newline is not speaking any of the daemon's protocols, and
    // buffering without end would let one client use up the daemon's memory.
    static constexpr size_t maxLineLength = 65536;

    // readLine() result for a line that passed maxLineLength.
    static constexpr int64_t lineTooLong = -2;

    TCPSocket();
    ~TCPSocket();

    TCPSocket(const TCPSocket&) = delete;
    TCPSocket& operator=(const TCPSocket&) = delete;

    // Listens on every local address at the given port (decimal text, or a
    // service name). Returns the descriptor, or -1 with errcode()/errmsg() set;
    // on failure no descriptor is left open.
    int server(const char* port);

    // Waits for one connection. Returns a new heap object that belongs to the
    // caller, or null with errcode()/errmsg() set. A failed peer-name lookup
    // does not fail the accept: the new socket's address then reads "UNKNOWN".
    TCPSocket* accept();

    // Limits how long one readLine() or one write() may take, in
    // milliseconds; 0 (the default) waits for ever. With a limit a peer that
    // sends no complete line, or takes no data, cannot hold the thread that
    // serves it: the call fails with ETIMEDOUT.
    void setTimeouts(int readMilliseconds, int writeMilliseconds);

    // Reads one line ending in "\n" into `line`, the "\n" kept. Returns:
    //   > 0          the number of bytes in the line;
    //   0            end of stream; bytes read before it stay in `line`;
    //   -1           a read failed, or the read time-out passed before the
    //                line was complete (errno ETIMEDOUT); errmsg() has the
    //                system's text;
    //   lineTooLong  maxLineLength bytes arrived without a "\n"; `line` holds
    //                them, errmsg() reads "Line longer than 65536 bytes". The
    //                stream is then out of step with its lines: close it.
    // Bytes after the line are kept for the next call.
    int64_t readLine(std::string& line);

    // Sends all `length` bytes. Returns `length`, or -1 with errmsg() set and
    // errno left as the failed send set it (ETIMEDOUT when the write time-out
    // passed first). A peer that has gone makes it fail with EPIPE and never
    // raises SIGPIPE.
    int64_t write(const void* data, int64_t length);

    // Asks for a send buffer of `bytes` (the system doubles the value for its
    // own bookkeeping). 0, or -1 with errmsg() set.
    int setSendBuffer(int bytes);
    // Bytes written and not yet taken by the peer: still in the send buffer,
    // or sent and not acknowledged (SIOCOUTQ). -1 with errmsg() set.
    int64_t unsentBytes();

    // Whether the peer has closed its end (or the connection broke), without
    // waiting and without reading what the peer sent.
    bool peerHasLeft();

    // Shuts down and closes an open descriptor and returns the result of close;
    // returns 0 and changes nothing when not open.
    int close();

    int errcode() const { return errorCode; }
    const char* errmsg() const { return errorText.c_str(); }
    operator int() const { return descriptor.get(); }

    // The local port the socket is bound to, -1 when it is not open or the
    // system cannot tell. Lets a service started on port "0" say where it runs.
    int localPort() const;

private:
    explicit TCPSocket(UniqueFd accepted);

    // Error text = the system's text for errno; errno is kept.
    void _setStdErrmsg();
    // Descriptor 0 is a socket like any other: the daemon closes its standard
    // input when it detaches, and the next socket may well get it.
    bool _isOpen() const { return descriptor.get() >= 0; }
    void _shutdownAndClose();
    // Waits until the descriptor is ready for `events` or the deadline (a
    // CLOCK_MONOTONIC time in milliseconds, < 0 for none) has passed. False
    // with errno ETIMEDOUT, or with the errno of a failed poll.
    bool _waitUntilReady(short events, int64_t deadline);

    UniqueFd descriptor;
    int errorCode;
    std::string errorText;
    int readTimeout;   // milliseconds, 0 for none
    int writeTimeout;  // milliseconds, 0 for none

public:
    // Listening socket: "0.0.0.0:" + the port text given to server(). Accepted
    // connection: the peer's numeric host, ":" and its port (or service name),
    // or "UNKNOWN". Read directly by the servers to name the peer in log lines.
    std::string address;

private:
    // Bytes received but not yet handed out by readLine().
    std::string pending;
};

#endif
