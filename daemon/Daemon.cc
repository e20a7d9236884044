#include "daemon/Daemon.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <iostream>
#include <string>
#include <utility>

#include "daemon/ConfigFileParser.h"
#include "daemon/PidFile.h"
#include "daemon/StopThread.h"
#include "events/EventText.h"
#include "events/Publisher.h"
#include "health/StorageHealth.h"
#include "health/StorageWatchThread.h"
#include "intake/ListThread.h"
#include "net/MessageServer.h"
#include "net/StatusServer.h"
#include "systemd/ServiceNotifier.h"
#include "ledger/Cascade.h"
#include "ledger/Storage.h"
#include "log/LogFile.h"
#include "log/LogTimerThread.h"
#include "metrics/MetricsServer.h"
#include "util/Descriptors.h"
#include "util/Paths.h"
#include "util/Time.h"
#include "util/UniqueFd.h"

namespace {

// Exit statuses of the start-up. Only the low eight bits of a status reach a
// waiting shell, so every status fits in them.
const int exitStorageConfig = 1;
const int exitPidFile = 1;
const int exitAlreadyRunning = 64;
const int exitNoConfig = 2;
const int exitNoLog = 4;
const int exitFork = 8;
const int exitSetsid = 16;
const int exitChdir = 32;
// A relative path would be taken from the start directory before the fork and
// from "/" after it: nothing the start-up checked would be what the daemon uses.
const int exitRelativePath = 1;

// The pid file this start made, while it may still end before detaching.
std::string pidFileMadeHere;

void removePidFileMadeHere() {
    if (!pidFileMadeHere.empty()) unlink(pidFileMadeHere.c_str());  // failure leaves an empty file: harmless
}

// Under the limit of open descriptors, what the copies, the journal and the log may need
// comes first; the services' clients get only the rest.
void keepDescriptorsForWork(const ConfigFileParser& config, LogFile& log) {
    long before = 0, after = 0;
    const int error = UTILITIES::raiseDescriptorLimit(&before, &after);
    if (error != 0)
        log << "Warning: Cannot raise the limit of open descriptors (RLIMIT_NOFILE) to its hard limit: "
            << LogManip(&LogFile::errmsg, error) << endl;
    else if (after != before)
        log << "++ Raised the limit of open descriptors (RLIMIT_NOFILE) from " << before << " to its hard limit "
            << after << endl;
    int copyWorkers = 0;
    for (const ConfigFileParser::StorageData& storage : config.storages) copyWorkers += storage.n_copy_processes;
    const int metricsClients = config.metrics_port > 0 ? MetricsServer::maxWaitingClients + 2 : 0;
    UTILITIES::keepDescriptorReserve(
        UTILITIES::descriptorsForWork(copyWorkers, static_cast<int>(config.storages.size()), metricsClients));
}

}  // namespace

const char* const Daemon::version = "3.7.1";

std::string Daemon::configPath() {
    return UTILITIES::rootedPath("/etc/vellort_quorvin.conf");
}

std::string Daemon::secondConfigPath() {
    return UTILITIES::rootedPath("/etc/vellort_quorvin/vellort_quorvin.conf");
}

std::string Daemon::pidFilePath() {
    return UTILITIES::rootedPath("/var/run/vellort_quorvin.pid");
}

std::string Daemon::pipePath() {
    return UTILITIES::rootedPath("/var/run/vellort_quorvin_files");
}

