#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <tinyxml2.h>

#include "soak/Soak.h"

namespace {

// A client that never reads. Its receive buffer is as small as the system allows, so that the kernel stops taking
// frames for it early and the daemon's own queue for it fills up, to its limit, within a long run.
int connectSilently(int port) {
    return connectLoopback(port, nullptr, 1);
}

// One request and its reply line on a connection to the status service, opened when needed and closed on a failure.
bool ask(ServiceConnection& connection, int port, const std::string& request, std::string& line, std::string& why) {
    if (!connection.connected() && !connection.open("127.0.0.1", std::to_string(port))) {
        why = "cannot connect: " + connection.error();
        return false;
    }
    if (connection.send(request + "\n") && connection.readLine(line, 10000)) return true;
    why = "no reply: " + connection.error();
    connection.close();
    return false;
}

// A status reply: well formed, with a `reply` root; `history`, unless null, gets the counts it holds.
bool parseReply(const std::string& line, Clients::History* history, std::string& why) {
    tinyxml2::XMLDocument document;
    const tinyxml2::XMLElement* reply =
        document.Parse(line.c_str()) == tinyxml2::XML_SUCCESS ? document.FirstChildElement("reply") : nullptr;
    if (reply == nullptr) why = "not well formed, or no reply element: " + line.substr(0, 200);
    if (reply == nullptr || history == nullptr) return reply != nullptr;
    for (auto shift = reply->FirstChildElement("usertime"); shift; shift = shift->NextSiblingElement("usertime")) {
        for (auto storage = shift->FirstChildElement("storage"); storage;
             storage = storage->NextSiblingElement("storage")) {
            const char* id = storage->Attribute("id");
            Clients::Booked& booked = (*history)[shift->UnsignedAttribute("uid")][id ? id : "?"];
            booked.pending = storage->Int64Attribute("pending", -1);
            booked.copied = storage->Int64Attribute("copied", -1);
            booked.failed = storage->Int64Attribute("failed", -1);
        }
    }
    return true;
}

}  // namespace

void Clients::start() {
    const int port = soak.sandbox.messagePort;
    auto connected = [&]() {
        reader.reset(new MessageClient(port));
        return reader->connected();
    };
    silent = soak.waitFor(10, connected) ? connectSilently(port) : -1;
    // One acceptor takes connections in order: once the silent client, which connected second, is logged, the
    // reader is served too.
    if (silent < 0)
        soak.giveUp("cannot connect to the message service on port " + std::to_string(port));
    else if (!soak.waitFor(10, [&]() { return soak.log.saw(LogWatcher::ACCEPTED, localAddress(silent)); }))
        soak.giveUp("the message service did not accept its clients");
    threads.emplace_back([this]() { _readMessages(); });
    for (int kind = 0; kind < 3; ++kind) threads.emplace_back([this, kind]() { _pollStatus(kind); });
}

