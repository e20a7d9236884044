#include "support/ChildProcess.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

ChildProcess::ChildProcess(const std::vector<std::string>& arguments, const std::string& outputDir,
                           const std::string& name, const std::map<std::string, std::string>& environment)
    : pid(-1), outputPath(outputDir + "/" + name + ".out"), errorPath(outputDir + "/" + name + ".err") {
    // All is made before the fork: the test may run threads, and between fork
    // and exec only async-signal-safe calls are allowed (no setenv, no malloc).
    std::vector<std::string> variables;
    for (char** variable = environ; *variable != nullptr; ++variable) {
        std::string entry = *variable;
        if (environment.count(entry.substr(0, entry.find('='))) == 0) variables.push_back(entry);
    }
    for (const auto& variable : environment) variables.push_back(variable.first + "=" + variable.second);
    std::vector<char*> envp, argv;
    for (std::string& variable : variables) envp.push_back(&variable[0]);
    for (const std::string& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
    envp.push_back(nullptr);
    argv.push_back(nullptr);

    pid = fork();
    if (pid >= 0) setpgid(pid, pid);  // in both, so that kill() never misses the group
    if (pid != 0) return;
    int in = open("/dev/null", O_RDONLY);
    int out = open(outputPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    int err = open(errorPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (in < 0 || out < 0 || err < 0 || dup2(in, 0) < 0 || dup2(out, 1) < 0 || dup2(err, 2) < 0) _exit(126);
    execve(argv[0], argv.data(), envp.data());
    _exit(127);
}

int ChildProcess::waitForExit(double seconds) {
    int status = 0;
    if (pid <= 0 || !waitUntil([&] { return waitpid(pid, &status, WNOHANG) == pid; }, seconds, 10)) return -1;
    pid = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -2;
}

void ChildProcess::kill() {
    if (pid <= 0) return;
    ::kill(-pid, SIGTERM);
    if (waitForExit(10) != -1) return;
    ::kill(-pid, SIGKILL);
    waitpid(pid, nullptr, 0);
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