Daemon::Daemon(bool foreground) : logFile(new LogFile()), configParser(nullptr) {
    const char* root = getenv("VELLORT_ROOT");
    if (root != nullptr && root[0] != '\0' && root[0] != '/') {
        std::cerr << "Error: VELLORT_ROOT " << root << " is not an absolute path" << std::endl;
        exit(exitRelativePath);
    }
    // First of all, before any file is read or written: a second daemon
    // beside a running one would split the announcements and the shifts with
    // it. The pid file is opened and locked while the terminal still hears
    // about a problem (a link, a pipe, another file's second name: an operator
    // kills whatever process it names), and written after the fork.
    std::string why;
    bool held = false, created = false;
    // Held for the daemon's life: this constructor returns only as the process ends.
    const UniqueFd pidFile = UTILITIES::openPidFile(pidFilePath(), why, held, created);
    if (!pidFile && held) {
        std::cerr << "Error: Not starting: " << why << ", holding " << pidFilePath() << std::endl;
        exit(exitAlreadyRunning);
    }
    if (!pidFile) {
        std::cerr << "Error: Cannot write the pid file " << pidFilePath() << ": " << why << std::endl;
        exit(exitPidFile);
    }
    // A start that ends before it detaches leaves no pid file it made.
    if (created) {
        pidFileMadeHere = pidFilePath();
        atexit(removePidFileMadeHere);
    }
    init();
    pidFileMadeHere.clear();  // from here on it is the daemon's, and the parent's exit must not take it
    _detach(foreground);
    // Before any other thread starts, so that every thread inherits the
    // blocked signals and only the stop thread takes them.
    StopThread::blockStopSignals();
    StopThread* stopThread = new StopThread(configParser->logfile);  // lives for the process
    // A stop thread that cannot start is ignored on purpose: the daemon runs
    // on; SIGTERM then stays pending and only kill -9 ends it.
    stopThread->start();

    int pidResult = UTILITIES::setPidFile(pidFile.get());
    if (pidResult != 0) _exit(pidResult);

    _logBannerAndSettings();
    LogTimerThread* logTimer =  // lives for the process
        new LogTimerThread(configParser->logfile, configParser->logfile_max_size, configParser->logfile_max_number);
    // A log timer that cannot start is ignored on purpose: the copy
    // schedulers still rotate the log, and the counts of left-out texts come
    // with the next write.
    logTimer->start();
    _createPipe();

    // Before any service takes a client.
    keepDescriptorsForWork(*configParser, *logFile);

    // The storages send their warnings and errors through the message server
    // and keep a pointer to it, so it lives for the whole process. When it
    // cannot start (it logs why), they get none and send nothing.
    MessageServer* messageServer = new MessageServer(configParser->logfile, configParser->message_port);
    if (messageServer->connect() != 0) {
        delete messageServer;  // no thread that may have started uses it
        messageServer = nullptr;
    }

    _checkStorages();
    // INTERNAL first, then EXTERNAL: each storage's alternative sources are the
    // targets of the storages made before it. Storages are never deleted.
    std::vector<Storage::Params> params = storageParams(*configParser, messageServer);
    // Events, with the journal as their outbox; for the life of the process.
    EVENTS::Publisher* events = _makePublisher();
    // The journal and what it held, for the life of the process.
    Journal::Contents* recovered = new Journal::Contents();
    Journal* journal = _openJournal(params, messageServer, *recovered, events);
    for (Storage::Params& storage : params) storage.events = events;
    if (messageServer != nullptr) messageServer->setEvents(events);
    stopThread->setJournal(journal);
    _attachHealth(params, messageServer);
    std::vector<Storage*> storages;
    size_t next = 0;
    while (next < params.size() && params[next].type != StorageType::OPTIONAL)
        storages.push_back(new Storage(params[next++]));
    _describeStorages(params, next, storages);
    if (events != nullptr) {
        events->setStorages(storages);
        // A publisher that cannot start is ignored on purpose: its events
        // wait in the journal (or memory) and the daemon copies on.
        events->start();
    }
    // Each storage's disk watched once a second. A watch that cannot start
    // is ignored on purpose: the copy workers still keep the state.
    for (Storage* storage : storages)
        if (storage->health() != nullptr) (new StorageWatchThread(*storage, *storage->health()))->start();

    // systemd: only when the service manager listens (Type=notify). Lives for the process.
    SYSTEMD::ServiceNotifier* notifier = nullptr;
    if (SYSTEMD::ServiceNotifier::wanted()) {
        notifier = new SYSTEMD::ServiceNotifier(storages, configParser->logfile, configParser->watchdog_copy_timeout);
        // A notifier that cannot start is ignored on purpose: READY=1 still
        // goes out; without pings a watchdog restarts the daemon, as for one
        // that hangs.
        notifier->start();
    }

    // The status server gets the complete storage vector; no storage is added
    // after this point. Without it the daemon runs on, only unobserved.
    StatusServer statusServer(configParser->logfile, configParser->status_port, storages);
    if (statusServer.connect() != 0) *logFile << "Warning: Failed starting status server" << endl;
    if (configParser->metrics_port > 0) {
        METRICS::Sources sources{storages, &statusServer, messageServer, version, events};
        // Lives for the process; when it cannot start (it logs why) the daemon runs on without it.
        MetricsServer* metricsServer = new MetricsServer(configParser->logfile, configParser->metrics_port, sources);
        if (metricsServer->connect() == 0) *logFile << "++ metrics on port " << metricsServer->localPort() << endl;
    }

    // The reader never ends: the main thread waits here for the life of the
    // process. join() returns at once only when the thread could not start,
    // and the process then ends with status 0.
    ListThread listThread(storages, configParser->logfile, pipePath(), configParser->ramdisk_mountpoint, journal,
                          recovered);
    if (notifier != nullptr) listThread.setReadyHook([notifier] { notifier->ready(); });  // systemd
    listThread.setEvents(events);
    listThread.start();
    listThread.join();
}

