#include <random>
#include <string>
#include <tuple>

#include <gtest/gtest.h>

#include "daemon/ConfigFileParser.h"
#include "support/TempDir.h"

namespace {

// Parses `content` from a real file; the parser's warnings stay in it.
struct ParsedConfig {
    explicit ParsedConfig(const std::string& content, const std::string& rootPrefix = "") : parser(rootPrefix) {
        writeFile(dir / "vellort.conf", content);
        EXPECT_TRUE(parser.readConfigFile(dir / "vellort.conf"));
    }
    std::string warnings() const {
        std::string all;
        for (const std::string& warning : parser.warnings) all += warning + "\n";
        return all;
    }
    auto globals() const {
        const ConfigFileParser& p = parser;
        return std::make_tuple(p.logfile, p.logfile_max_number, p.logfile_max_size, p.history_max_entries,
                               p.fillstate_limit, p.ramdisk_mountpoint, p.message_port, p.status_port, p.create_links,
                               p.preserve_uid, p.preserve_gid, p.storages.size());
    }
    TempDir dir;
    ConfigFileParser parser;
};

auto defaults(const std::string& rootPrefix = "") {
    return std::make_tuple(rootPrefix + "/var/log/vellort_quorvin.log", 10, 10485760, 5, 80, std::string("/ramdisk"),
                           47198, 47199, true, true, true, size_t(0));
}

}  // namespace

TEST(ConfigFileParserTest, MissingSettingsJunkAndOverlongLinesGiveDefaults) {
    ConfigFileParser missing;
    EXPECT_FALSE(missing.readConfigFile(TempDir() / "missing.conf"));
    EXPECT_EQ(0, missing.status_port);  // nothing changed

    std::mt19937 random(20240607);
    std::string junk(64 * 1024, '\0');
    for (char& c : junk) c = static_cast<char>(random() & 0xff);
    const std::string contents[] = {
        "# comment\n   # indented comment\n\n\t\n \r\n#logfile /x\n",
        // Keys without values count as missing, the key on the last line too.
        "logfile\nlogfile_max_number   \nlogfile_max_size\nstatus_port\ncreate_links\npreserve_gid",
        // A tab after the key makes another key, and so does a prefix.
        "logfile\t/x.log\nstatus_port\t1\ncreate_links\tno\nmy_logfile /x.log\n",
        junk,
        // Blanks after the key's space hold no value: the next line's key is none.
        "logfile \t\nmy_key /x\nramdisk_mountpoint  \t \r\nhistory_max_entries\n",
    };
    for (const std::string& content : contents)
        EXPECT_EQ(defaults(), ParsedConfig(content).globals()) << content.substr(0, 60);
    EXPECT_EQ(defaults("/tmp/root"), ParsedConfig("", "/tmp/root").globals());

    // A line of 1024 characters hides itself and every later line.
    const std::string path = "/" + std::string(1014, 'a');  // "logfile " + path: 1023 characters
    const std::string after = "\nstatus_port 6000\nstorageID later\ntype INTERNAL\n";
    ParsedConfig read("message_port 5000\nlogfile " + path + after);
    EXPECT_EQ(std::make_tuple(path, 5000, 6000, size_t(1), std::string()),
              std::make_tuple(read.parser.logfile, read.parser.message_port, read.parser.status_port,
                              read.parser.storages.size(), read.warnings()));

    ParsedConfig hidden("message_port 5000\nlogfile " + path + "b" + after);
    auto expected = defaults();
    std::get<6>(expected) = 5000;  // message_port, from the line before
    EXPECT_EQ(expected, hidden.globals());
    EXPECT_EQ("Warning: " + (hidden.dir / "vellort.conf") +
                  " line 2 is longer than 1023 characters; it and every later line are ignored\n",
              hidden.warnings());
}

TEST(ConfigFileParserTest, SettingsAreReadAnywhereFirstOccurrenceWinning) {
    ParsedConfig config(
        "  logfile_max_number 3   \n\tlogfile_max_size 512 K\nstorageID disk\ntype INTERNAL\n"
        "logfile /inside/block.log # first one counts\nhistory_max_entries 7\n\r\v\ffillstate_limit 90%\n"
        "logfile /later.log\nramdisk_mountpoint /rd\nmessage_port 1000\nstatus_port 1001\nstatus_port 1002\n"
        "create_links NO\npreserve_uid no\npreserve_gid No\n");
    EXPECT_EQ(std::make_tuple(std::string("/inside/block.log"), 3, 524288, 7, 90, std::string("/rd"), 1000, 1001, false,
                              false, true, size_t(1)),
              config.globals());
    EXPECT_EQ("Warning: preserve_gid No is taken as yes; only no or NO turn it off\n", config.warnings());
}

