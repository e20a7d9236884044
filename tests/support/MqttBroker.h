#ifndef VELLORT_TESTS_SUPPORT_MQTTBROKER_H
#define VELLORT_TESTS_SUPPORT_MQTTBROKER_H

#include <memory>
#include <string>

#include "support/ChildProcess.h"
#include "support/TempDir.h"

// A real mosquitto broker for the tests of the events: on 127.0.0.1 at a free port, anonymous, keeping its sessions and
// their queued messages (without a bound) in a temporary folder across a stop and a start. It stays root, or it could
// not save them there. The destructor stops it. Used by one thread.
class MqttBroker {
public:
    // The installed broker's path; "" when the mosquitto package is missing.
    static std::string program();

    MqttBroker();
    ~MqttBroker() { stop(); }

    MqttBroker(const MqttBroker&) = delete;
    MqttBroker& operator=(const MqttBroker&) = delete;

    // Starts it (again) and waits until it takes connections; false after `seconds`.
    bool start(double seconds = 20);
    // SIGTERM, so that it saves its sessions, and waits for its end.
    void stop();
    int port() const { return port_; }
    std::string address() const { return "127.0.0.1:" + std::to_string(port_); }
    std::string log() const { return server ? server->errorOutput() + server->output() : ""; }

private:
    TempDir folder;
    int port_;
    std::unique_ptr<ChildProcess> server;
};

#endif
