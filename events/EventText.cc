#include "events/EventText.h"

#include <time.h>
#include <unistd.h>

#include <cstdio>

namespace EVENTS {

const char* topicName(int topic) {
    if (topic == SHIFT_TOPIC) return "shift";
    if (topic == MESSAGE_TOPIC) return "message";
    return "file";
}

namespace {

// Bytes a valid UTF-8 sequence starting with `lead` holds, 0 when none starts there.
size_t sequenceLength(const std::string& text, size_t at) {
    const unsigned char lead = static_cast<unsigned char>(text[at]);
    size_t length = lead < 0x80                   ? 1
                    : lead >= 0xc2 && lead < 0xe0 ? 2
                    : lead >= 0xe0 && lead < 0xf0 ? 3
                    : lead >= 0xf0 && lead < 0xf5 ? 4
                                                  : 0;
    if (length == 0 || at + length > text.size()) return 0;
    for (size_t i = 1; i < length; ++i)
        if ((static_cast<unsigned char>(text[at + i]) & 0xc0) != 0x80) return 0;
    const unsigned char second = static_cast<unsigned char>(text[at + 1 < text.size() ? at + 1 : at]);
    // Overlong forms, surrogates and code points beyond U+10FFFF.
    if ((lead == 0xe0 && second < 0xa0) || (lead == 0xed && second >= 0xa0) || (lead == 0xf0 && second < 0x90) ||
        (lead == 0xf4 && second >= 0x90))
        return 0;
    return length;
}

}  // namespace

std::string quoted(const std::string& text) {
    std::string out = "\"";
    out.reserve(text.size() + 2);
    for (size_t at = 0; at < text.size();) {
        const unsigned char c = static_cast<unsigned char>(text[at]);
        const size_t length = sequenceLength(text, at);
        if (length == 0) {
            out += "\xef\xbf\xbd";
            ++at;
            continue;
        }
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20) {
            char escape[8];
            snprintf(escape, sizeof escape, "\\u%04x", c);
            out += escape;
        } else {
            out.append(text, at, length);
        }
        at += length;
    }
    return out + "\"";
}

std::string rfc3339(int64_t nanoseconds) {
    int64_t seconds = nanoseconds / 1000000000, rest = nanoseconds % 1000000000;
    if (rest < 0) {
        --seconds;
        rest += 1000000000;
    }
    const time_t t = static_cast<time_t>(seconds);
    struct tm parts;
    if (gmtime_r(&t, &parts) == nullptr) return "1970-01-01T00:00:00.000Z";
    char text[64];
    snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", parts.tm_year + 1900, parts.tm_mon + 1,
             parts.tm_mday, parts.tm_hour, parts.tm_min, parts.tm_sec, static_cast<int>(rest / 1000000));
    return text;
}

std::string rfc3339Seconds(int64_t seconds) {
    return rfc3339(seconds * 1000000000);
}

int64_t nowNanoseconds() {
    struct timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    return int64_t(now.tv_sec) * 1000000000 + now.tv_nsec;
}

std::string hostName() {
    char name[256] = "";
    if (gethostname(name, sizeof name - 1) != 0 || name[0] == '\0') return "localhost";
    return name;
}

namespace {

std::string shiftObject(const Shift& shift) {
    return "{\"uid\":" + std::to_string(shift.uid) + ",\"gid\":" + std::to_string(shift.gid) +
           ",\"start\":" + quoted(rfc3339Seconds(shift.start)) + "}";
}

}  // namespace

std::string fileBody(const std::string& host, const FileEvent& event) {
    std::string body = "{\"host\":" + quoted(host) +
                       ",\"event\":" + (event.failure.empty() ? "\"copied\"" : "\"failed\"") +
                       ",\"storage\":{\"id\":" + quoted(event.storageId) + ",\"type\":" + quoted(event.storageType) +
                       "},\"path\":" + quoted(event.path) + ",\"relative\":" + quoted(event.relative) +
                       ",\"copy\":" + quoted(event.copy);
    if (event.failure.empty()) {
        body += ",\"size\":" + std::to_string(event.size) + ",\"mtime\":" + quoted(rfc3339(event.mtime));
        if (!event.hash.empty()) body += ",\"hash\":" + quoted(event.hash);
    } else {
        body += ",\"reason\":" + quoted(event.failure);
    }
    return body + ",\"shift\":" + shiftObject(event.shift) + ",\"time\":" + quoted(rfc3339(nowNanoseconds())) +
           ",\"attempts\":" + std::to_string(event.attempts) + "}";
}

std::string shiftBody(const std::string& host, const Shift& shift) {
    return "{\"host\":" + quoted(host) + ",\"event\":\"shift\",\"shift\":" + shiftObject(shift) + "}";
}

std::string messageBody(const std::string& host, int code, const std::string& subject, const std::string& text) {
    return "{\"host\":" + quoted(host) + ",\"event\":\"message\",\"code\":" + std::to_string(code) +
           ",\"subject\":" + quoted(subject) + ",\"text\":" + quoted(text) +
           ",\"time\":" + quoted(rfc3339(nowNanoseconds())) + "}";
}

std::string withId(const std::string& body, const std::string& stream, int64_t seq) {
    const std::string number = std::to_string(seq);
    return "{\"id\":\"" + stream + "-" + number + "\",\"seq\":" + number + "," + body.substr(1);
}

}  // namespace EVENTS
