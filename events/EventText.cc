#include "events/EventText.h"

#include <time.h>
#include <unistd.h>

#include <cstdio>

#include "util/Json.h"

namespace EVENTS {

using UTILITIES::jsonQuoted;

const char* topicName(int topic) {
    if (topic == SHIFT_TOPIC) return "shift";
    if (topic == MESSAGE_TOPIC) return "message";
    return "file";
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
           ",\"start\":" + jsonQuoted(rfc3339Seconds(shift.start)) + "}";
}

}  // namespace

std::string fileBody(const std::string& host, const FileEvent& event) {
    std::string body = "{\"host\":" + jsonQuoted(host) +
                       ",\"event\":" + (event.failure.empty() ? "\"copied\"" : "\"failed\"") +
                       ",\"storage\":{\"id\":" + jsonQuoted(event.storageId) + ",\"type\":" + jsonQuoted(event.storageType) +
                       "},\"path\":" + jsonQuoted(event.path) + ",\"relative\":" + jsonQuoted(event.relative) +
                       ",\"copy\":" + jsonQuoted(event.copy);
    if (event.failure.empty()) {
        body += ",\"size\":" + std::to_string(event.size) + ",\"mtime\":" + jsonQuoted(rfc3339(event.mtime));
        if (!event.hash.empty()) body += ",\"hash\":" + jsonQuoted(event.hash);
    } else {
        body += ",\"reason\":" + jsonQuoted(event.failure);
    }
    return body + ",\"shift\":" + shiftObject(event.shift) + ",\"time\":" + jsonQuoted(rfc3339(nowNanoseconds())) +
           ",\"attempts\":" + std::to_string(event.attempts) + "}";
}

std::string shiftBody(const std::string& host, const Shift& shift) {
    return "{\"host\":" + jsonQuoted(host) + ",\"event\":\"shift\",\"shift\":" + shiftObject(shift) + "}";
}

std::string messageBody(const std::string& host, int code, const std::string& subject, const std::string& text) {
    return "{\"host\":" + jsonQuoted(host) + ",\"event\":\"message\",\"code\":" + std::to_string(code) +
           ",\"subject\":" + jsonQuoted(subject) + ",\"text\":" + jsonQuoted(text) +
           ",\"time\":" + jsonQuoted(rfc3339(nowNanoseconds())) + "}";
}

std::string withId(const std::string& body, const std::string& stream, int64_t seq) {
    const std::string number = std::to_string(seq);
    return "{\"id\":\"" + stream + "-" + number + "\",\"seq\":" + number + "," + body.substr(1);
}

}  // namespace EVENTS
