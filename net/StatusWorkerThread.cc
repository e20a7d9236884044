#include "net/StatusWorkerThread.h"

#include <errno.h>
#include <limits.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include <list>
#include <map>

#include <tinyxml2.h>

#include "health/StorageHealth.h"
#include "ledger/Storage.h"
#include "log/LogFile.h"
#include "net/TCPSocket.h"
#include "util/Time.h"

using tinyxml2::XMLDocument;
using tinyxml2::XMLElement;

namespace {

const char requestFormMessage[] =
    "Request does not follow <request><action id=<string> [optional attributes] /></request>";

// Both documents of an exchange process entities: "&lt;" in a request is "<"
// to us, and the printer writes "<" back as "&lt;".
const bool processEntities = true;

// The "length" attribute: absent means every entry. Values beyond int are
// clamped rather than cast, so that a huge number still means "all" or, when
// negative, "all" as well.
int historyLength(const char* text) {
    if (text == nullptr) return -1;
    long value = strtol(text, nullptr, 10);
    if (value > INT_MAX) return INT_MAX;
    if (value < INT_MIN) return INT_MIN;
    return static_cast<int>(value);
}

// A request's text as the log shows it: a hostile line of 64 KiB makes one
// line of a few hundred bytes, not a megabyte of log per second.
std::string forLog(const std::string& text) {
    if (text.size() <= StatusWorkerThread::maxLoggedRequest) return text;
    return text.substr(0, StatusWorkerThread::maxLoggedRequest) + "... (" + std::to_string(text.size()) +
           " bytes in all)";
}

std::string seconds(int milliseconds) {
    return std::to_string(milliseconds / 1000) + " s";
}

void insertError(XMLDocument& document, XMLElement* reply, const char* type, const std::string& message) {
    XMLElement* error = document.NewElement("error");
    error->SetAttribute("type", type);
    error->SetAttribute("message", message.c_str());
    reply->InsertFirstChild(error);
}

}  // namespace

StatusWorkerThread::StatusWorkerThread(const std::vector<Storage*>& storages) : storages(storages) {}

StatusWorkerThread::~StatusWorkerThread() = default;

void StatusWorkerThread::work() {
    socket->setTimeouts(requestTimeoutMilliseconds, replyTimeoutMilliseconds);
    std::string line;
    int64_t result;
    while ((result = socket->readLine(line)) > 0) {
        std::string reply = answer(line, storages, *log, socket->address);
        if (socket->write(reply.data(), static_cast<int64_t>(reply.size())) < 0) {
            // A client that has gone needs no line of its own; one that does
            // not read would make every further request wait its time-out.
            if (errno == ETIMEDOUT)
                *log << "Warning: Closing connection from " << socket->address << ": it took no reply within "
                     << seconds(replyTimeoutMilliseconds) << endl;
            result = 0;
            break;
        }
    }
    if (result == -1 && errno == ETIMEDOUT) {
        *log << "Warning: Closing connection from " << socket->address << ": no complete request within "
             << seconds(requestTimeoutMilliseconds) << endl;
    }
    if (result == TCPSocket::lineTooLong) {
        std::string message = "Request longer than " + std::to_string(TCPSocket::maxLineLength) + " bytes";
        XMLDocument document(processEntities);
        XMLElement* reply = document.NewElement("reply");
        document.InsertFirstChild(reply);
        insertError(document, reply, "syntax error", message);
        std::string text = _replyLine(document);
        socket->write(text.data(), static_cast<int64_t>(text.size()));
        *log << "Error: " << message << " from " << socket->address << "; closing the connection" << endl;
    }
    *log << "++ Connection from " << socket->address << " closed on " << UTILITIES::asciiTime();
    if (result == -1) *log << socket->errmsg() << "\n";
    *log << flush;
}

std::string StatusWorkerThread::answer(const std::string& line, const std::vector<Storage*>& storages, LogFile& log,
                                       const std::string& peer) {
    XMLDocument document(processEntities);
    XMLElement* reply = document.NewElement("reply");
    document.InsertFirstChild(reply);
    _answer(line, storages, log, peer, document, reply);
    return _replyLine(document);
}

