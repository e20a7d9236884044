#include "daemon/ConfigFileParser.h"

#include <limits.h>
#include <stdlib.h>

#include <algorithm>
#include <fstream>

#include "util/ConfigVars.h"

namespace {

// Lines of this length or more end the reading: the file is taken as cut off
// there, and the lines before it are used.
const std::string::size_type maxLineLength = 1023;

const char* const leadingBlanks = " \t\r\v\f";

// The units a size may carry right after its digits.
const char* const sizeUnits = "KMG";

}  // namespace

const char* ConfigFileParser::defaultLogfile = "/var/log/vellort_quorvin.log";

ConfigFileParser::ConfigFileParser(const std::string& rootPrefix)
    : logfile_max_number(0),
      logfile_max_size(0),
      history_max_entries(0),
      fillstate_limit(0),
      message_port(0),
      status_port(0),
      copy_retry_max_delay(0),
      copy_buffer_size(defaultCopyBufferSize),
      copy_job_max_files(0),
      copy_job_max_bytes(0),
      metrics_port(0),
      full_warning_seconds(0),
      watchdog_copy_timeout(0),
      create_links(true),
      verify_copies(false),
      preserve_uid(true),
      preserve_gid(true),
      rootPrefix(rootPrefix) {}

bool ConfigFileParser::readConfigFile(const std::string& path) {
    std::ifstream file(path);
    if (!file.is_open()) return false;
    readConfigStream(file, path);
    return true;
}

void ConfigFileParser::readConfigStream(std::istream& in, const std::string& name) {
    std::string text;
    std::string line;
    int lineNumber = 0;
    while (std::getline(in, line)) {
        ++lineNumber;
        if (line.size() > maxLineLength) {
            warnings.push_back("Warning: " + name + " line " + std::to_string(lineNumber) + " is longer than " +
                               std::to_string(maxLineLength) + " characters; it and every later line are ignored");
            break;
        }
        std::string::size_type start = line.find_first_not_of(leadingBlanks);
        if (start == std::string::npos || line[start] == '#') continue;
        text += "\n";
        text.append(line, start, std::string::npos);
        text += " ";
    }

    _readGlobals(text);
    _readStorages(text);
    _nameRepeatedStorages();
}

void ConfigFileParser::_readEvents(const std::string& text) {
    std::string word;
    mqtt_broker = UTILITIES::readVar(text, "mqtt_broker", word) ? word : "";
    if (mqtt_broker.empty()) return;
    // host:port, the host a name or an address; [address]:port for IPv6.
    const size_t colon = mqtt_broker.rfind(':');
    const std::string port = colon == std::string::npos ? "" : mqtt_broker.substr(colon + 1);
    std::string host = colon == std::string::npos ? "" : mqtt_broker.substr(0, colon);
    if (host.size() > 2 && host.front() == '[' && host.back() == ']') host = host.substr(1, host.size() - 2);
    char* end = nullptr;
    const long number = port.empty() ? 0 : strtol(port.c_str(), &end, 10);
    if (host.empty() || port.empty() || *end != '\0' || number < 1 || number > 65535) {
        warnings.push_back("Warning: mqtt_broker " + mqtt_broker + " is not host:port, running without events");
        mqtt_broker.clear();
        return;
    }
    mqtt_host = host;
    mqtt_port = static_cast<int>(number);
    word.clear();
    mqtt_topic_prefix = UTILITIES::readVar(text, "mqtt_topic_prefix", word) ? word : "";
    // A prefix holds no wildcard, and no empty level at either end.
    if (!mqtt_topic_prefix.empty() &&
        (mqtt_topic_prefix.find_first_of("+#") != std::string::npos || mqtt_topic_prefix.front() == '/' ||
         mqtt_topic_prefix.back() == '/')) {
        warnings.push_back("Warning: mqtt_topic_prefix " + mqtt_topic_prefix +
                           " holds a wildcard or starts or ends with /, using vellort/<host name>");
        mqtt_topic_prefix.clear();
    }
    word.clear();
    mqtt_client_id = UTILITIES::readVar(text, "mqtt_client_id", word) ? word : "";
    word.clear();
    mqtt_username = UTILITIES::readVar(text, "mqtt_username", word) ? word : "";
    word.clear();
    mqtt_password_file = UTILITIES::readVar(text, "mqtt_password_file", word) ? word : "";
    word.clear();
    mqtt_cafile = UTILITIES::readVar(text, "mqtt_cafile", word) ? word : "";
    for (std::string* path : {&mqtt_password_file, &mqtt_cafile}) {
        if (path->empty() || (*path)[0] == '/') continue;
        const char* key = path == &mqtt_cafile ? "mqtt_cafile " : "mqtt_password_file ";
        warnings.push_back("Warning: " + std::string(key) + *path + " is not an absolute path, running without events");
        mqtt_broker.clear();
        return;
    }
    mqtt_queue_limit =
        _bound("mqtt_queue_limit", _readInt(text, "mqtt_queue_limit", 100000), 100, 100, 10000000, 10000000);
}

