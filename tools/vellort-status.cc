// vellort-status: asks a running VELLORT for the copy history of its storages
// and prints it as a table (or, with --xml, as the daemon's own reply line).

#include <errno.h>
#include <getopt.h>
#include <stdio.h>
#include <stdlib.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <set>
#include <string>
#include <vector>

#include <tinyxml2.h>

#include "tools/CommandLine.h"
#include "tools/ServiceConnection.h"
#include "util/Time.h"

namespace {

const char* const program = "vellort-status";

// A reply is a single short line; a daemon that takes longer than this is stuck,
// and a script calling us must not hang with it.
const int replyTimeoutMs = 10000;

struct Options {
    std::string host = "localhost";
    std::string port = "47199";
    long length = -1;  // all shifts
    bool xml = false;
    double watchSeconds = 0;  // 0: ask once
};

struct Row {
    std::string shiftStart;
    std::string uid;
    std::string gid;
    std::string storage;
    std::string pending;
    std::string copied;
    std::string failed;
    // "verified <n>, failed verification <m>" after the table's columns,
    // for a storage whose counts come with them; empty otherwise.
    std::string verification;
    // "failing since <time>: <reason>" while the storage is not up; empty otherwise.
    std::string state;
};

void printUsage(FILE* out) {
    fprintf(out,
            "Usage: %s [--host HOST] [--port PORT] [--length N] [--xml] [--watch SECONDS]\n"
            "\n"
            "Prints the copy history of every storage of a running VELLORT daemon, newest\n"
            "user shift first: per shift its start (local time), uid and gid, and per storage\n"
            "the files still pending, copied and failed, and where the daemon verifies copies,\n"
            "the copies verified and those that failed verification. A storage that is not\n"
            "up (its disk failing or not mounted) is named above the table with its reason.\n"
            "\n"
            "  --host HOST        host of the daemon (default localhost)\n"
            "  --port PORT        its status_port (default 47199)\n"
            "  --length N         at most N shifts per storage (default: all it keeps)\n"
            "  --xml              print the daemon's reply line as it came\n"
            "  --watch SECONDS    ask again every SECONDS until interrupted\n"
            "  --help             this text\n"
            "\n"
            "Exit status 0 on success; 1 when the service cannot be reached, does not answer\n"
            "within 10 seconds or answers with an error; 2 for a wrong command line.\n",
            program);
}

// Returns 0 to go on, -1 to end with status 0, otherwise the exit status.
int parseOptions(int argc, char** argv, Options& options) {
    static const struct option longOptions[] = {{"host", required_argument, nullptr, 'H'},
                                                {"port", required_argument, nullptr, 'p'},
                                                {"length", required_argument, nullptr, 'n'},
                                                {"xml", no_argument, nullptr, 'x'},
                                                {"watch", required_argument, nullptr, 'w'},
                                                {"help", no_argument, nullptr, 'h'},
                                                {nullptr, 0, nullptr, 0}};
    int option;
    long number;
    while ((option = getopt_long(argc, argv, "H:p:n:xw:h", longOptions, nullptr)) != -1) {
        switch (option) {
            case 'H':
                options.host = optarg;
                break;
            case 'p':
                if (COMMAND_LINE::port(program, optarg, options.port) != 0) return 2;
                break;
            case 'n':
                if (!COMMAND_LINE::wholeNumber(optarg, 0, 2147483647, number)) {
                    fprintf(stderr, "%s: --length needs a whole number of at least 0, not '%s'\n", program, optarg);
                    return 2;
                }
                options.length = number;
                break;
            case 'x':
                options.xml = true;
                break;
            case 'w': {
                char* end = nullptr;
                options.watchSeconds = strtod(optarg, &end);
                if (end == optarg || *end != '\0' || !(options.watchSeconds >= 0.1)) {
                    fprintf(stderr, "%s: --watch needs a number of seconds of at least 0.1, not '%s'\n", program,
                            optarg);
                    return 2;
                }
                break;
            }
            default:
                return COMMAND_LINE::helpOrMistake(option, printUsage);
        }
    }
    return COMMAND_LINE::noArguments(program, argc, argv);
}

std::string attribute(const tinyxml2::XMLElement* element, const char* name) {
    const char* value = element->Attribute(name);
    return value != nullptr ? value : "";
}

std::string localShiftStart(const tinyxml2::XMLElement* usertime) {
    char* end = nullptr;
    const std::string id = attribute(usertime, "id");
    long long seconds = strtoll(id.c_str(), &end, 10);
    const std::string text = id.empty() || *end != '\0' ? "" : UTILITIES::localTimeText(seconds, "%Y-%m-%d %H:%M:%S");
    // The daemon's own rendering is the next best thing.
    return text.empty() ? attribute(usertime, "asctime") : text;
}

// Fills rows from a history reply; false with `problem` set for an error reply
// or a line that is no reply at all.
bool readHistory(const std::string& line, std::vector<Row>& rows, std::string& problem) {
    tinyxml2::XMLDocument document;
    if (document.Parse(line.c_str(), line.size()) != tinyxml2::XML_SUCCESS) {
        problem = std::string("unreadable reply: ") + document.ErrorStr();
        return false;
    }
    const tinyxml2::XMLElement* reply = document.FirstChildElement("reply");
    if (reply == nullptr) {
        problem = "unreadable reply: no <reply> element";
        return false;
    }
    if (const tinyxml2::XMLElement* error = reply->FirstChildElement("error")) {
        problem = "the daemon answered with an error: " + attribute(error, "type") + ": " + attribute(error, "message");
        return false;
    }
    for (const tinyxml2::XMLElement* usertime = reply->FirstChildElement("usertime"); usertime != nullptr;
         usertime = usertime->NextSiblingElement("usertime")) {
        bool first = true;
        for (const tinyxml2::XMLElement* storage = usertime->FirstChildElement("storage"); storage != nullptr;
             storage = storage->NextSiblingElement("storage")) {
            Row row;
            // The shift's columns only on its first line keep the shifts apart.
            if (first) {
                row.shiftStart = localShiftStart(usertime);
                row.uid = attribute(usertime, "uid");
                row.gid = attribute(usertime, "gid");
            }
            first = false;
            row.storage = attribute(storage, "id");
            row.pending = attribute(storage, "pending");
            row.copied = attribute(storage, "copied");
            row.failed = attribute(storage, "failed");
            // Sent only for storages that verify their copies.
            if (storage->Attribute("verified") != nullptr && storage->Attribute("verifyFailed") != nullptr)
                row.verification = "verified " + attribute(storage, "verified") + ", failed verification " +
                                   attribute(storage, "verifyFailed");
            // Sent only while the storage is not up.
            if (storage->Attribute("state") != nullptr) {
                const int64_t since = storage->Int64Attribute("stateSince");
                row.state = attribute(storage, "state") + " since " +
                            UTILITIES::localTimeText(since, "%Y-%m-%d %H:%M:%S") + ": " +
                            attribute(storage, "stateReason");
            }
            rows.push_back(row);
        }
    }
    return true;
}

void printTable(const std::vector<Row>& rows) {
    if (rows.empty()) {
        printf("No history: the daemon has no user shift with storages to show.\n");
        return;
    }
    std::set<std::string> named;
    for (const Row& row : rows)
        if (!row.state.empty() && named.insert(row.storage).second)
            printf("Storage %s is %s\n", row.storage.c_str(), row.state.c_str());
    if (!named.empty()) printf("\n");
    std::vector<Row> all(1, Row{"Shift start", "UID", "GID", "Storage", "Pending", "Copied", "Failed", "", ""});
    all.insert(all.end(), rows.begin(), rows.end());
    size_t width[7] = {0, 0, 0, 0, 0, 0, 0};
    for (const Row& row : all) {
        const std::string* cells[7] = {&row.shiftStart, &row.uid,    &row.gid,   &row.storage,
                                       &row.pending,    &row.copied, &row.failed};
        for (int i = 0; i < 7; ++i) width[i] = std::max(width[i], cells[i]->size());
    }
    for (const Row& row : all) {
        // Names to the left, counts to the right, as a reader compares them.
        printf("%-*s  %-*s  %-*s  %-*s  %*s  %*s  %*s%s%s\n", static_cast<int>(width[0]), row.shiftStart.c_str(),
               static_cast<int>(width[1]), row.uid.c_str(), static_cast<int>(width[2]), row.gid.c_str(),
               static_cast<int>(width[3]), row.storage.c_str(), static_cast<int>(width[4]), row.pending.c_str(),
               static_cast<int>(width[5]), row.copied.c_str(), static_cast<int>(width[6]), row.failed.c_str(),
               row.verification.empty() ? "" : "  ", row.verification.c_str());
    }
}

// One request and its reply on `connection`, opened when needed. Returns 0, or
// 1 with the reason on stderr.
int askOnce(const Options& options, ServiceConnection& connection) {
    const std::string where = options.host + ":" + options.port;
    if (!connection.connected() && !connection.open(options.host, options.port)) {
        fprintf(stderr, "%s: cannot reach the status service at %s: %s\n", program, where.c_str(),
                connection.error().c_str());
        return 1;
    }
    std::string request = "<request><action id='history'";
    if (options.length >= 0) request += " length='" + std::to_string(options.length) + "'";
    request += "/></request>\n";
    std::string reply;
    if (!connection.send(request) || !connection.readLine(reply, replyTimeoutMs)) {
        fprintf(stderr, "%s: no reply from the status service at %s: %s\n", program, where.c_str(),
                connection.error().c_str());
        connection.close();
        return 1;
    }
    std::vector<Row> rows;
    std::string problem;
    bool understood = readHistory(reply, rows, problem);
    if (options.xml) {
        printf("%s\n", reply.c_str());
    } else if (understood) {
        printTable(rows);
    }
    if (!understood) {
        fprintf(stderr, "%s: %s\n", program, problem.c_str());
        return 1;
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    int status = parseOptions(argc, argv, options);
    if (status != 0) return status < 0 ? 0 : status;

    ServiceConnection connection;
    if (options.watchSeconds <= 0) return askOnce(options, connection);

    // Watching keeps one connection, so the daemon's log gets one connection
    // line per watch and not one per refresh; an unreachable daemon is shown
    // and asked again, as it may be restarting.
    const bool terminal = isatty(STDOUT_FILENO) == 1;
    for (;;) {
        if (terminal) printf("\033[H\033[2J");  // clear the screen, as watch(1) does
        const std::string stamp = UTILITIES::localTimeText(time(nullptr), "%Y-%m-%d %H:%M:%S");
        printf("Every %gs: history of %s:%s at %s\n\n", options.watchSeconds, options.host.c_str(),
               options.port.c_str(), stamp.c_str());
        fflush(stdout);
        askOnce(options, connection);
        if (!terminal) printf("\n");
        fflush(stdout);
        UTILITIES::sleepNanoSeconds(static_cast<int64_t>(options.watchSeconds * 1e9));
    }
}
