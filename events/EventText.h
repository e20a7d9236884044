#ifndef VELLORT_EVENTS_EVENTTEXT_H
#define VELLORT_EVENTS_EVENTTEXT_H

#include <stdint.h>

#include <string>

// The JSON objects the daemon publishes to the broker, one per message. The
// bodies made here lack the event's "id" and "seq": the publisher puts them
// in front when it sends the event, from the place the event got in its
// stream (the journal's outbox, or the memory queue), so that an event sent
// again keeps them.
namespace EVENTS {

// The topics below the prefix; their numbers are kept in the journal's outbox.
enum Topic { FILE_TOPIC = 0, SHIFT_TOPIC = 1, MESSAGE_TOPIC = 2 };
const char* topicName(int topic);

// RFC 3339 in UTC with milliseconds, "2026-12-09T21:47:38.123Z".
std::string rfc3339(int64_t nanoseconds);
std::string rfc3339Seconds(int64_t seconds);
// Now, in nanoseconds since the epoch.
int64_t nowNanoseconds();
// The host's name, as the default prefix and client id use it.
std::string hostName();

struct Shift {
    uint32_t uid = 0, gid = 0;
    int64_t start = 0;  // seconds since the epoch
};

// A copy made (`failure` empty) or given up for good, on one storage.
struct FileEvent {
    std::string storageId, storageType;
    std::string path, relative, copy;
    Shift shift;
    int64_t size = -1, mtime = 0;  // the copy's; mtime in nanoseconds
    std::string hash;              // when verified
    uint32_t attempts = 1;
    std::string failure;
};

std::string fileBody(const std::string& host, const FileEvent& event);
std::string shiftBody(const std::string& host, const Shift& shift);
std::string messageBody(const std::string& host, int code, const std::string& subject, const std::string& text);
// A stored body with its id and seq put in front.
std::string withId(const std::string& body, const std::string& stream, int64_t seq);

}  // namespace EVENTS

#endif
