#ifndef VELLORT_TESTS_SUPPORT_CHILDPROCESS_H
#define VELLORT_TESTS_SUPPORT_CHILDPROCESS_H

#include <sys/types.h>

#include <map>
#include <string>
#include <vector>

// Runs a program (a built client, a script) as a child of the test, its
// standard output and error going to files, so that a test can wait for what
// it printed while it runs. Every wait has a deadline.
//
// The destructor ends a child that still runs, and its process group: SIGTERM,
// then SIGKILL after 10 s.
class ChildProcess {
public:
    // Starts `arguments` (the first is the absolute path of the program) with `environment`
    // added to the test's own; output goes to outputDir/<name>.out and .err.
    ChildProcess(const std::vector<std::string>& arguments, const std::string& outputDir, const std::string& name,
                 const std::map<std::string, std::string>& environment = {});
    ~ChildProcess();

    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    bool started() const { return pid > 0; }
    std::string output() const;
    std::string errorOutput() const;
    // Waits until the output (or the error output) holds `text` at least `count`
    // times; false after `seconds`.
    bool waitForOutput(const std::string& text, int count = 1, double seconds = 20) const;
    bool waitForErrorOutput(const std::string& text, int count = 1, double seconds = 20) const;
    // Exit status; -1 when it still runs after `seconds`, -2 when a signal ended it.
    int waitForExit(double seconds = 20);
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

#endif
