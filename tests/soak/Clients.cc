#include <tinyxml2.h>

#include "soak/Soak.h"

namespace {

// One request and its reply line on `client`, connected when needed and dropped after a failure.
bool ask(std::unique_ptr<StatusClient>& client, int port, const std::string& request, std::string& line,
         std::string& why) {
    if (!client) client.reset(new StatusClient(port));
    if (client->send(request + "\n") && client->readLine(line)) return true;
    why = "no reply: " + client->error();
    client.reset();
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
    const int port = soak.sandbox.runner.messagePort();
    auto connected = [&]() {
        reader.reset(new MessageClient(port));
        return reader->connected();
    };
    // The silent client's receive buffer is as small as the system allows, so that the kernel stops taking frames for
    // it early and the daemon's own queue for it fills up, to its limit, within a long run.
    if (soak.waitFor(10, connected)) silent.reset(new LoopbackClient(port, "127.0.0.1", 1));
    // One acceptor takes connections in order: once the silent client, which connected second, is logged, the
    // reader is served too.
    if (!silent || !silent->connected())
        soak.giveUp("cannot connect to the message service on port " + std::to_string(port));
    else if (!soak.waitFor(10, [&]() { return soak.log.saw(LogWatcher::ACCEPTED, silent->peerName()); }))
        soak.giveUp("the message service did not accept its clients");
    threads.emplace_back([this]() { _readMessages(); });
    for (bool reconnect : {false, true}) threads.emplace_back([this, reconnect]() { _pollStatus(reconnect); });
}

void Clients::stop() {
    quit = true;
    for (std::thread& thread : threads) thread.join();
}

double Clients::copyErrorAt(const std::string& destination) {
    std::lock_guard<std::mutex> guard(messageMutex);
    auto found = copyErrors.find(destination);
    return found == copyErrors.end() ? -1 : found->second;
}

double Clients::storageAlarmAt(const std::string& storage) {
    std::lock_guard<std::mutex> guard(messageMutex);
    auto found = alarms.find(storage);
    return found == alarms.end() ? -1 : found->second;
}

// Every frame, with the time it arrived. The daemon writes a frame at once, so a time-out falls between frames.
void Clients::_readMessages() {
    for (MessageClient::Frame frame; !quit;) {
        if (!reader->readFrame(frame, 200)) {
            if (reader->error() == "deadline passed") continue;
            return soak.giveUp("the message client lost its connection or read a malformed frame: " + reader->error());
        }
        soak.add("messages: frames");
        soak.add("messages: code " + std::to_string(frame.code));
        // Subject: source ":" destination (all of it without a ':'); no path of the sandbox holds a ':'.
        std::string destination = singleSlashes(frame.subject.substr(frame.subject.find(':') + 1));
        std::lock_guard<std::mutex> guard(messageMutex);
        if (frame.code == 9) alarms.emplace(frame.subject, soak.elapsed());
        if (frame.code == 4 && !copyErrors.emplace(destination, soak.elapsed()).second)
            soak.add("messages: copy errors reported twice for one destination");
    }
}

// Two pollers of the history: one on a connection it keeps, one that connects anew for every request.
void Clients::_pollStatus(bool reconnect) {
    std::unique_ptr<StatusClient> client;
    const std::string request = "<request><action id='history' length='2'/></request>";
    while (!quit) {
        std::string line, why;
        soak.add("status: connections", !client);
        if (!ask(client, soak.sandbox.runner.statusPort(), request, line, why) || !parseReply(line, nullptr, why))
            soak.fail("status poller: " + why);
        else
            soak.add("status: replies");
        if (reconnect) client.reset();
        SoakContext::pause(reconnect ? 0.2 : 0.1);
    }
}

bool Clients::settled(std::unique_ptr<StatusClient>& client, uint32_t uid, bool internalOnly, double seconds,
                      History& history, std::string& why) {
    auto done = [&]() {
        std::string line;
        history.clear();
        why.clear();
        if (!ask(client, soak.sandbox.runner.statusPort(), "<request><action id='history'/></request>", line, why) ||
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
