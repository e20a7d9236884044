#ifndef VELLORT_TESTS_SUPPORT_STATUSCLIENT_H
#define VELLORT_TESTS_SUPPORT_STATUSCLIENT_H

#include <string>

#include "support/LoopbackClient.h"

// A client of the status service: one request line, one reply line.
class StatusClient : public LoopbackClient {
public:
    using LoopbackClient::LoopbackClient;

    // Sends `request` + "\n" and returns the reply line, or error() on failure.
    std::string ask(const std::string& request) {
        std::string reply;
        return send(request + "\n") && readLine(reply) ? reply : error();
    }
};

#endif
