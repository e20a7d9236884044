#ifndef VELLORT_NET_MESSAGESERVER_H
#define VELLORT_NET_MESSAGESERVER_H

#include <memory>
#include <string>

#include "net/TCPSocket.h"

class BroadcastMessageThread;
class LogFile;
class MessageRegisterThread;

namespace EVENTS {
class Publisher;
}

// The daemon's TCP message service. Clients connect to the message port and
// only listen: every warning and error given to addToMessageQueue goes, as one
// binary frame, to every client connected at that moment.
//
// Frame (all integers big-endian):
//   length  uint32  bytes after this field: 4 + subject length + 1 + text length + 1
//   code    int32   the message code below
//   subject         the subject, then one NUL byte
//   text            the text, then one NUL byte
// Subjects and texts are paths and messages; they must hold no NUL byte of
// their own, or a client would split them wrongly.
//
// addToMessageQueue may be called from any thread and never waits for a
// client. Owns the listening socket and the acceptor and broadcaster threads.
// Once connect() has started its threads the object must live for the rest of
// the process: they run until then and use its socket.

class MessageServer {
public:
    // Message codes, by sender.
    static constexpr int LIMIT_WARNING = 1;     // fill state passed its limit: old files become links
    static constexpr int OVERFLOW_WARNING = 2;  // the storage is likely to overflow
    static constexpr int OVERFLOW_ERROR = 3;    // fill state passed 99 percent: copies may be lost
    static constexpr int COPY_ERROR = 4;        // a file could not be copied
    static constexpr int LINK_ERROR = 5;        // a file could not be turned into a symbolic link
    static constexpr int REMOVE_ERROR = 6;      // a file could not be removed
    static constexpr int FULL_WARNING = 7;      // at the present rate the RAM disk is full within full_warning_seconds
    static constexpr int JOURNAL_ERROR = 8;     // the journal could not be read or written
    static constexpr int STORAGE_FAILING = 9;   // a storage's disk fails, is not mounted, or was replaced
    static constexpr int STORAGE_BACK = 10;     // a storage takes copies again

    // Nothing listens and no thread runs until connect().
    MessageServer(const std::string& logFilePath, int port);
    ~MessageServer();

    MessageServer(const MessageServer&) = delete;
    MessageServer& operator=(const MessageServer&) = delete;

    // Listens on the port and starts the broadcaster, then the acceptor.
    // Returns 0, or -1 after logging why, with the port closed and no thread
    // using this object: it may then be deleted, and the daemon runs without
    // the service.
    int connect();

    void addToMessageQueue(int code, const std::string& subject, const std::string& text);
    // Before the storages start: every message is published through it too (borrowed).
    void setEvents(EVENTS::Publisher* publisher) { events = publisher; }

    // The frame that addToMessageQueue sends for these values.
    static std::string buildFrame(int code, const std::string& subject, const std::string& text);

    // The port the service listens on, -1 before connect(); differs from the
    // configured one only when that was 0 (any free port).
    int localPort() const { return socket.localPort(); }

    // Any thread: the clients connected now; 0 while the service does not run.
    int clients() const;

private:
    std::string logFilePath;
    std::unique_ptr<LogFile> log;
    int port;
    TCPSocket socket;
    MessageRegisterThread* registerThread;
    BroadcastMessageThread* broadcaster;
    // Set once connect() has started a thread; the threads are then never deleted.
    bool threadsStarted;
    EVENTS::Publisher* events = nullptr;
};

#endif
