// vellort-messages: listens to the message service of a running VELLORT and
// prints every warning and error it pushes, one line per message, for an
// operator's terminal or for a pipe into other tools.

#include <arpa/inet.h>
#include <errno.h>
#include <getopt.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/time.h>
#include <time.h>

#include <algorithm>
#include <string>

#include "net/MessageServer.h"
#include "tools/CommandLine.h"
#include "tools/ServiceConnection.h"
#include "util/Time.h"

namespace {

const char* const program = "vellort-messages";

// The daemon's frames carry a path or two and a sentence. A length far beyond
// that means the stream is out of step (or the port is not a VELLORT message
// service), and reading it would only swallow memory.
const uint32_t maxFrameLength = 16 * 1024 * 1024;
// Code and the two NUL bytes of an empty subject and text.
const uint32_t minFrameLength = 6;

// Pauses between attempts to reach the daemon: quick after a restart, and no
// more than one attempt every half minute when it stays away for long.
const double firstPauseSeconds = 0.5;
const double longestPauseSeconds = 30;

struct Options {
    std::string host = "localhost";
    std::string port = "47198";
    bool json = false;
};

struct Message {
    struct timeval received;
    int32_t code = 0;
    std::string subject;
    std::string text;
};

void printUsage(FILE* out) {
    fprintf(out,
            "Usage: %s [--host HOST] [--port PORT] [--json]\n"
            "\n"
            "Prints every warning and error that a running VELLORT daemon sends to its message\n"
            "clients, one line each: the local time it arrived, the code and its name, the\n"
            "subject (a mount point or a path) and the text. Runs until interrupted; when the\n"
            "daemon is not there or goes away, it says so on standard error and tries again,\n"
            "after 0.5 s at first and at most every 30 s.\n"
            "\n"
            "Codes: 1 LIMIT_WARNING     fill state passed its limit; old files become links\n"
            "       2 OVERFLOW_WARNING  the storage is likely to overflow\n"
            "       3 OVERFLOW_ERROR    fill state passed 99 %%; files copied there may be lost\n"
            "       4 COPY_ERROR        a file could not be copied\n"
            "       5 LINK_ERROR        a file could not be turned into a symbolic link\n"
            "       6 REMOVE_ERROR      a file could not be removed\n"
            "       7 FULL_WARNING      at the present rate the RAM disk is full soon\n"
            "       8 JOURNAL_ERROR     the journal could not be read or written\n"
            "       9 STORAGE_FAILING   a storage's disk fails, is not mounted, or was replaced\n"
            "      10 STORAGE_BACK      a storage takes copies again\n"
            "\n"
            "  --host HOST   host of the daemon (default localhost)\n"
            "  --port PORT   its message_port (default 47198)\n"
            "  --json        one JSON object per line: time, epoch_ms, code, name, subject, text\n"
            "  --help        this text\n",
            program);
}

// Returns 0 to go on, -1 to end with status 0, otherwise the exit status.
int parseOptions(int argc, char** argv, Options& options) {
    static const struct option longOptions[] = {{"host", required_argument, nullptr, 'H'},
                                                {"port", required_argument, nullptr, 'p'},
                                                {"json", no_argument, nullptr, 'j'},
                                                {"help", no_argument, nullptr, 'h'},
                                                {nullptr, 0, nullptr, 0}};
    int option;
    while ((option = getopt_long(argc, argv, "H:p:jh", longOptions, nullptr)) != -1) {
        switch (option) {
            case 'H':
                options.host = optarg;
                break;
            case 'p':
                if (COMMAND_LINE::port(program, optarg, options.port) != 0) return 2;
                break;
            case 'j':
                options.json = true;
                break;
            default:
                return COMMAND_LINE::helpOrMistake(option, printUsage);
        }
    }
    return COMMAND_LINE::noArguments(program, argc, argv);
}

const char* codeName(int32_t code) {
    switch (code) {
        case MessageServer::LIMIT_WARNING:
            return "LIMIT_WARNING";
        case MessageServer::OVERFLOW_WARNING:
            return "OVERFLOW_WARNING";
        case MessageServer::OVERFLOW_ERROR:
            return "OVERFLOW_ERROR";
        case MessageServer::COPY_ERROR:
            return "COPY_ERROR";
        case MessageServer::LINK_ERROR:
            return "LINK_ERROR";
        case MessageServer::REMOVE_ERROR:
            return "REMOVE_ERROR";
        case MessageServer::FULL_WARNING:
            return "FULL_WARNING";
        case MessageServer::JOURNAL_ERROR:
            return "JOURNAL_ERROR";
        case MessageServer::STORAGE_FAILING:
            return "STORAGE_FAILING";
        case MessageServer::STORAGE_BACK:
            return "STORAGE_BACK";
        default:
            return "UNKNOWN";
    }
}

// Length of the well-formed UTF-8 sequence at text[at], 0 when the bytes there
// are not one (overlong forms and surrogates included).
size_t utf8SequenceLength(const std::string& text, size_t at) {
    const unsigned char lead = static_cast<unsigned char>(text[at]);
    size_t length;
    unsigned char secondLow = 0x80, secondHigh = 0xBF;
    if (lead < 0x80) return 1;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        if (lead == 0xE0) secondLow = 0xA0;
        if (lead == 0xED) secondHigh = 0x9F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        if (lead == 0xF0) secondLow = 0x90;
        if (lead == 0xF4) secondHigh = 0x8F;
    } else {
        return 0;
    }
    if (at + length > text.size()) return 0;
    for (size_t i = 1; i < length; ++i) {
        const unsigned char next = static_cast<unsigned char>(text[at + i]);
        const unsigned char low = i == 1 ? secondLow : 0x80;
        const unsigned char high = i == 1 ? secondHigh : 0xBF;
        if (next < low || next > high) return 0;
    }
    return length;
}

