#ifndef VELLORT_METRICS_EXPOSITION_H
#define VELLORT_METRICS_EXPOSITION_H

#include <string>
#include <vector>

class MessageServer;
class StatusServer;
class Storage;
namespace EVENTS {
class Publisher;
}

// The daemon's metrics in the Prometheus text format, version 0.0.4: what
// GET /metrics answers. Reads only atomics and the ledgers' short-held
// mutexes, so a scrape never waits for a copy.
namespace METRICS {

struct Sources {
    std::vector<Storage*> storages;  // borrowed; they live for the process
    const StatusServer* statusServer = nullptr;
    const MessageServer* messageServer = nullptr;
    std::string version;
    const EVENTS::Publisher* events = nullptr;  // null: no events, and no series of theirs
};

std::string exposition(const Sources& sources);

// The label value as the format writes it: backslash, double quote and
// newline escaped.
std::string labelValue(const std::string& value);

}  // namespace METRICS

#endif