int ConfigFileParser::_readInt(const std::string& text, const std::string& key, int fallback,
                               const std::string& units) {
    int value = fallback;
    if (UTILITIES::readVar(text, key, value)) return _hasTail(key, text, key, fallback, units) ? fallback : value;
    if (UTILITIES::findVarValue(text, key) != std::string::npos)
        warnings.push_back("Warning: " + key + " is not a number, using " + std::to_string(fallback));
    return fallback;
}

bool ConfigFileParser::_readFlag(const std::string& text, const std::string& key) {
    std::string word;
    if (!UTILITIES::readVar(text, key, word)) return true;
    if (word == "no" || word == "NO") return false;
    if (word != "yes" && word != "YES")
        warnings.push_back("Warning: " + key + " " + word + " is taken as yes; only no or NO turn it off");
    return true;
}

bool ConfigFileParser::_hasTail(const std::string& name, const std::string& text, const std::string& key, int fallback,
                                const std::string& units) {
    // "1e6" would be read as 1, "10k" as 10 bytes: a number cut short is no
    // number the operator meant, so it counts as out of bounds.
    if (!UTILITIES::numberHasTail(text, key, units)) return false;
    std::string written;
    UTILITIES::readVar(text, key, written);
    warnings.push_back("Warning: " + name + " " + written + " has characters after the number, using " +
                       std::to_string(fallback));
    return true;
}

int ConfigFileParser::_bound(const std::string& name, int value, int low, int belowLow, int high, int aboveHigh) {
    if (value < low) {
        warnings.push_back("Warning: " + name + " " + std::to_string(value) + " is below " + std::to_string(low) +
                           ", using " + std::to_string(belowLow));
        return belowLow;
    }
    if (value > high) {
        warnings.push_back("Warning: " + name + " " + std::to_string(value) + " is above " + std::to_string(high) +
                           ", using " + std::to_string(aboveHigh));
        return aboveHigh;
    }
    return value;
}