void Clients::stop() {
    quit = true;
    for (std::thread& thread : threads) thread.join();
    if (silent < 0) return;
    ioctl(silent, FIONREAD, &counts.unread);
    close(silent);
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

// Every frame, with the time it arrived. The daemon writes a frame at once, so a time-out falls between frames.
void Clients::_readMessages() {
    for (MessageClient::Frame frame; !quit;) {
        if (!reader->readFrame(frame, 200)) {
            if (reader->error() == "deadline passed") continue;
            return soak.giveUp("the message client lost its connection or read a malformed frame: " + reader->error());
        }
        ++counts.frames;
        std::lock_guard<std::mutex> guard(messageMutex);
        ++byCode[frame.code];
        // Subject: source ":" destination (all of it without a ':'); no path of the sandbox holds a ':'.
        std::string destination = singleSlashes(frame.subject.substr(frame.subject.find(':') + 1));
        if (frame.code == 4 && !copyErrors.emplace(destination, soak.elapsed()).second) ++duplicateCopyErrors;
    }
}

void Clients::_pollStatus(int kind) {
    PollerCounts& stats = counts.pollers[kind];
    ServiceConnection connection;
    for (long round = 0; !quit; ++round) {
        const bool malformed = kind == 1 && round % 20 == 19;
        const std::string request = malformed   ? "<request><action id='history'"
                                    : kind == 1 ? "<request><action id='history' length='2'/></request>"
                                                : "<request><action id='history'/></request>";
        const std::string name = "status poller " + std::to_string(kind) + ": ";
        std::string line, why;
        stats.connections += !connection.connected();
        if (!ask(connection, soak.sandbox.statusPort, request, line, why) || !parseReply(line, nullptr, why))
            soak.fail(name + why);
        else if (malformed != (line.find("<error type=\"syntax error\"") != std::string::npos))
            soak.fail(name + "unexpected reply to " + request + ": " + line);
        else
            ++(malformed ? stats.errorReplies : stats.replies);
        if (kind == 2) connection.close();
        SoakContext::pause(kind == 0 ? 0.1 : kind == 1 ? 0.05 : 0.2);
    }
}

// Every 30 s from t = 8 s: 100 requests with an unknown action of 5000 bytes; six status clients that send nothing,
// half a request, or requests without reading the replies, each to be closed at its time-out (they stay below the
// workers the others leave free, so that they delay no one); 25 message clients that never read.
void Clients::runHostileBursts(double until) {
    const std::string unknown = "<request><action id='" + std::string(5000, 'u') + "'/></request>";
    std::string flood, line, why;
    while (flood.size() < MiB) flood += "<request><action id='history'/></request>\n";
    for (int burst = 0; !soak.stopping; ++burst) {
        const double at = 8 + 30.0 * burst;
        if (at + 25 > until ||
            !soak.waitFor(at - soak.elapsed() + 1, [&]() { return soak.stopping || soak.elapsed() >= at; }) ||
            soak.stopping)
            return;
        ++counts.bursts;
        ServiceConnection asking;
        int answered = 0;
        while (answered < 100 && !soak.stopping && ask(asking, soak.sandbox.statusPort, unknown, line, why)) ++answered;
        if (answered < 100 && !soak.stopping) soak.fail("hostile: an unknown action: " + why);
        counts.unknownActions += answered;
        asking.close();

        std::vector<int> status, message;
        for (int i = 0; i < 6; ++i) status.push_back(connectSilently(soak.sandbox.statusPort));
        for (int i = 0; i < 25; ++i) message.push_back(connectSilently(soak.sandbox.messagePort));
        if (status[0] >= 0) send(status[0], "<request><action id='history'", 29, MSG_DONTWAIT | MSG_NOSIGNAL);
        if (status[1] >= 0) send(status[1], flood.data(), flood.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
        for (int fd : status) {
            const std::string name = localAddress(fd);
            if (name.empty() || !soak.waitFor(30, [&]() { return soak.log.saw(LogWatcher::TIMED_OUT, name); }))
                soak.fail("hostile: status client " + name + " was not closed at its time-out");
            else
                ++counts.timedOutClients;
        }
        for (int fd : status) close(fd);
        for (int fd : message) close(fd);
    }
}

bool Clients::settled(ServiceConnection& connection, uint32_t uid, bool internalOnly, double seconds, History& history,
                      std::string& why) {
    auto done = [&]() {
        std::string line;
        history.clear();
        why.clear();
        if (!ask(connection, soak.sandbox.statusPort, "<request><action id='history'/></request>", line, why) ||
            !parseReply(line, &history, why))
            return false;
        if (history.count(uid) == 0) why = "shift of uid " + std::to_string(uid) + " not in the history";
        for (int storage = INTERNAL; storage <= (internalOnly ? INTERNAL : OPTIONAL) && why.empty(); ++storage) {
            auto booked = history[uid].find(storageNames[storage]);
            if (booked == history[uid].end())
                why = std::string(storageNames[storage]) + " has no entry for the shift";
            else if (booked->second.pending != 0)
                why = std::string(storageNames[storage]) + " still has " + std::to_string(booked->second.pending) +
                      " pending";
        }
        return why.empty();
    };
    return soak.waitFor(seconds, done, 0.1);
}