// A JSON string literal. Paths on Linux are bytes, not text: bytes that are not
// UTF-8 become U+FFFD, so that every line stays valid JSON.
std::string jsonString(const std::string& text) {
    std::string out = "\"";
    for (size_t at = 0; at < text.size();) {
        const unsigned char byte = static_cast<unsigned char>(text[at]);
        size_t length = utf8SequenceLength(text, at);
        if (length == 0) {
            out += "\\ufffd";
            ++at;
            continue;
        }
        if (length > 1) {
            out.append(text, at, length);
        } else if (byte == '"' || byte == '\\') {
            out += '\\';
            out += static_cast<char>(byte);
        } else if (byte == '\n') {
            out += "\\n";
        } else if (byte == '\r') {
            out += "\\r";
        } else if (byte == '\t') {
            out += "\\t";
        } else if (byte < 0x20 || byte == 0x7F) {
            char escaped[8];
            snprintf(escaped, sizeof escaped, "\\u%04x", byte);
            out += escaped;
        } else {
            out += static_cast<char>(byte);
        }
        at += length;
    }
    return out + "\"";
}

// The plain line keeps one message on one line: control characters of a text
// are shown escaped, everything else as it came.
std::string oneLine(const std::string& text) {
    std::string out;
    for (unsigned char byte : text) {
        if (byte == '\n') {
            out += "\\n";
        } else if (byte < 0x20 || byte == 0x7F) {
            char escaped[8];
            snprintf(escaped, sizeof escaped, "\\x%02x", byte);
            out += escaped;
        } else {
            out += static_cast<char>(byte);
        }
    }
    return out;
}

std::string localTime(const struct timeval& when, const char* format) {
    const std::string text = UTILITIES::localTimeText(when.tv_sec, format);
    return text.empty() ? "?" : text;
}

void printMessage(const Message& message, bool json) {
    if (json) {
        // ISO 8601 with milliseconds and the zone offset as +hh:mm.
        std::string zone = localTime(message.received, "%z");
        if (zone.size() == 5) zone.insert(3, ":");
        char milliseconds[24];
        snprintf(milliseconds, sizeof milliseconds, ".%03ld", static_cast<long>(message.received.tv_usec / 1000));
        const long long epochMs =
            static_cast<long long>(message.received.tv_sec) * 1000 + message.received.tv_usec / 1000;
        printf("{\"time\":\"%s%s%s\",\"epoch_ms\":%lld,\"code\":%d,\"name\":\"%s\",\"subject\":%s,\"text\":%s}\n",
               localTime(message.received, "%Y-%m-%dT%H:%M:%S").c_str(), milliseconds, zone.c_str(), epochMs,
               message.code, codeName(message.code), jsonString(message.subject).c_str(),
               jsonString(message.text).c_str());
    } else {
        printf("%s  %d %s  %s  %s\n", localTime(message.received, "%Y-%m-%d %H:%M:%S").c_str(), message.code,
               codeName(message.code), oneLine(message.subject).c_str(), oneLine(message.text).c_str());
    }
    // Flushed per message: the reader is often a pipe into a filter or a mailer,
    // which must see each message when it comes, not when a buffer fills.
    fflush(stdout);
}

uint32_t bigEndian32(const std::string& bytes, size_t offset) {
    uint32_t network;
    memcpy(&network, bytes.data() + offset, sizeof network);
    return ntohl(network);
}

// Reads frames until the connection ends; returns why it ended.
std::string readFrames(ServiceConnection& connection, bool json) {
    for (;;) {
        std::string bytes;
        if (!connection.readExactly(4, bytes, -1)) return connection.error();
        const uint32_t length = bigEndian32(bytes, 0);
        if (length < minFrameLength || length > maxFrameLength)
            return "a frame length of " + std::to_string(length) + " bytes; the stream is out of step";
        if (!connection.readExactly(length, bytes, -1)) return connection.error();

        Message message;
        gettimeofday(&message.received, nullptr);
        message.code = static_cast<int32_t>(bigEndian32(bytes, 0));
        // The subject ends at the first NUL, the text at the frame's last byte.
        std::string::size_type subjectEnd = bytes.find('\0', 4);
        if (subjectEnd == std::string::npos) {
            message.subject = bytes.substr(4);
        } else {
            message.subject = bytes.substr(4, subjectEnd - 4);
            message.text = bytes.substr(subjectEnd + 1);
            if (!message.text.empty() && message.text.back() == '\0') message.text.pop_back();
        }
        printMessage(message, json);
    }
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    int status = parseOptions(argc, argv, options);
    if (status != 0) return status < 0 ? 0 : status;

    const std::string where = options.host + ":" + options.port;
    ServiceConnection connection;
    double pauseSeconds = firstPauseSeconds;
    for (;;) {
        std::string reason;
        if (connection.open(options.host, options.port)) {
            fprintf(stderr, "%s: connected to the message service at %s\n", program, where.c_str());
            pauseSeconds = firstPauseSeconds;
            reason = readFrames(connection, options.json);
            connection.close();
            fprintf(stderr, "%s: lost the message service at %s: %s; trying again in %g s\n", program, where.c_str(),
                    reason.c_str(), pauseSeconds);
        } else {
            fprintf(stderr, "%s: cannot reach the message service at %s: %s; trying again in %g s\n", program,
                    where.c_str(), connection.error().c_str(), pauseSeconds);
        }
        UTILITIES::sleepNanoSeconds(static_cast<int64_t>(pauseSeconds * 1e9));
        pauseSeconds = std::min(pauseSeconds * 2, longestPauseSeconds);
    }
}
