#include "soak/Clients.h"

#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <tinyxml2.h>

#include "soak/SoakContext.h"
#include "support/LoopbackClient.h"

namespace {

// A client that never reads. Its receive buffer is made as small as the
// system allows, so that the kernel stops taking frames for it early and the
// daemon's own queue for it fills up, to its limit, within a long run.
int connectSilently(int port) {
    return connectLoopback(port, nullptr, 1);
}

uint32_t bigEndian32(const std::string& bytes) {
    return (uint32_t(uint8_t(bytes[0])) << 24) | (uint32_t(uint8_t(bytes[1])) << 16) |
           (uint32_t(uint8_t(bytes[2])) << 8) | uint32_t(uint8_t(bytes[3]));
}

}  // namespace

void Clients::start() {
    const int port = soak.sandbox.messagePort;
    bool connected = soak.waitFor(
        10, [&]() { return reader.connected() || reader.open("127.0.0.1", std::to_string(port)); }, 0.05);
    if (connected) silent = connectSilently(port);
    if (!connected || silent < 0) {
        soak.giveUp("cannot connect to the message service on port " + std::to_string(port));
    } else {
        // One acceptor takes connections in order: once the silent client,
        // which connected second, is logged, the reader is served too.
        std::string silentName = localAddress(silent);
        if (!soak.waitFor(10, [&]() { return soak.log.saw(LogWatcher::ACCEPTED, silentName); }))
            soak.giveUp("the message service did not accept its clients");
    }
    threads.emplace_back([this]() { _readMessages(); });
    for (int kind = 0; kind < 3; ++kind) threads.emplace_back([this, kind]() { _pollStatus(kind); });
}

void Clients::stop() {
    quit = true;
    for (std::thread& thread : threads) thread.join();
    threads.clear();
    if (silent >= 0) {
        ioctl(silent, FIONREAD, &counts.unread);
        close(silent);
        silent = -1;
    }
}

double Clients::copyErrorAt(const std::string& destination) {
    std::lock_guard<std::mutex> guard(messageMutex);
    auto found = copyErrors.find(destination);
    return found == copyErrors.end() ? -1 : found->second;
}

std::map<int32_t, long> Clients::messageCounts(long* duplicates) {
    std::lock_guard<std::mutex> guard(messageMutex);
    if (duplicates != nullptr) *duplicates = duplicateCopyErrors;
    return byCode;
}

// Every frame, with the time it arrived.
void Clients::_readMessages() {
    const std::string timeout = "no answer within the time limit";
    while (!quit) {
        std::string header, body;
        if (!reader.readExactly(4, header, 200)) {
            if (reader.error() == timeout) continue;
            return soak.giveUp("the message client lost its connection: " + reader.error());
        }
        uint32_t length = bigEndian32(header);
        if (length < 6 || length > 16 * MiB || !reader.readExactly(length, body, 10000))
            return soak.giveUp("malformed or cut message frame (length " + std::to_string(length) +
                               "): " + reader.error());
        _book(static_cast<int32_t>(bigEndian32(body)), body.c_str() + 4);
        ++counts.frames;
    }
}

void Clients::_book(int32_t code, const std::string& subject) {
    std::lock_guard<std::mutex> guard(messageMutex);
    ++byCode[code];
    if (code != 4) return;
    // Subject: source ":" destination; no path of the sandbox holds a ':'.
    size_t colon = subject.find(':');
    std::string destination = singleSlashes(colon == std::string::npos ? subject : subject.substr(colon + 1));
    if (copyErrors.count(destination) == 0)
        copyErrors[destination] = soak.elapsed();
    else
        ++duplicateCopyErrors;
}

void Clients::_pollStatus(int kind) {
    PollerCounts& stats = counts.pollers[kind];
    const std::string name = "status poller " + std::to_string(kind);
    ServiceConnection connection;
    for (long round = 0; !quit; ++round) {
        if (!connection.connected()) {
            if (!connection.open("127.0.0.1", std::to_string(soak.sandbox.statusPort))) {
                soak.fail(name + " cannot connect: " + connection.error());
                SoakContext::pause(1);
                continue;
            }
            ++stats.connections;
        }
        bool malformed = kind == 1 && round % 20 == 19;
        std::string request = malformed   ? "<request><action id='history'"
                              : kind == 1 ? "<request><action id='history' length='2'/></request>"
                                          : "<request><action id='history'/></request>";
        std::string line, why;
        if (!connection.send(request + "\n") || !connection.readLine(line, 10000)) {
            soak.fail(name + ": no reply: " + connection.error());
            connection.close();
            continue;
        }
        if (!StatusQuery::parseReply(line, nullptr, why)) {
            soak.fail(name + ": " + why);
        } else if (malformed != (line.find("<error type=\"syntax error\"") != std::string::npos)) {
            soak.fail(name + ": unexpected reply to " + request + ": " + line);
        } else {
            ++(malformed ? stats.errorReplies : stats.replies);
        }
        if (kind == 2) connection.close();
        SoakContext::pause(kind == 0 ? 0.1 : kind == 1 ? 0.05 : 0.2);
    }
}

