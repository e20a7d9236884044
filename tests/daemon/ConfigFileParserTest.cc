#include <random>
#include <regex>
#include <set>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

#include "daemon/ConfigFileParser.h"
#include "support/TempDir.h"

namespace {

// The operator manual, below the source tree: the first of these files that holds a section "## Configuration".
const char* const manualFiles[] = {"docs/manual.md", "README.md"};

// What the parser makes of `content`: "key value" of each global setting that
// is not its default (a flag as 1 or 0), each storage block, the warnings.
std::string parsed(const std::string& content, const std::string& rootPrefix = "") {
    std::istringstream in(content);
    ConfigFileParser p(rootPrefix);
    p.readConfigStream(in, "f");
    std::ostringstream o;
    for (const ConfigFileParser::Row& row : ConfigFileParser::globalSettings()) {
        const int number = row.numberMember ? p.*row.numberMember : row.flagMember && p.*row.flagMember;
        if (row.wordMember ? p.*row.wordMember != row.defaultWord : number != row.defaultNumber)
            o << row.key << " " << (row.wordMember ? p.*row.wordMember : std::to_string(number)) << "\n";
    }
    for (const ConfigFileParser::StorageData& b : p.storages)  // storageID, type, target, n_copy_processes, mountpoint
        o << b.storageID << ' ' << (b.type ? toInt(*b.type) : -1) << ' ' << b.target << ' ' << b.n_copy_processes
          << ' ' << b.mountpoint << '\n';
    for (const std::string& warning : p.warnings) o << warning << "\n";
    return o.str();
}

// A number as the manual writes it: a size in its largest whole unit.
std::string written(const SETTINGS::Rule& row, int n) {
    const int unit = row.kind != SETTINGS::Kind::SIZE || n == 0 ? 0 : n % (1 << 20) == 0 ? 2 : n % 1024 == 0 ? 1 : 0;
    return std::to_string(n >> 10 * unit) + (unit == 0 ? "" : unit == 1 ? "K" : "M");
}

}  // namespace

// A number is a sign and digits, a size also an upper-case unit; a value on
// the next line is never taken, nor a number that runs into other characters.
TEST(ConfigFileParserTest, EachFileGivesItsSettingsStoragesAndWarnings) {
    EXPECT_EQ("logfile /tmp/root/var/log/vellort_quorvin.log\n", parsed("", "/tmp/root"));
    std::string junk;  // then keys with no value (or blanks only), or with a tab or a prefix: other keys
    for (std::mt19937 random(20240607); junk.size() < 65536;) junk += junk.size() % 512 ? char(random()) : '\n';
    junk +=
        "\n# comment\n   # indented comment\n\n\t\n \r\n#logfile /x\nlogfile\nlogfile_max_number   "
        "\nlogfile_max_size\n6\nstatus_port\t1\ncreate_links\tno\nmy_logfile /x.log\nlogfile \t\nmy_key /x"
        "\nramdisk_mountpoint  \t \r\nhistory_max_entries\n5\npreserve_gid";
    const std::string path = "/" + std::string(1014, 'a');  // "logfile " + path: 1023 characters, 1 less than hides
    const std::pair<std::string, std::string> cases[] = {
        {junk, ""},
        {"message_port 5000\nlogfile " + path + "\nstatus_port 6000\nstorageID later\ntype INTERNAL\n",
         "logfile " + path + "\nmessage_port 5000\nstatus_port 6000\nlater 0  1 \n"},
        {"message_port 5000\nlogfile " + path + "b\nstatus_port 6000\nstorageID later\ntype INTERNAL\n",
         "message_port 5000\nWarning: f line 2 is longer than 1023 characters; it and every later line are ignored\n"},
        // Global keys are read anywhere, the first occurrence winning; warnings come in the order of the rows.
        {"  logfile_max_number 3   \n\tlogfile_max_size 512 K\nstorageID disk\ntype INTERNAL\nstatus_port 1001\n"
         "logfile /inside/block.log # first one counts\nhistory_max_entries 7\n\r\v\ffillstate_limit 90%\n"
         "logfile /later.log\nstatus_port 1002\ncreate_links NO\npreserve_uid no\npreserve_gid No\nverify_copies yes\n",
         "logfile /inside/block.log\nlogfile_max_number 3\nlogfile_max_size 524288\nhistory_max_entries 7\n"
         "fillstate_limit 90\nstatus_port 1001\ncreate_links 0\nverify_copies 1\npreserve_uid 0\ndisk 0  1 \n"
         "Warning: preserve_gid No is taken as yes; only no or NO turn it off\n"},
        {"logfile_max_number 1000000\nlogfile_max_size 2G\nfillstate_limit 101\nmessage_port 99999999999\n"
         "status_port 0\ncopy_retry_max_delay -1\ncopy_buffer_size 64k\ncopy_job_max_bytes -\n5\njournal j\n",
         "logfile_max_number 1000\nlogfile_max_size 2147483647\n"
         "Warning: logfile_max_number 1000000 is above 1000, using 1000\n"
         "Warning: logfile_max_size does not fit 32 bits, using 2147483647\n"
         "Warning: fillstate_limit 101 is above 100, using 80\nWarning: message_port is not a number, using 47198\n"
         "Warning: status_port 0 is below 1, using 47199\n"
         "Warning: copy_retry_max_delay -1 is below 0, using 0 (no retries)\n"
         "Warning: copy_buffer_size 64k has characters after the number, using 8192\n"
         "Warning: copy_job_max_bytes has no number, using 0 (no cap)\n"
         "Warning: journal j is not an absolute path, running without a journal\n"},
        {"logfile_max_size 1K", "logfile_max_size 65536\nWarning: logfile_max_size 1024 is below 65536, using 65536\n"},
        {"logfile_max_size -3G", "Warning: logfile_max_size -2147483648 is below 1, using 10485760\n"},
        {"mqtt_queue_limit 5\nmqtt_broker [::1]:1883",
         "mqtt_broker [::1]:1883\nmqtt_queue_limit 100\nWarning: mqtt_queue_limit 5 is below 100, using 100\n"},
        {"mqtt_broker h:65536", "Warning: mqtt_broker h:65536 is not host:port, running without events\n"},
        {"mqtt_broker h:1\nmqtt_topic_prefix a/+\nmqtt_cafile ca\nmqtt_queue_limit 5",
         "mqtt_cafile ca\nWarning: mqtt_topic_prefix a/+ holds a wildcard or starts or ends with /, using "
         "vellort/<host name>\nWarning: mqtt_cafile ca is not an absolute path, running without events\n"},
        // A block takes a missing or unusable type or n_copy_processes from the block before.
        {"type EXTERNAL\nstorageID first\nstorageID second\ntype internal\nstorageID disk\ntype INTERNAL\n"
         "target /data/internal\ntarget /data/second\nn_copy_processes 3\nmountpoint /data\nstorageID usb\n"
         "type EXTERNAL\nn_copy_processes 5x\nstorageID tape\ntype OPTIONAL\ntarget /tape/storageID cloud\n"
         "n_copy_processes many\nstorageID odd\ntype internal\nn_copy_processes 0\n",
         "first -1  1 \nsecond -1  1 \ndisk 0 /data/internal 3 /data\nusb 1  3 \ntape 2 /tape/ 3 \ncloud 2  3 \n"
         "odd 2  1 \nWarning: Storage first has no type line and no block before it to take one from; it is not used\n"
         "Warning: Storage second has the unknown type internal; only INTERNAL, EXTERNAL and OPTIONAL are known\n"
         "Warning: Storage usb: n_copy_processes 5x has characters after the number, using 3\n"
         "Warning: Storage cloud: n_copy_processes is not a number, using 3\n"
         "Warning: Storage odd has the unknown type internal; only INTERNAL, EXTERNAL and OPTIONAL are known\n"
         "Warning: Storage odd: n_copy_processes 0 is below 1, using 1\n"},
    };
    for (const auto& [content, expected] : cases) EXPECT_EQ(expected, parsed(content)) << content.substr(0, 60);
}