std::vector<Storage::Params> Daemon::storageParams(const ConfigFileParser& config, MessageServer* messageServer) {
    Storage::Params base;
    static_cast<Storage::Shared&>(base) = config;  // every setting the storages share
    base.messageServer = messageServer;

    const ConfigFileParser::StorageData* internal = nullptr;
    const ConfigFileParser::StorageData* external = nullptr;
    for (const ConfigFileParser::StorageData& block : config.storages) {
        if (block.type == StorageType::INTERNAL && internal == nullptr) internal = &block;
        if (block.type == StorageType::EXTERNAL && external == nullptr) external = &block;
    }

    std::vector<Storage::Params> result;
    auto add = [&](const ConfigFileParser::StorageData& block, StorageType type, const std::string& origin,
                   const std::string& mountpoint) {
        Storage::Params params = base;
        params.storageID = block.storageID;
        params.type = type;
        params.n_copy_processes = block.n_copy_processes;
        params.target = block.target;
        params.target_mount = block.target_mount;
        params.origin = origin;
        params.mountpoint = mountpoint;
        result.push_back(params);
    };
    // The INTERNAL storage watches the RAM disk, not the mount point of its
    // own block; the EXTERNAL storage watches that one, below the INTERNAL target.
    // Only these two targets become alternative sources: the OPTIONAL
    // storages' copies are never read again.
    if (internal != nullptr) {
        add(*internal, StorageType::INTERNAL, "", config.ramdisk_mountpoint);
        base.alternativeSourceDirs.push_back(internal->target);
    }
    if (external != nullptr) {
        if (!result.empty()) result[0].external_target = external->target;
        add(*external, StorageType::EXTERNAL, internal != nullptr ? internal->target : "",
            internal != nullptr ? internal->mountpoint : "");
        base.alternativeSourceDirs.push_back(external->target);
    }
    for (const ConfigFileParser::StorageData& block : config.storages)
        if (block.type == StorageType::OPTIONAL) add(block, StorageType::OPTIONAL, "", "");
    return result;
}

void Daemon::_attachHealth(std::vector<Storage::Params>& params, MessageServer* messageServer) {
    // The records of the disks' only copies live beside the journal, or
    // beside the log without one: both are the daemon's own folders.
    const std::string& anchor = configParser->journal.empty() ? configParser->logfile : configParser->journal;
    const size_t slash = anchor.rfind('/');
    const std::string stateDirectory = slash == std::string::npos || slash == 0 ? "/" : anchor.substr(0, slash);
    StorageHealth* external = nullptr;
    for (Storage::Params& storage : params) {
        StorageHealth::Settings settings;
        settings.storageID = storage.storageID;
        settings.target = storage.target;
        settings.targetMount = storage.target_mount;
        settings.logfile = storage.logfile;
        settings.stateDirectory = stateDirectory;
        settings.messageServer = messageServer;
        storage.health = new StorageHealth(settings);  // lives for the process
        if (storage.type == StorageType::EXTERNAL) external = storage.health;
    }
    for (Storage::Params& storage : params)
        if (roleOf(storage.type).trustsExternalCopy) storage.externalHealth = external;
}

EVENTS::Publisher* Daemon::_makePublisher() {
    const ConfigFileParser& config = *configParser;
    if (config.mqtt_broker.empty()) return nullptr;
    EVENTS::Settings settings;
    settings.hostName = EVENTS::hostName();
    settings.host = config.mqtt_host;
    settings.port = config.mqtt_port;
    settings.prefix = config.mqtt_topic_prefix.empty() ? "vellort/" + settings.hostName : config.mqtt_topic_prefix;
    settings.clientId = config.mqtt_client_id.empty() ? "vellort-" + settings.hostName : config.mqtt_client_id;
    settings.username = config.mqtt_username;
    settings.cafile = config.mqtt_cafile;
    settings.queueLimit = static_cast<size_t>(config.mqtt_queue_limit);
    std::string why;
    if (!config.mqtt_password_file.empty() &&
        !EVENTS::readPasswordFile(config.mqtt_password_file, settings.password, why)) {
        *logFile << "Error: mqtt_password_file " << config.mqtt_password_file << " " << why
                 << ": running without events" << endl;
        return nullptr;
    }
    if (!config.mqtt_cafile.empty() && access(config.mqtt_cafile.c_str(), R_OK) != 0) {
        *logFile << "Error: mqtt_cafile " << config.mqtt_cafile << ": " << LogManip(&LogFile::errmsg, errno)
                 << ": running without events" << endl;
        return nullptr;
    }
    *logFile << "++ Events: to " << config.mqtt_broker << " below " << settings.prefix << "/ as "
             << settings.clientId << endl;
    return new EVENTS::Publisher(settings, config.logfile, version);
}