void StatusWorkerThread::_answer(const std::string& line, const std::vector<Storage*>& storages, LogFile& log,
                                 const std::string& peer, XMLDocument& document, XMLElement* reply) {
    XMLDocument request(processEntities);
    if (request.Parse(line.c_str(), line.size()) != tinyxml2::XML_SUCCESS) {
        // tinyxml2 gives one detail text. A line of white space only is an
        // empty document to it, with a detail text that would only puzzle a
        // client; that case gets a plain message and no detail in the log.
        bool empty = request.ErrorID() == tinyxml2::XML_ERROR_EMPTY_DOCUMENT;
        std::string detail = empty ? "" : request.ErrorStr();
        insertError(document, reply, "syntax error", empty ? "Empty request" : detail);
        log << "Error: Failed to parse request from " << peer << ":\n"
            << forLog(line) << "\n"
            << detail << "\n"
            << endl;
        return;
    }

    XMLElement* requestElement = request.FirstChildElement("request");
    XMLElement* action = requestElement == nullptr ? nullptr : requestElement->FirstChildElement("action");
    const char* id = action == nullptr ? nullptr : action->Attribute("id");
    if (id == nullptr) {
        insertError(document, reply, "syntax error", requestFormMessage);
        log << "Error: Failed to parse request from " << peer << ":\n"
            << forLog(line) << "\n"
            << requestFormMessage << endl;
        return;
    }

    if (strcmp(id, "history") != 0) {
        insertError(document, reply, "action error", std::string("Unkown action '") + id + "'");
        // Written at once: a client that sends nothing but unknown actions
        // would otherwise grow one log buffer for as long as it stays.
        log << "Error: Unkown action '" << forLog(id) << "' in request from " << peer << endl;
        return;
    }

    _appendHistory(storages, document, reply, historyLength(action->Attribute("length")));
}

void StatusWorkerThread::_appendHistory(const std::vector<Storage*>& storages, XMLDocument& document, XMLElement* reply,
                                        int length) {
    std::map<int64_t, XMLElement*> userTimes;
    for (Storage* storage : storages) {
        const std::string& storageID = storage->getParams().storageID;
        StorageHealth::Snapshot health;
        if (storage->health() != nullptr) health = storage->health()->snapshot();
        for (const DebitCredit::HistEntry& entry : storage->history(length)) {
            XMLElement*& userTime = userTimes[entry.time];
            if (userTime == nullptr) {
                userTime = document.NewElement("usertime");
                userTime->SetAttribute("id", entry.time);
                userTime->SetAttribute("uid", entry.uid);
                userTime->SetAttribute("gid", entry.gid);
                userTime->SetAttribute("asctime", UTILITIES::localTimeText(entry.time, "%Y/%m/%d %H:%M:%S").c_str());
                reply->InsertEndChild(userTime);
            }
            XMLElement* storageElement = document.NewElement("storage");
            storageElement->SetAttribute("id", storageID.c_str());
            // A count that a booking error took below zero shows as negative,
            // not as four thousand million.
            storageElement->SetAttribute("pending", static_cast<int32_t>(entry.pending));
            storageElement->SetAttribute("copied", static_cast<int32_t>(entry.copied));
            storageElement->SetAttribute("failed", static_cast<int32_t>(entry.failed));
            // Only where copies are verified, so that the reply of a daemon
            // without verification is the one it always was.
            if (storage->getParams().verify_copies) {
                storageElement->SetAttribute("verified", static_cast<int32_t>(entry.verified));
                storageElement->SetAttribute("verifyFailed", static_cast<int32_t>(entry.verifyFailed));
            }
            // Only while the storage is not up, so that the reply is the one
            // it always was while every storage is.
            if (health.state != StorageHealth::UP) {
                storageElement->SetAttribute("state", StorageHealth::stateName(health.state));
                storageElement->SetAttribute("stateReason", health.reason.c_str());
                storageElement->SetAttribute("stateSince", health.since);
            }
            userTime->InsertEndChild(storageElement);
        }
    }
}

std::string StatusWorkerThread::_replyLine(XMLDocument& document) {
    tinyxml2::XMLPrinter printer;
    document.Print(&printer);
    std::string text;
    text.reserve(static_cast<size_t>(printer.CStrSize()));
    for (const char* next = printer.CStr(); *next != '\0'; ++next) {
        if (*next != '\n') text += *next;
    }
    text += '\n';
    return text;
}