// The manual's tables say what the rows say: each key once, with its default and its bounds, and no key of no
// row. Both as lines "key default" and "key bounds <low> <high>", <high> empty where 32 bits bound it.
TEST(ConfigFileParserTest, ManualTablesAgreeWithTheRows) {
    std::string section;  // the manual's section "## Configuration", to the next section
    for (const char* name : manualFiles) section += readFile(std::string(VELLORT_SOURCE_DIR) + "/" + name);
    section = section.substr(section.find("\n## Configuration\n"));
    section.resize(section.find("\n## ", 1));
    std::multiset<std::string> manual, rows;
    const std::regex name("\\w+"), line(R"(\n\| *(`[^|]*?) *\| *([^|]*?) *\|)"),
        bound(R"(^(at least )?(\w+)( \(\d+\))?( to (\w+))?)");
    std::smatch b;
    for (std::sregex_iterator it(section.begin(), section.end(), line), end; it != end; ++it) {
        const std::string cell = std::regex_replace((*it)[2].str(), std::regex("^(empty)?$"), "none");
        for (std::sregex_token_iterator key((*it)[1].first, (*it)[1].second, name), none; key != none; ++key)
            manual.insert(key->str() + " " +
                          (size_t(it->position()) > section.find("\n### Bounds") && std::regex_search(cell, b, bound)
                               ? "bounds " + b[2].str() + " " + (b[5] == "2147483647" ? "" : b[5].str())
                               : std::regex_replace(cell, std::regex(".*(?=of the block before)"), "")));
    }
    auto expect = [&](const auto& settings) {
        for (const auto& row : settings) {
            std::string shown = *row.emptyMeans ? row.emptyMeans : row.defaultWord;
            shown = shown.empty() ? "none" : "`" + shown + "`";
            if (!row.wordMember)
                shown = row.flagMember ? row.defaultNumber ? "yes" : "off" : written(row, row.defaultNumber);
            if (row.inherited)
                shown = "of the block before" + (row.numberMember ? "; " + shown + " for the first" : "");
            rows.insert(row.key + (" " + shown));
            if (row.low != INT_MIN || row.high != INT_MAX)
                rows.insert(row.key + (" bounds " + written(row, row.low) + " " +
                                       (row.high == INT_MAX ? "" : written(row, row.high))));
        }
    };
    expect(ConfigFileParser::globalSettings());
    expect(ConfigFileParser::storageSettings());
    for (const std::string& row : rows) EXPECT_EQ(1u, manual.erase(row)) << row;  // once in the manual
    EXPECT_EQ(std::multiset<std::string>(), manual);                              // and nothing more
}