// A number is a sign and digits, a size also an upper-case unit; a number on
// the next line is never taken, nor one that runs into other characters.
TEST(ConfigFileParserTest, UnusableValuesTakeDefaultsOrBoundsWithWarnings) {
    using P = ConfigFileParser;
    const std::tuple<std::string, int P::*, int, std::string> cases[] = {
        {"logfile_max_number 1000000", &P::logfile_max_number, 1000, "1000000 is above 1000, using 1000"},
        {"logfile_max_number -2", &P::logfile_max_number, 0, "-2 is below 0, using 0"},
        {"logfile_max_size 64k", &P::logfile_max_size, 10485760, "64k has characters after the number, using 10485760"},
        {"logfile_max_size 2G", &P::logfile_max_size, 2147483647, "does not fit 32 bits, using 2147483647"},
        {"history_max_entries 1e6", &P::history_max_entries, 5, "1e6 has characters after the number, using 5"},
        {"logfile_max_size -3G", &P::logfile_max_size, 10485760, "-2147483648 is below 1, using 10485760"},
        {"logfile_max_size - ", &P::logfile_max_size, 10485760, "has no number, using 10485760"},
        {"fillstate_limit 101", &P::fillstate_limit, 80, "101 is above 100, using 80"},
        {"message_port 116594", &P::message_port, 47198, "116594 is above 65535, using 47198"},
        {"status_port 99999999999", &P::status_port, 47199, "is not a number, using 47199"},
        {"status_port 0", &P::status_port, 47199, "0 is below 1, using 47199"},
        {"copy_buffer_size 1K", &P::copy_buffer_size, 8192, "1024 is below 4096, using 8192"},
        {"copy_job_max_bytes 64MB", &P::copy_job_max_bytes, 0, "64MB has characters after the number, using 0"},
        {"mqtt_queue_limit 5\nmqtt_broker h:1", &P::mqtt_queue_limit, 100, "5 is below 100, using 100"},
        {"mqtt_broker h:65536", &P::mqtt_port, 0, "h:65536 is not host:port, running without events"},
        {"mqtt_broker [::1]:1883", &P::mqtt_port, 1883, ""},
    };
    for (const auto& [line, member, value, warnings] : cases) {
        ParsedConfig one(line + "\nstatus_port 5\nmessage_port 6\n");
        EXPECT_EQ(value, one.parser.*member) << line;
        const std::string key = line.substr(0, line.find(' '));
        EXPECT_EQ(warnings.empty() ? "" : "Warning: " + key + " " + warnings + "\n", one.warnings()) << line;
    }
}

TEST(ConfigFileParserTest, StorageBlocksInheritTypeAndCopyProcessesFromTheBlockBefore) {
    // A type before the first storageID belongs to no block; "storageID " inside a value opens one.
    ParsedConfig config(
        "type EXTERNAL\nstorageID first\n"
        "storageID disk\ntype INTERNAL\ntarget /data/internal\ntarget /data/second\nn_copy_processes 3\n"
        "mountpoint /data\nstorageID usb\ntype EXTERNAL\nn_copy_processes 5x\n"
        "storageID tape\ntype OPTIONAL\ntarget /tape/storageID cloud\nn_copy_processes many\n"
        "storageID odd\ntype internal\nn_copy_processes 0\n");
    std::string storages;  // storageID, type, target, n_copy_processes, mountpoint
    for (const ConfigFileParser::StorageData& b : config.parser.storages)
        storages += b.storageID + " " + std::to_string(b.type ? toInt(*b.type) : -1) + " " + b.target + " " +
                    std::to_string(b.n_copy_processes) + " " + b.mountpoint + "\n";
    EXPECT_EQ("first -1  1 \ndisk 0 /data/internal 3 /data\nusb 1  3 \ntape 2 /tape/ 3 \ncloud 2  3 \nodd 2  1 \n",
              storages);
    EXPECT_EQ(
        "Warning: Storage first has no type line and no block before it to take one from; it is not used\n"
        "Warning: Storage usb: n_copy_processes 5x has characters after the number, using 3\n"
        "Warning: Storage cloud: n_copy_processes is not a number, using 3\n"
        "Warning: Storage odd has the unknown type internal; only INTERNAL, EXTERNAL and OPTIONAL are known\n"
        "Warning: Storage odd: n_copy_processes 0 is below 1, using 1\n",
        config.warnings());
    EXPECT_EQ("Warning: Storage odd has the unknown type internal; only INTERNAL, EXTERNAL and OPTIONAL are known\n",
              ParsedConfig("storageID odd\ntype internal\n").warnings());  // a first block: only the word is reported
}