void Clients::runHostileBursts(double until) {
    const std::string unknown = "<request><action id='" + std::string(5000, 'u') + "'/></request>\n";
    std::string flood;
    while (flood.size() < MiB) flood += "<request><action id='history'/></request>\n";
    for (int burst = 0; !soak.stopping; ++burst) {
        double at = 8 + 30.0 * burst;
        if (at + 25 > until) return;
        if (!soak.waitFor(at - soak.elapsed() + 1, [&]() { return soak.stopping || soak.elapsed() >= at; }) ||
            soak.stopping)
            return;
        ++counts.bursts;
        ServiceConnection asking;
        std::string line;
        for (int i = 0; i < 100 && !soak.stopping; ++i) {
            if ((!asking.connected() && !asking.open("127.0.0.1", std::to_string(soak.sandbox.statusPort))) ||
                !asking.send(unknown) || !asking.readLine(line, 10000)) {
                soak.fail("hostile: no reply to an unknown action: " + asking.error());
                break;
            }
            ++counts.unknownActions;
        }
        asking.close();

        std::vector<int> status, message;
        for (int i = 0; i < 6; ++i) status.push_back(connectSilently(soak.sandbox.statusPort));
        for (int i = 0; i < 25; ++i) message.push_back(connectSilently(soak.sandbox.messagePort));
        if (status[0] >= 0) send(status[0], "<request><action id='history'", 29, MSG_DONTWAIT | MSG_NOSIGNAL);
        if (status[1] >= 0) send(status[1], flood.data(), flood.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
        for (int fd : status) {
            std::string name = fd < 0 ? "" : localAddress(fd);
            if (name.empty() || !soak.waitFor(30, [&]() { return soak.log.saw(LogWatcher::TIMED_OUT, name); }))
                soak.fail("hostile: status client " + name + " was not closed at its time-out");
            else
                ++counts.timedOutClients;
        }
        for (int fd : status) close(fd);
        for (int fd : message) close(fd);
    }
}

bool Clients::StatusQuery::parseReply(const std::string& line, History* history, std::string& why) {
    tinyxml2::XMLDocument document;
    if (document.Parse(line.c_str()) != tinyxml2::XML_SUCCESS) {
        why = "not well formed: " + line.substr(0, 200);
        return false;
    }
    const tinyxml2::XMLElement* reply = document.FirstChildElement("reply");
    if (reply == nullptr) {
        why = "no reply element: " + line.substr(0, 200);
        return false;
    }
    if (history == nullptr) return true;
    for (const tinyxml2::XMLElement* shift = reply->FirstChildElement("usertime"); shift != nullptr;
         shift = shift->NextSiblingElement("usertime")) {
        uint32_t uid = shift->UnsignedAttribute("uid");
        for (const tinyxml2::XMLElement* storage = shift->FirstChildElement("storage"); storage != nullptr;
             storage = storage->NextSiblingElement("storage")) {
            Counts& counts = (*history)[uid][storage->Attribute("id") ? storage->Attribute("id") : "?"];
            counts.pending = storage->Int64Attribute("pending", -1);
            counts.copied = storage->Int64Attribute("copied", -1);
            counts.failed = storage->Int64Attribute("failed", -1);
        }
    }
    return true;
}

bool Clients::StatusQuery::history(History& result, std::string& why) {
    result.clear();
    if (!connection.connected() && !connection.open("127.0.0.1", std::to_string(soak.sandbox.statusPort))) {
        why = "cannot connect: " + connection.error();
        return false;
    }
    std::string line;
    if (!connection.send("<request><action id='history'/></request>\n") || !connection.readLine(line, 10000)) {
        why = connection.error();
        connection.close();
        return false;
    }
    return parseReply(line, &result, why);
}

bool Clients::StatusQuery::settled(uint32_t uid, bool internalOnly, double seconds, History& history,
                                   std::string& why) {
    return soak.waitFor(
        seconds,
        [&]() {
            if (!this->history(history, why)) return false;
            auto shift = history.find(uid);
            if (shift == history.end()) {
                why = "shift of uid " + std::to_string(uid) + " not in the history";
                return false;
            }
            for (int storage = INTERNAL; storage <= (internalOnly ? INTERNAL : OPTIONAL); ++storage) {
                auto counts = shift->second.find(storageNames[storage]);
                if (counts == shift->second.end()) {
                    why = std::string(storageNames[storage]) + " has no entry for the shift";
                    return false;
                }
                if (counts->second.pending != 0) {
                    why = std::string(storageNames[storage]) + " still has " + std::to_string(counts->second.pending) +
                          " pending";
                    return false;
                }
            }
            return true;
        },
        0.1);
}
