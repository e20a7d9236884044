#ifndef VELLORT_TESTS_SUPPORT_CHILDPROCESS_H
#define VELLORT_TESTS_SUPPORT_CHILDPROCESS_H

#include <sys/types.h>

#include <map>
#include <string>
#include <vector>

#include "support/LogWatch.h"
#include "support/TempDir.h"

// Runs a program (a built client, a script) as a child of the test in its own process group, its standard output and
// error going to files, so that a test can wait for what it printed while it runs. Every wait has a deadline; the
// destructor ends a child that still runs.
class ChildProcess {
public:
    // Starts `arguments` (the first is the program's absolute path) with
    // `environment` added to the test's own; output goes to outputDir/<name>.out and .err.
    ChildProcess(const std::vector<std::string>& arguments, const std::string& outputDir, const std::string& name,
                 const std::map<std::string, std::string>& environment = {});
    ~ChildProcess() { kill(); }

    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    std::string output() const { return readFile(outputPath); }
    std::string errorOutput() const { return readFile(errorPath); }
    // Waits until the (error) output holds `text` at least `count` times; false after `seconds`.
    bool waitForOutput(const std::string& text, int count = 1, double seconds = 20) const {
        return waitForLogCount(outputPath, text, count, seconds);
    }
    bool waitForErrorOutput(const std::string& text, int count = 1, double seconds = 20) const {
        return waitForLogCount(errorPath, text, count, seconds);
    }
    // Exit status; -1 when it still runs after `seconds`, -2 when a signal ended it.
    int waitForExit(double seconds = 20);
    // SIGTERM to the group, so that a script cleans up; SIGKILL after 10 s.
    void kill();

private:
    pid_t pid;
    std::string outputPath;
    std::string errorPath;
};

// Runs a program to its end and returns its exit status (-1 when it ran longer
// than `seconds` and was killed); what it wrote goes to *output / *errorOutput.
int runProgram(const std::vector<std::string>& arguments, std::string* output, std::string* errorOutput,
               double seconds = 60);
// What a program run as above wrote to standard output.
inline std::string outputOf(const std::vector<std::string>& arguments, double seconds = 60) {
    std::string output;
    runProgram(arguments, &output, nullptr, seconds);
    return output;
}

#endif
