#include "support/ChildProcess.h"

#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "support/LogWatch.h"
#include "support/TempDir.h"

namespace {

double secondsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

}  // namespace

ChildProcess::ChildProcess(const std::vector<std::string>& arguments, const std::string& outputDir,
                           const std::string& name, const std::map<std::string, std::string>& environment)
    : pid(-1), outputPath(outputDir + "/" + name + ".out"), errorPath(outputDir + "/" + name + ".err") {
    // Everything the child needs is made before the fork: a test may run
    // threads (a stub server), and between fork and exec only async-signal-safe
    // calls are allowed, which rules out setenv and anything that allocates.
    std::vector<std::string> variables;
    for (char** variable = environ; *variable != nullptr; ++variable) {
        std::string entry = *variable;
        if (environment.count(entry.substr(0, entry.find('='))) == 0) variables.push_back(entry);
    }
    for (const auto& variable : environment) variables.push_back(variable.first + "=" + variable.second);
    std::vector<char*> envp;
    for (std::string& variable : variables) envp.push_back(&variable[0]);
    envp.push_back(nullptr);
    std::vector<char*> argv;
    for (const std::string& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);

    pid = fork();
    if (pid != 0) return;
    // Its own process group, so that kill() also ends what a script started.
    setpgid(0, 0);
    int out = open(outputPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    int err = open(errorPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    int in = open("/dev/null", O_RDONLY);
    if (out < 0 || err < 0 || in < 0) _exit(126);
    dup2(in, 0);
    dup2(out, 1);
    dup2(err, 2);
    execve(argv[0], argv.data(), envp.data());
    _exit(127);
}

ChildProcess::~ChildProcess() {
    kill();
}

std::string ChildProcess::output() const {
    return readFile(outputPath);
}

std::string ChildProcess::errorOutput() const {
    return readFile(errorPath);
}

bool ChildProcess::waitForOutput(const std::string& text, int count, double seconds) const {
    return waitForLogCount(outputPath, text, count, seconds);
}

bool ChildProcess::waitForErrorOutput(const std::string& text, int count, double seconds) const {
    return waitForLogCount(errorPath, text, count, seconds);
}

int ChildProcess::waitForExit(double seconds) {
    if (pid <= 0) return -1;
    auto start = std::chrono::steady_clock::now();
    do {
        int status;
        if (waitpid(pid, &status, WNOHANG) == pid) {
            pid = -1;
            return WIFEXITED(status) ? WEXITSTATUS(status) : -2;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    } while (secondsSince(start) < seconds);
    return -1;
}

void ChildProcess::kill() {
    if (pid <= 0) return;
    // SIGTERM first: a script then runs its clean-up (stopping a daemon it
    // started, unmounting); whatever is left after that is killed.
    ::kill(-pid, SIGTERM);
    if (waitForExit(10) != -1) return;
    ::kill(-pid, SIGKILL);
    int status;
    waitpid(pid, &status, 0);
    pid = -1;
}

int runProgram(const std::vector<std::string>& arguments, std::string* output, std::string* errorOutput,
               double seconds) {
    TempDir scratch;
    ChildProcess child(arguments, scratch.path(), "run");
    int status = child.waitForExit(seconds);
    if (output != nullptr) *output = child.output();
    if (errorOutput != nullptr) *errorOutput = child.errorOutput();
    return status;
}