void ConfigFileParser::_readGlobals(const std::string& text) {
    std::string word;
    logfile = UTILITIES::readVar(text, "logfile", word) ? word : rootPrefix + defaultLogfile;
    // Each rotation renames every backup number under the log mutex, which
    // every thread that logs waits for.
    logfile_max_number = _bound("logfile_max_number", _readInt(text, "logfile_max_number", 10), 0, 0, maxLogfileNumber,
                                maxLogfileNumber);

    const int defaultMaxSize = 10485760;
    int size = defaultMaxSize;
    bool clamped = false;
    const bool sizeRead = UTILITIES::parseSizeVar(text, "logfile_max_size", size, &clamped);
    if (sizeRead && !_hasTail("logfile_max_size", text, "logfile_max_size", defaultMaxSize, sizeUnits)) {
        if (clamped && size > 0)
            warnings.push_back("Warning: logfile_max_size does not fit 32 bits, using " + std::to_string(size));
        // 0 would rotate at every pass and a negative size never; a tiny
        // size rotates the last lines away before anyone reads them.
        logfile_max_size = size < 1
                               ? _bound("logfile_max_size", size, 1, defaultMaxSize, INT_MAX, INT_MAX)
                               : _bound("logfile_max_size", size, minLogfileSize, minLogfileSize, INT_MAX, INT_MAX);
    } else {
        logfile_max_size = defaultMaxSize;
        if (!sizeRead && UTILITIES::findVarValue(text, "logfile_max_size") != std::string::npos)
            warnings.push_back("Warning: logfile_max_size has no number, using " + std::to_string(defaultMaxSize));
    }

    history_max_entries =
        _bound("history_max_entries", _readInt(text, "history_max_entries", 5), 1, 1, INT_MAX, INT_MAX);
    // 0 would empty the RAM disk at once, above 100 the watch never acts.
    fillstate_limit = _bound("fillstate_limit", _readInt(text, "fillstate_limit", 80, "%"), 1, 80, 100, 80);
    word.clear();
    ramdisk_mountpoint = UTILITIES::readVar(text, "ramdisk_mountpoint", word) ? word : "/ramdisk";
    // A number beyond 16 bits would be cut to another port.
    message_port = _bound("message_port", _readInt(text, "message_port", 47198), 1, 47198, 65535, 47198);
    status_port = _bound("status_port", _readInt(text, "status_port", 47199), 1, 47199, 65535, 47199);
    // 0 (or missing): no metrics served.
    metrics_port = _bound("metrics_port", _readInt(text, "metrics_port", 0), 0, 0, 65535, 0);
    full_warning_seconds =
        _bound("full_warning_seconds", _readInt(text, "full_warning_seconds", 0), 0, 0, maxFullWarningSeconds, 0);
    watchdog_copy_timeout =
        _bound("watchdog_copy_timeout", _readInt(text, "watchdog_copy_timeout", 300), 1, 300, INT_MAX, INT_MAX);
    copy_retry_max_delay = _readInt(text, "copy_retry_max_delay", 0);
    if (copy_retry_max_delay < 0) {
        warnings.push_back("Warning: copy_retry_max_delay " + std::to_string(copy_retry_max_delay) +
                           " is below 0, using 0 (no retries)");
        copy_retry_max_delay = 0;
    }
    // Each copy worker holds one buffer; a large one saves system calls on
    // large files, beyond a few MiB it only costs memory.
    int buffer = defaultCopyBufferSize;
    const bool bufferRead = UTILITIES::parseSizeVar(text, "copy_buffer_size", buffer);
    if (bufferRead && _hasTail("copy_buffer_size", text, "copy_buffer_size", defaultCopyBufferSize, sizeUnits))
        copy_buffer_size = defaultCopyBufferSize;
    else if (bufferRead)
        copy_buffer_size = _bound("copy_buffer_size", buffer, minCopyBufferSize, defaultCopyBufferSize,
                                  maxCopyBufferSize, maxCopyBufferSize);
    else if (UTILITIES::findVarValue(text, "copy_buffer_size") != std::string::npos)
        warnings.push_back("Warning: copy_buffer_size has no number, using " + std::to_string(defaultCopyBufferSize));
    // Capped jobs deal the waiting files over the free workers; a cap below 0
    // means none, as 0 does.
    copy_job_max_files = _bound("copy_job_max_files", _readInt(text, "copy_job_max_files", 0), 0, 0, INT_MAX, INT_MAX);
    int jobBytes = 0;
    const bool jobBytesRead = UTILITIES::parseSizeVar(text, "copy_job_max_bytes", jobBytes);
    if (jobBytesRead && _hasTail("copy_job_max_bytes", text, "copy_job_max_bytes", 0, sizeUnits))
        copy_job_max_bytes = 0;
    else if (jobBytesRead)
        copy_job_max_bytes = _bound("copy_job_max_bytes", jobBytes, 0, 0, INT_MAX, INT_MAX);
    else if (UTILITIES::findVarValue(text, "copy_job_max_bytes") != std::string::npos)
        warnings.push_back("Warning: copy_job_max_bytes has no number, using 0 (no cap)");
    word.clear();
    journal = UTILITIES::readVar(text, "journal", word) ? word : "";
    if (!journal.empty() && journal[0] != '/') {
        warnings.push_back("Warning: journal " + journal + " is not an absolute path, running without a journal");
        journal.clear();
    }
    _readEvents(text);
    create_links = _readFlag(text, "create_links");
    // Off unless asked for: it reads every copy once more.
    word.clear();
    verify_copies = UTILITIES::readVar(text, "verify_copies", word) && word == "yes";
    preserve_uid = _readFlag(text, "preserve_uid");
    preserve_gid = _readFlag(text, "preserve_gid");
}

