#ifndef VELLORT_TESTS_SUPPORT_MESSAGECLIENT_H
#define VELLORT_TESTS_SUPPORT_MESSAGECLIENT_H

#include <stdint.h>

#include <string>

#include "support/LoopbackClient.h"

// A client of the message service: reads its frames (length, code, subject, text).
class MessageClient : public LoopbackClient {
public:
    struct Frame {
        uint32_t length = 0;
        int32_t code = 0;
        std::string subject;
        std::string text;
    };

    using LoopbackClient::LoopbackClient;

    // Reads one frame; false on deadline, end of stream or a malformed frame (error() says which).
    bool readFrame(Frame& frame, int timeoutMs = 10000);
};

#endif
