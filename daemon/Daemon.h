#ifndef VELLORT_DAEMON_DAEMON_H
#define VELLORT_DAEMON_DAEMON_H

#include <string>
#include <vector>

#include "journal/Journal.h"
#include "ledger/Storage.h"

class ConfigFileParser;
class LogFile;
class MessageServer;
namespace EVENTS {
class Publisher;
}

// The daemon's start-up. The constructor reads the configuration and opens the
// log while still attached to the terminal, detaches, writes the pid file, the
// banner and the settings, creates the announcement pipe, checks and describes
// the storages, and then blocks for the life of the process. Errors before the
// detach go to standard error, later ones to the log; the exit statuses are
// listed in the operator manual (docs/manual.md).
//
// Runs on the main thread. The log and the parser are never deleted: every
// object made at start-up lives until the process is killed.
class Daemon {
public:
    static const char* const version;

    // foreground (`vellort --foreground`, for service managers): everything
    // as detached, but without the fork and the new session, and with
    // standard output and error kept as they are.
    explicit Daemon(bool foreground = false);

    Daemon(const Daemon&) = delete;
    Daemon& operator=(const Daemon&) = delete;

    // The daemon's fixed paths; VELLORT_ROOT, when set, goes in front of each.
    static std::string configPath();
    static std::string secondConfigPath();
    static std::string pidFilePath();
    static std::string pipePath();

    // The settings of every storage that the start-up creates, in order of
    // creation: INTERNAL, EXTERNAL if configured, then the OPTIONAL blocks in
    // file order. Blocks of any other type get none. Each storage's
    // alternativeSourceDirs holds the targets of the storages before it. The
    // configuration must have passed the storage checks (one INTERNAL block,
    // at most one EXTERNAL block).
    static std::vector<Storage::Params> storageParams(const ConfigFileParser& config, MessageServer* messageServer);

private:
    void init();
    // Ends the start-up, before the fork, when a configured path is relative.
    void _checkAbsolutePaths();
    void _detach(bool foreground);
    void _logBannerAndSettings();
    void _createPipe();
    void _checkStorages();
    // Logs every block's description and creates the OPTIONAL storages on
    // the way, from params[next] on.
    void _describeStorages(const std::vector<Storage::Params>& params, size_t next, std::vector<Storage*>& storages);
    // With a journal configured: the journal, opened and writing, with every
    // storage's params set to book in it, and what it held; else null.
    Journal* _openJournal(std::vector<Storage::Params>& params, MessageServer* messageServer,
                          Journal::Contents& recovered, EVENTS::Publisher* events);
    // With a broker configured: the events' publisher, not yet started; else
    // null, as also when its password file is refused (logged).
    EVENTS::Publisher* _makePublisher();
    // Gives every storage its health, and the INTERNAL one the EXTERNAL's.
    void _attachHealth(std::vector<Storage::Params>& params, MessageServer* messageServer);

    LogFile* logFile;
    ConfigFileParser* configParser;
};

#endif
