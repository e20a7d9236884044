#ifndef VELLORT_STATUS_PAGE_STATUSPAGE_H
#define VELLORT_STATUS_PAGE_STATUSPAGE_H

#include <stdint.h>

#include <string>

#include "metrics/Exposition.h"

// The status page on the metrics port: GET / serves the page built into the
// daemon (status_page/web/), GET /status.json the data it shows. The daemon
// keeps for it the last messages sent and a ring of fill-state samples of
// every watched mount point.
namespace STATUS_PAGE {

constexpr int keptMessages = 50;
constexpr int keptSamples = 120;
constexpr int sampleSeconds = 5;
// User shifts of the copy history shown, newest first, so the document stays small.
constexpr int historyShifts = 20;

// Any thread: keeps the message among the last keptMessages.
void rememberMessage(int code, const std::string& subject, const std::string& text);

// Metrics service thread: adds a sample of every watched mount point when
// sampleSeconds have passed since the last one (the first call always adds).
void sample(const METRICS::Sources& sources, int64_t monotonicNow);

// The document of GET /status.json; fields described in docs/manual.md.
std::string statusJson(const METRICS::Sources& sources);

// A file built into the daemon, by its path below status_page/web/; false if
// there is none.
bool builtInFile(const std::string& path, std::string& content, std::string& type);

}  // namespace STATUS_PAGE

#endif
