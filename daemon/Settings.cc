#include "daemon/Settings.h"

#include <stdio.h>
#include <stdlib.h>

#include "daemon/ConfigFileParser.h"

namespace {

const SETTINGS::Beyond BOUND = SETTINGS::Beyond::BOUND;
const SETTINGS::Beyond DEFAULT = SETTINGS::Beyond::DEFAULT;
const SETTINGS::Kind PERCENT = SETTINGS::Kind::PERCENT;
const SETTINGS::Kind SIZE = SETTINGS::Kind::SIZE;
const SETTINGS::Kind SWITCH = SETTINGS::Kind::SWITCH;

}  // namespace

// In the order they are read, which is the order of their warnings.
const std::vector<ConfigFileParser::Row>& ConfigFileParser::globalSettings() {
    using P = ConfigFileParser;
    using S = Row;
    static const std::vector<Row> rows = {
        S::word("logfile", &P::logfile, "/var/log/vellort_quorvin.log").belowRoot().inBanner(1, "++ logfile: "),
        // Each rotation renames every backup number under the log mutex,
        // which every thread that logs waits for.
        S::number("logfile_max_number", &P::logfile_max_number, 10)
            .bounds(0, BOUND, 1000, BOUND)
            .inBanner(3, "++    max # of backuped logfiles: "),
        // 0 would rotate at every pass and a negative size never; a tiny
        // size rotates the last lines away before anyone reads them.
        S::number("logfile_max_size", &P::logfile_max_size, 10 << 20, SIZE)
            .bounds(64 << 10, BOUND, INT_MAX, BOUND)
            .unsetIfBelow(1)
            .warnBeyond32Bits()
            .inBanner(2, "++    max size of logfile: "),
        S::number("history_max_entries", &P::history_max_entries, 5).bounds(1, BOUND, INT_MAX, BOUND),
        // 0 would empty the RAM disk at once, above 100 the watch never acts.
        S::number("fillstate_limit", &P::fillstate_limit, 80, PERCENT).bounds(1, DEFAULT, 100, DEFAULT),
        S::word("ramdisk_mountpoint", &P::ramdisk_mountpoint, "/ramdisk"),
        // A number beyond 16 bits would be cut to another port.
        S::number("message_port", &P::message_port, 47198).bounds(1, DEFAULT, 65535, DEFAULT),
        S::number("status_port", &P::status_port, 47199).bounds(1, DEFAULT, 65535, DEFAULT),
        // 0: no metrics served.
        S::number("metrics_port", &P::metrics_port, 0).bounds(0, DEFAULT, 65535, DEFAULT),
        S::number("full_warning_seconds", &P::full_warning_seconds, 0).bounds(0, DEFAULT, 86400, DEFAULT),
        S::number("watchdog_copy_timeout", &P::watchdog_copy_timeout, 300).bounds(1, DEFAULT, INT_MAX, BOUND),
        S::number("copy_retry_max_delay", &P::copy_retry_max_delay, 0)
            .bounds(0, BOUND, INT_MAX, BOUND)
            .noteBelow("no retries"),
        // Each copy worker holds one buffer; a large one saves system calls on
        // large files, beyond a few MiB it only costs memory.
        S::number("copy_buffer_size", &P::copy_buffer_size, 8 << 10, SIZE).bounds(4 << 10, DEFAULT, 64 << 20, BOUND),
        // Capped jobs deal the waiting files over the free workers; a cap below
        // 0 means none, as 0 does.
        S::number("copy_job_max_files", &P::copy_job_max_files, 0).bounds(0, BOUND, INT_MAX, BOUND),
        S::number("copy_job_max_bytes", &P::copy_job_max_bytes, 0, SIZE)
            .bounds(0, BOUND, INT_MAX, BOUND)
            .noteWithoutNumber("no cap"),
        S::path("journal", &P::journal, "a journal").inBanner(4, "++ journal: "),
        S::word("mqtt_broker", &P::mqtt_broker, "", SETTINGS::Kind::HOST_PORT),
        S::word("mqtt_topic_prefix", &P::mqtt_topic_prefix).forEvents().emptyMeaning("vellort/<host name>"),
        S::word("mqtt_client_id", &P::mqtt_client_id).forEvents().emptyMeaning("vellort-<host name>"),
        S::word("mqtt_username", &P::mqtt_username).forEvents(),
        S::path("mqtt_password_file", &P::mqtt_password_file, "events").forEvents(),
        S::path("mqtt_cafile", &P::mqtt_cafile, "events").forEvents(),
        S::number("mqtt_queue_limit", &P::mqtt_queue_limit, 100000).bounds(100, BOUND, 10000000, BOUND).forEvents(),
        S::flag("create_links", &P::create_links, true),
        // Off unless asked for: it reads every copy once more.
        S::flag("verify_copies", &P::verify_copies, false, SWITCH).inBanner(5, "++ copies verified by checksum"),
        S::flag("preserve_uid", &P::preserve_uid, true),
        S::flag("preserve_gid", &P::preserve_gid, true),
    };
    return rows;
}

const std::vector<ConfigFileParser::StorageRow>& ConfigFileParser::storageSettings() {
    using D = StorageData;
    using S = StorageRow;
    static const std::vector<StorageRow> rows = {
        S::word("storageID", &D::storageID),
        S::of("type", SETTINGS::Kind::STORAGE_TYPE).fromBlockBefore(),
        S::word("target", &D::target),
        // Each copy process is a thread of its own, with its stack.
        S::number("n_copy_processes", &D::n_copy_processes, 1).bounds(1, BOUND, 64, BOUND).fromBlockBefore(),
        S::word("mountpoint", &D::mountpoint),
        S::word("target_mount", &D::target_mount),
    };
    return rows;
}

namespace SETTINGS {

int defaultNumber(const std::string& key) {
    for (const ConfigFileParser::Row& row : ConfigFileParser::globalSettings())
        if (key == row.key) return row.defaultNumber;
    for (const ConfigFileParser::StorageRow& row : ConfigFileParser::storageSettings())
        if (key == row.key) return row.defaultNumber;
    fprintf(stderr, "No setting is called %s\n", key.c_str());
    abort();
}

}  // namespace SETTINGS
