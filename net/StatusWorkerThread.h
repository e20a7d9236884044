#ifndef VELLORT_NET_STATUSWORKERTHREAD_H
#define VELLORT_NET_STATUSWORKERTHREAD_H

#include <string>
#include <vector>

#include "net/ClientWorkerThread.h"

namespace tinyxml2 {
class XMLDocument;
class XMLElement;
}  // namespace tinyxml2

class LogFile;
class Storage;

// Serves one connection of the status service. Each request is one line
// holding one XML document,
//     <request><action id='history' length='3'/></request>
// and gets one reply line: the reply document as tinyxml2 prints it indented,
// with its newlines taken out, and one "\n" after it. So a reply can never
// span lines, whatever the request's values held. The reply's root "reply"
// holds either one "error" element (attributes type, message) or, for
// "history", one "usertime" element per shift with one "storage" element per
// storage that has that shift in its history, with its counts; a storage
// that verifies its copies adds "verified" and "verifyFailed", which older
// clients ignore.
//
// A line longer than TCPSocket::maxLineLength gets an error reply and ends the
// connection: the rest of the stream can no longer be split into requests.
// So does a client that sends no complete request within requestTimeout, or
// takes no reply within replyTimeout: it would hold one of the service's
// few workers for nothing. A bad request is logged at once, as a line of its
// own, its text cut to maxLoggedRequest bytes.
//
// work() runs on a pool thread of the service's acceptor. Each request is
// answered from the ledgers as they are at that moment; nothing is kept
// between requests. Borrowed: the storages, which outlive every server.
class StatusWorkerThread : public ClientWorkerThread {
public:
    static constexpr int requestTimeoutMilliseconds = 10000;
    static constexpr int replyTimeoutMilliseconds = 10000;
    static constexpr size_t maxLoggedRequest = 256;

    explicit StatusWorkerThread(const std::vector<Storage*>& storages);
    ~StatusWorkerThread() override;

    void work() override;

    // The reply line to one request line, its "\n" included, answered from
    // `storages` as they are now; the log lines about a bad request go to
    // `log` and name `peer`. Needs no connection and no thread of its own.
    static std::string answer(const std::string& line, const std::vector<Storage*>& storages, LogFile& log,
                              const std::string& peer);

private:
    // Puts the answer to one request line into `reply`.
    static void _answer(const std::string& line, const std::vector<Storage*>& storages, LogFile& log,
                        const std::string& peer, tinyxml2::XMLDocument& document, tinyxml2::XMLElement* reply);
    // Appends the "usertime" elements of the "history" action to `reply`: the
    // newest `length` history entries of every storage (all of them when
    // `length` is negative), one element per shift time in the order those
    // times are first met, storage by storage.
    static void _appendHistory(const std::vector<Storage*>& storages, tinyxml2::XMLDocument& document,
                               tinyxml2::XMLElement* reply, int length);
    // The document as one reply line: printed, its newlines taken out, one
    // "\n" after it.
    static std::string _replyLine(tinyxml2::XMLDocument& document);

    std::vector<Storage*> storages;
};

#endif