void ConfigFileParser::_readStorages(const std::string& text) {
    const std::string opener = "storageID ";
    std::vector<std::string::size_type> starts;
    for (std::string::size_type at = text.find(opener); at != std::string::npos; at = text.find(opener, at + 1))
        starts.push_back(at);

    std::optional<StorageType> previousType;
    int previousCopyProcesses = 1;
    for (size_t i = 0; i < starts.size(); ++i) {
        std::string::size_type end = i + 1 < starts.size() ? starts[i + 1] : text.size();
        std::string block = text.substr(starts[i], end - starts[i]);

        StorageData storage;
        UTILITIES::readVar(block, "storageID", storage.storageID);
        UTILITIES::readVar(block, "target", storage.target);
        UTILITIES::readVar(block, "mountpoint", storage.mountpoint);
        UTILITIES::readVar(block, "target_mount", storage.target_mount);

        std::string typeWord;
        storage.type = previousType;
        bool hasTypeLine = UTILITIES::readVar(block, "type", typeWord);
        if (hasTypeLine) {
            const std::optional<StorageType> named = storageTypeFromName(typeWord);
            if (named)
                storage.type = named;
            else
                warnings.push_back("Warning: Storage " + storage.storageID + " has the unknown type " + typeWord +
                                   "; only INTERNAL, EXTERNAL and OPTIONAL are known");
        }
        // An unknown word was reported above; this one is only for a block that has no type line at all.
        if (!storage.type && !hasTypeLine)
            warnings.push_back("Warning: Storage " + storage.storageID +
                               " has no type line and no block before it to take one from; it is not used");

        storage.n_copy_processes = previousCopyProcesses;
        int copyProcesses;
        if (UTILITIES::readVar(block, "n_copy_processes", copyProcesses)) {
            if (!_hasTail("Storage " + storage.storageID + ": n_copy_processes", block, "n_copy_processes",
                          storage.n_copy_processes))
                storage.n_copy_processes = copyProcesses;
        } else if (UTILITIES::findVarValue(block, "n_copy_processes") != std::string::npos) {
            warnings.push_back("Warning: Storage " + storage.storageID + ": n_copy_processes is not a number, using " +
                               std::to_string(storage.n_copy_processes));
        }
        // Each copy process is a thread of its own, with its stack.
        storage.n_copy_processes = _bound("Storage " + storage.storageID + ": n_copy_processes",
                                          storage.n_copy_processes, 1, 1, maxCopyProcesses, maxCopyProcesses);
        previousType = storage.type;
        previousCopyProcesses = storage.n_copy_processes;
        storages.push_back(storage);
    }
}

void ConfigFileParser::_nameRepeatedStorages() {
    // The order in which the daemon makes its storages: the INTERNAL block,
    // the EXTERNAL block, then every OPTIONAL block. A block of no type is no
    // storage, and a second INTERNAL or EXTERNAL one ends the start-up.
    std::vector<StorageData*> made;
    for (const StorageType type : {StorageType::INTERNAL, StorageType::EXTERNAL})
        for (StorageData& storage : storages)
            if (storage.type == type) {
                made.push_back(&storage);
                break;
            }
    for (StorageData& storage : storages)
        if (storage.type == StorageType::OPTIONAL) made.push_back(&storage);
    // Two storages of one name would be taken for one in the journal, the
    // metrics and the status reply. Refusing would stop a daemon that copied
    // yesterday, so the later one gets its place in that order added: the
    // name under which the journal has always kept its steps.
    std::vector<std::string> configured;
    for (const StorageData* storage : made) configured.push_back(storage->storageID);
    for (size_t i = 0; i < made.size(); ++i)
        if (std::find(configured.begin(), configured.begin() + i, configured[i]) != configured.begin() + i) {
            made[i]->storageID = configured[i] + "#" + std::to_string(i);
            warnings.push_back("Warning: storageID " + configured[i] + " is given twice: the later storage is called " +
                               made[i]->storageID);
        }
}
