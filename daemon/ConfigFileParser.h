#ifndef VELLORT_DAEMON_CONFIGFILEPARSER_H
#define VELLORT_DAEMON_CONFIGFILEPARSER_H

#include <iosfwd>
#include <list>
#include <optional>
#include <string>
#include <vector>

#include "daemon/Settings.h"
#include "ledger/Storage.h"
#include "ledger/StorageType.h"

// Reads the daemon's configuration file: "key value" lines, "#" comments,
// storage blocks opened by a storageID line. Global keys are found anywhere in
// the file, the first occurrence winning; block keys only inside their block.
//
// The parser never fails on content: a missing or unusable setting takes its
// default. Where the file says something the daemon cannot use as written, the
// parser records a "Warning: " line in `warnings`, which the start-up writes to
// the log once the log is open.
//
// The settings every storage takes are kept in the Storage::Shared part, as
// the storages take them; the rows of daemon/Settings.cc say how each
// setting is read.
//
// Used by the start-up on the main thread only.
class ConfigFileParser : public Storage::Shared {
public:
    struct StorageData {
        std::string storageID;
        // None for a first storage block that names no valid type: not a storage.
        std::optional<StorageType> type;
        std::string target;
        int n_copy_processes = SETTINGS::defaultNumber("n_copy_processes");
        std::string mountpoint;
        // A directory that must be a mounted file system for copies to this
        // storage (the mount point of its disk); empty: not checked.
        std::string target_mount;
    };

    using Row = SETTINGS::Setting<ConfigFileParser>;
    using StorageRow = SETTINGS::Setting<StorageData>;
    // The settings the file may hold, one row a key (daemon/Settings.cc):
    // the global ones in the order they are read, and those of a storage block.
    static const std::vector<Row>& globalSettings();
    static const std::vector<StorageRow>& storageSettings();

    // rootPrefix goes in front of the default log path, so that a daemon run
    // under VELLORT_ROOT does not write to the real /var/log unless told to.
    explicit ConfigFileParser(const std::string& rootPrefix = "");

    ConfigFileParser(const ConfigFileParser&) = delete;
    ConfigFileParser& operator=(const ConfigFileParser&) = delete;

    // False only when the file cannot be opened; then nothing is changed.
    bool readConfigFile(const std::string& path);
    // The same for text already open: what readConfigFile does once the file
    // is open. `name` stands for the file in warnings.
    void readConfigStream(std::istream& in, const std::string& name);

    // The settings the start-up alone uses; see the rows for what they mean.
    int message_port;
    int status_port;
    // Path of the journal file; empty: no journal, everything kept in memory.
    std::string journal;
    // Events to an MQTT broker: "host:port", empty: none. The rest only
    // with a broker; the prefix and client id default to names with the
    // host's name in them, the queue limit holds without a journal only.
    std::string mqtt_broker;
    std::string mqtt_host;
    int mqtt_port = 0;
    std::string mqtt_topic_prefix;
    std::string mqtt_client_id;
    std::string mqtt_username;
    std::string mqtt_password_file;
    std::string mqtt_cafile;
    int mqtt_queue_limit = SETTINGS::defaultNumber("mqtt_queue_limit");
    // Port of the HTTP service of the metrics; 0: none.
    int metrics_port;
    // Seconds a copy worker may spend on one copy before the daemon counts as
    // hung and stops its systemd watchdog pings.
    int watchdog_copy_timeout;
    std::list<StorageData> storages;

    std::vector<std::string> warnings;

private:
    void _readGlobals(const std::string& text);
    // mqtt_broker, and with a usable one the rows for events.
    void _readEvents(const std::string& text, const Row& broker);
    void _readStorages(const std::string& text);
    // A storageID given to an earlier storage gets "#<place among the storages>" added, with a warning.
    void _nameRepeatedStorages();
    // The row's number, size or percent, bounded. Missing, or running into
    // other characters, it is `fallback`; warnings name it `name`.
    int _readNumber(const std::string& text, const SETTINGS::Rule& row, const std::string& name, int fallback);
    // The row's word, or its default when the key has none.
    std::string _readWord(const std::string& text, const SETTINGS::Rule& row) const;
    bool _readFlag(const std::string& text, const SETTINGS::Rule& row);
    // Whether a PATH is empty or absolute; a relative one is warned about.
    bool _isAbsolute(const SETTINGS::Rule& row, const std::string& path);
    // Whether the number of `key` runs into other characters than one of
    // `units`; if so, a warning naming `name` says that `fallback` is used.
    bool _hasTail(const std::string& name, const std::string& text, const std::string& key, int fallback,
                  const std::string& units);
    // `value` when it lies within the row's bounds, else what the row makes
    // of it, with a warning naming `name`.
    int _bound(const std::string& name, int value, const SETTINGS::Rule& row);

    std::string rootPrefix;
};

#endif
