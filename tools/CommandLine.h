#ifndef VELLORT_TOOLS_COMMANDLINE_H
#define VELLORT_TOOLS_COMMANDLINE_H

#include <errno.h>
#include <getopt.h>
#include <stdio.h>
#include <stdlib.h>

#include <string>

// What the command-line clients' option parsers share (header only, as
// ServiceConnection.h). The parsers return 0 to go on, -1 to end with status 0
// (after --help) and otherwise the exit status, 2 for a wrong command line.
namespace COMMAND_LINE {

inline bool wholeNumber(const char* text, long low, long high, long& value) {
    char* end = nullptr;
    errno = 0;
    long parsed = strtol(text, &end, 10);
    if (errno != 0 || end == text || *end != '\0' || parsed < low || parsed > high) return false;
    value = parsed;
    return true;
}

// --port: a TCP port, kept as the text that getaddrinfo() takes.
inline int port(const char* program, const char* text, std::string& port) {
    long number;
    if (!wholeNumber(text, 1, 65535, number)) {
        fprintf(stderr, "%s: --port needs a number from 1 to 65535, not '%s'\n", program, text);
        return 2;
    }
    port = text;
    return 0;
}

// The answer to --help ('h') or to an option getopt_long() refused.
inline int helpOrMistake(int option, void (*printUsage)(FILE*)) {
    printUsage(option == 'h' ? stdout : stderr);
    return option == 'h' ? -1 : 2;
}

// After the options: the clients take no other arguments.
inline int noArguments(const char* program, int argc, char** argv) {
    if (optind >= argc) return 0;
    fprintf(stderr, "%s: unexpected argument '%s'\n", program, argv[optind]);
    return 2;
}

}  // namespace COMMAND_LINE

#endif
