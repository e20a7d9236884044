#include "support/MessageClient.h"

#include <arpa/inet.h>
#include <string.h>

bool MessageClient::readFrame(Frame& frame, int timeoutMs) {
    auto fail = [this](const std::string& why) {
        error_ = why;
        return false;
    };
    std::string head, body;
    if (!readBytes(8, head, timeoutMs)) return false;
    uint32_t fields[2];
    memcpy(fields, head.data(), sizeof fields);
    frame.length = ntohl(fields[0]);
    frame.code = static_cast<int32_t>(ntohl(fields[1]));
    if (frame.length < 6) return fail("length field " + std::to_string(frame.length) + " below 6");
    if (!readBytes(frame.length - 4, body, timeoutMs)) return false;
    // Subject and text each end in the frame's only two NULs, the text's last.
    size_t subjectEnd = body.find('\0');
    if (subjectEnd == std::string::npos || body.find('\0', subjectEnd + 1) != body.size() - 1)
        return fail("not two NUL-terminated texts");
    frame.subject = body.substr(0, subjectEnd);
    frame.text = body.substr(subjectEnd + 1, body.size() - subjectEnd - 2);
    return true;
}