Journal* Daemon::_openJournal(std::vector<Storage::Params>& params, MessageServer* messageServer,
                              Journal::Contents& recovered, EVENTS::Publisher* events) {
    if (configParser->journal.empty()) return nullptr;
    // Steps are kept by storage ID; the configuration has made them unique.
    std::vector<std::string> ids;
    for (const Storage::Params& storage : params) ids.push_back(storage.storageID);
    Journal* journal = new Journal(configParser->journal, ids, configParser->history_max_entries, configParser->logfile,
                                   messageServer);
    if (events != nullptr) journal->enableOutbox();
    const bool opened = journal->open(recovered);
    if (opened && events != nullptr) events->attachJournal(journal);  // before the writer runs
    if (!opened || journal->start() != 0) {
        if (events != nullptr) events->detachJournal();
        delete journal;  // its thread never ran
        recovered = Journal::Contents();
        return nullptr;
    }
    for (size_t i = 0; i < params.size(); ++i) {
        params[i].journal = journal;
        params[i].journal_storage = static_cast<int>(i);
    }
    return journal;
}

void Daemon::init() {
    configParser = new ConfigFileParser(UTILITIES::rootedPath(""));
    // The second file is read only when the first cannot be opened.
    if (!configParser->readConfigFile(configPath()) && !configParser->readConfigFile(secondConfigPath())) {
        std::cerr << "Error: No config file at " << configPath() << " or " << secondConfigPath() << "." << std::endl;
        exit(exitNoConfig);
    }
    _checkAbsolutePaths();
    logFile->open(configParser->logfile);
    if (logFile->openFailed()) {
        std::cerr << "Error: Cannot access " << configParser->logfile << std::endl;
        exit(exitNoLog);
    }
}

void Daemon::_checkAbsolutePaths() {
    std::vector<std::pair<std::string, std::string>> paths{{"logfile", configParser->logfile},
                                                           {"ramdisk_mountpoint", configParser->ramdisk_mountpoint}};
    for (const ConfigFileParser::StorageData& storage : configParser->storages) {
        if (!storage.type) continue;  // never a storage
        const std::string name = "Storage " + storage.storageID + ": ";
        paths.emplace_back(name + "target", storage.target);
        paths.emplace_back(name + "mountpoint", storage.mountpoint);
        paths.emplace_back(name + "target_mount", storage.target_mount);
    }
    bool relative = false;
    for (const auto& [key, path] : paths) {
        // An empty path is a missing setting, checked later.
        if (path.empty() || path[0] == '/') continue;
        std::cerr << "Error: " << key << " " << path << " is not an absolute path" << std::endl;
        relative = true;
    }
    if (relative) exit(exitRelativePath);
}

void Daemon::_detach(bool foreground) {
    if (foreground) {
        // For a service manager: it tracks this very process and sends its
        // standard output and error to its journal, so they are kept.
        umask(0);
        if (chdir("/") != 0) _exit(exitChdir);
        return;
    }
    fflush(nullptr);  // nothing buffered may be written twice, by parent and child
    pid_t child = fork();
    if (child < 0) exit(exitFork);
    if (child > 0) exit(0);

    umask(0);
    if (setsid() < 0) _exit(exitSetsid);
    if (chdir("/") != 0) _exit(exitChdir);
    // Standard input, output and error are closed to leave the terminal, and
    // reopened on /dev/null: left closed, the next descriptors the daemon opens
    // (a copy, a socket) would get the numbers 0 to 2, and any stray write to
    // standard output or error would land in them.
    for (int fd = 0; fd <= 2; ++fd) UniqueFd(fd).reset();  // taken over and closed at once
    int devNull = open("/dev/null", O_RDWR);
    // Without descriptors 1 and 2 the daemon still runs; stray writes then
    // fail instead of reaching a file.
    const bool quiet = devNull == 0 && dup(devNull) == 1 && dup(devNull) == 2;
    (void)quiet;
}

