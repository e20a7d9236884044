#ifndef VELLORT_DAEMON_DAEMON_H
#define VELLORT_DAEMON_DAEMON_H

#include <string>

class ConfigFileParser;
class LogFile;

// The daemon's start-up. The constructor reads the configuration and opens the
// log while still attached to the terminal, detaches, writes the pid file, the
// banner and the settings, creates the announcement pipe, checks and describes
// the storages, and then blocks for the life of the process. Errors before the
// detach go to standard error, later ones to the log; the exit statuses are
// listed in the README.
//
// Runs on the main thread. The log and the parser are never deleted: every
// object made at start-up lives until the process is killed.
class Daemon {
public:
    static const char* const version;

    Daemon();

    Daemon(const Daemon&) = delete;
    Daemon& operator=(const Daemon&) = delete;

    // The daemon's fixed paths; VELLORT_ROOT, when set, goes in front of each.
    static std::string configPath();
    static std::string secondConfigPath();
    static std::string pidFilePath();
    static std::string pipePath();

private:
    void init();
    void _detach();
    void _logBannerAndSettings();
    void _createPipe();
    void _checkStorages();
    void _describeStorages();

    LogFile* logFile;
    ConfigFileParser* configParser;
};

#endif
