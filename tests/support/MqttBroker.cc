#include "support/MqttBroker.h"

#include <unistd.h>

#include "support/LogWatch.h"
#include "support/LoopbackClient.h"

std::string MqttBroker::program() {
    for (const char* path : {"/usr/sbin/mosquitto", "/usr/local/sbin/mosquitto"})
        if (access(path, X_OK) == 0) return path;
    return "";
}

MqttBroker::MqttBroker() : folder("vellort-broker"), port_(freePort()) {
    writeFile(folder / "mosquitto.conf", "listener " + std::to_string(port_) +
                                             " 127.0.0.1\nallow_anonymous true\npersistence true\n"
                                             "persistence_location " +
                                             folder.path() + "/\nmax_queued_messages 0\nlog_dest stderr\nuser root\n");
}

bool MqttBroker::start(double seconds) {
    stop();
    server.reset(new ChildProcess({program(), "-c", folder / "mosquitto.conf"}, folder.path(), "mosquitto"));
    return waitUntil([&] { return LoopbackClient(port_).connected(); }, seconds, 50);
}

void MqttBroker::stop() {
    if (server) server->kill();  // and waits for its end
}