void Daemon::_logBannerAndSettings() {
    const std::string plusLine(78, '+');
    LogFile& log = *logFile;
    log << "\n\n\n\n" << plusLine << "\n\n";
    log << "++ VELLORT version " << version << " started\n";
    log << "++ on " << UTILITIES::asciiTime() << "\n";
    log << plusLine << "\n";
    log << "\n\n\n\n";
    log << "++\n";

    char cwd[256];
    if (getcwd(cwd, sizeof cwd) == nullptr) cwd[0] = '\0';
    log << "++ settings:\n"
        << "++ ---------\n"
        << "++\n";
    std::vector<const ConfigFileParser::Row*> shown;
    for (const ConfigFileParser::Row& row : ConfigFileParser::globalSettings())
        if (row.bannerLine > 0) shown.push_back(&row);
    std::sort(shown.begin(), shown.end(), [](auto* a, auto* b) { return a->bannerLine < b->bannerLine; });
    const ConfigFileParser& config = *configParser;
    for (const ConfigFileParser::Row* row : shown) {
        if (row->numberMember != nullptr)
            log << row->banner << config.*row->numberMember << "\n";
        else if (row->wordMember != nullptr && !(config.*row->wordMember).empty())
            log << row->banner << config.*row->wordMember << "\n";
        else if (row->flagMember != nullptr && config.*row->flagMember)
            log << row->banner << "\n";
    }
    log << "\n";
    log << "++ current directory: " << cwd << "\n";
    log << "++\n"
        << "++\n";
    log.flush();

    for (const std::string& warning : configParser->warnings) log << warning << endl;
}

void Daemon::_createPipe() {
    std::string path = pipePath();
    if (mkfifo(path.c_str(), 0600) != 0) {
        int savedErrno = errno;
        // A file written there before the pipe existed would be read again
        // and again, every line of it announced anew each time.
        if (savedErrno == EEXIST && ListThread::moveRegularFileAside(path, *logFile)) return;
        // The pipe a run before made, which the reader opens as it is.
        struct stat there;
        if (savedErrno == EEXIST && lstat(path.c_str(), &there) == 0 && S_ISFIFO(there.st_mode)) return;
        *logFile << "++ Error: Creating " << path << "\n"
                 << "          " << LogManip(&LogFile::errmsg, savedErrno) << endl;
    }
}

void Daemon::_checkStorages() {
    bool haveInternal = false;
    bool haveExternal = false;
    for (const ConfigFileParser::StorageData& storage : configParser->storages) {
        // Without a target the copies would go below "/" itself.
        if (storage.type && storage.target.empty()) {
            *logFile << "++ Error: Storage " << storage.storageID << " has no target" << endl;
            _exit(exitStorageConfig);
        }
        if (storage.type == StorageType::INTERNAL) {
            if (haveInternal) {
                *logFile << "++ Error: Only one internal storage is allowed" << endl;
                _exit(exitStorageConfig);
            }
            haveInternal = true;
        } else if (storage.type == StorageType::EXTERNAL) {
            if (haveExternal) {
                *logFile << "++ Error: Only one external storage is allowed" << endl;
                _exit(exitStorageConfig);
            }
            haveExternal = true;
        }
    }
    if (!haveInternal) {
        *logFile << "++ Error: Config file does not contain any interal storage" << endl;
        _exit(exitStorageConfig);
    }
}

void Daemon::_describeStorages(const std::vector<Storage::Params>& params, size_t next,
                               std::vector<Storage*>& storages) {
    const std::string indent = "++          ";
    for (const ConfigFileParser::StorageData& storage : configParser->storages) {
        LogFile& log = *logFile;
        log << "++ STORAGE: " << storage.storageID << "\n";
        if (storage.type) log << indent << "type: " << storageTypeName(*storage.type) << "\n";
        log << indent << "target " << storage.target << "\n";
        log << indent << "n_copy_processes " << storage.n_copy_processes << "\n";
        if (storage.type == StorageType::INTERNAL) log << indent << "mountpoint " << storage.mountpoint << "\n";
        log << endl;
        if (storage.type == StorageType::OPTIONAL && next < params.size())
            storages.push_back(new Storage(params[next++]));
    }
}
