#ifndef VELLORT_DAEMON_CONFIGFILEPARSER_H
#define VELLORT_DAEMON_CONFIGFILEPARSER_H

#include <iosfwd>
#include <list>
#include <optional>
#include <string>
#include <vector>

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
// Used by the start-up on the main thread only.
class ConfigFileParser {
public:
    struct StorageData {
        std::string storageID;
        // None for a first storage block that names no valid type: not a storage.
        std::optional<StorageType> type;
        std::string target;
        int n_copy_processes = 1;
        std::string mountpoint;
        // A directory that must be a mounted file system for copies to this
        // storage (the mount point of its disk); empty: not checked.
        std::string target_mount;
    };

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

    static const char* defaultLogfile;
    // Bounds of the settings; a value beyond one is replaced, with a warning.
    static constexpr int maxLogfileNumber = 1000;
    static constexpr int minLogfileSize = 65536;
    static constexpr int maxCopyProcesses = 64;
    static constexpr int maxFullWarningSeconds = 86400;
    static constexpr int defaultCopyBufferSize = 8192;
    static constexpr int minCopyBufferSize = 4096;
    static constexpr int maxCopyBufferSize = 64 << 20;

    std::string logfile;
    int logfile_max_number;
    int logfile_max_size;
    int history_max_entries;
    int fillstate_limit;
    std::string ramdisk_mountpoint;
    int message_port;
    int status_port;
    // Longest pause in seconds between two tries of a failed copy; 0: a
    // failed copy is not tried again.
    int copy_retry_max_delay;
    // Bytes a copy reads and writes at a time.
    int copy_buffer_size;
    // Caps of one copy job, in files and in bytes of its sources; 0: none,
    // a job takes every file that waits.
    int copy_job_max_files;
    int copy_job_max_bytes;
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
    int mqtt_queue_limit = 100000;
    // Port of the HTTP service of the metrics; 0: none.
    int metrics_port;
    // Seconds: a warning once the RAM disk would be full within them at the
    // rate it fills now; 0: no warning.
    int full_warning_seconds;
    // Seconds a copy worker may spend on one copy before the daemon counts as
    // hung and stops its systemd watchdog pings.
    int watchdog_copy_timeout;
    std::list<StorageData> storages;
    bool create_links;
    // yes: every copy is hashed while made, read back and compared before it
    // counts, and listed in a manifest per shift on its target; else off.
    bool verify_copies;
    bool preserve_uid;
    bool preserve_gid;

    std::vector<std::string> warnings;

private:
    void _readGlobals(const std::string& text);
    void _readEvents(const std::string& text);
    void _readStorages(const std::string& text);
    // A storageID given to an earlier storage gets "#<place among the storages>" added, with a warning.
    void _nameRepeatedStorages();
    // A number that runs into other characters than `units` gives `fallback`, with a warning.
    int _readInt(const std::string& text, const std::string& key, int fallback, const std::string& units = "");
    // Whether the number of `key` runs into other characters than one of
    // `units`; if so, a warning naming `name` says that `fallback` is used.
    bool _hasTail(const std::string& name, const std::string& text, const std::string& key, int fallback,
                  const std::string& units = "");
    bool _readFlag(const std::string& text, const std::string& key);
    // `value` when it lies within low..high, else belowLow or aboveHigh, with
    // a warning naming `name`.
    int _bound(const std::string& name, int value, int low, int belowLow, int high, int aboveHigh);

    std::string rootPrefix;
};

#endif
