#include "support/StatusClient.h"

std::string StatusClient::ask(const std::string& request) {
    std::string reply;
    if (!send(request + "\n") || !readLine(reply)) return error();
    return reply;
}
