#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "daemon/ConfigFileParser.h"
#include "support/TempDir.h"

namespace {

// Parses `content` from a real file; the parser's warnings stay in it.
class ParsedConfig {
public:
    explicit ParsedConfig(const std::string& content, const std::string& rootPrefix = "") : parser(rootPrefix) {
        writeFile(dir / "vellort.conf", content);
        opened = parser.readConfigFile(dir / "vellort.conf");
    }

    bool hasWarning(const std::string& text) const {
        return std::find(parser.warnings.begin(), parser.warnings.end(), text) != parser.warnings.end();
    }
    bool hasWarningStartingWith(const std::string& prefix) const {
        for (const std::string& warning : parser.warnings)
            if (warning.compare(0, prefix.size(), prefix) == 0) return true;
        return false;
    }
    std::vector<ConfigFileParser::StorageData> storages() const {
        return {parser.storages.begin(), parser.storages.end()};
    }

    TempDir dir;
    ConfigFileParser parser;
    bool opened;
};

void expectGlobalDefaults(const ConfigFileParser& parser, const std::string& rootPrefix = "") {
    EXPECT_EQ(rootPrefix + "/var/log/vellort_quorvin.log", parser.logfile);
    EXPECT_EQ(10, parser.logfile_max_number);
    EXPECT_EQ(10485760, parser.logfile_max_size);
    EXPECT_EQ(5, parser.history_max_entries);
    EXPECT_EQ(80, parser.fillstate_limit);
    EXPECT_EQ("/ramdisk", parser.ramdisk_mountpoint);
    EXPECT_EQ(47198, parser.message_port);
    EXPECT_EQ(47199, parser.status_port);
    EXPECT_TRUE(parser.create_links);
    EXPECT_TRUE(parser.preserve_uid);
    EXPECT_TRUE(parser.preserve_gid);
}

std::string joinWarnings(const ConfigFileParser& parser) {
    std::string all;
    for (const std::string& warning : parser.warnings) all += warning + "\n";
    return all;
}

}  // namespace

TEST(ConfigFileParserTest, MissingFileReturnsFalseAndChangesNothing) {
    TempDir dir;
    ConfigFileParser parser;
    parser.logfile = "before";
    parser.status_port = 12;
    parser.create_links = false;
    EXPECT_FALSE(parser.readConfigFile(dir / "missing.conf"));
    EXPECT_EQ("before", parser.logfile);
    EXPECT_EQ(12, parser.status_port);
    EXPECT_EQ(0, parser.message_port);
    EXPECT_FALSE(parser.create_links);
    EXPECT_TRUE(parser.storages.empty());
    EXPECT_TRUE(parser.warnings.empty());
}

TEST(ConfigFileParserTest, FilesWithoutSettingsGiveDefaultsAndNoStorages) {
    const char* contents[] = {
        "",
        "# only a comment",
        "# comment\n   # indented comment\n\n\t\n \r\n\f\v\n#logfile /x\n",
        // Keys with nothing after them count as missing, the last line too.
        "logfile\nlogfile_max_number   \nlogfile_max_size\nhistory_max_entries \nfillstate_limit\n"
        "ramdisk_mountpoint\nmessage_port\nstatus_port\ncreate_links\npreserve_uid   \npreserve_gid",
        // Keys glued to their values by a tab or another character are other keys.
        "logfile\t/x.log\nstatus_port\t1\ncreate_links\tno\nmessage_port=5\n",
    };
    for (const char* content : contents) {
        SCOPED_TRACE(testing::Message() << "content \"" << content << "\"");
        ParsedConfig config(content);
        EXPECT_TRUE(config.opened);
        expectGlobalDefaults(config.parser);
        EXPECT_TRUE(config.parser.storages.empty());
        EXPECT_EQ("", joinWarnings(config.parser));
    }
}

TEST(ConfigFileParserTest, DefaultLogfileGetsRootPrefix) {
    ParsedConfig config("", "/tmp/root");
    expectGlobalDefaults(config.parser, "/tmp/root");
    ParsedConfig configured("logfile /elsewhere.log\n", "/tmp/root");
    EXPECT_EQ("/elsewhere.log", configured.parser.logfile);
}

TEST(ConfigFileParserTest, GlobalSettingsAreReadAnywhereFirstOccurrenceWinning) {
    ParsedConfig config(
        "  logfile_max_number 3   \n"
        "\tlogfile_max_size 512 K\n"
        "storageID disk\n"
        "logfile /inside/block.log # first one counts\n"
        "type INTERNAL\n"
        "history_max_entries 7\n"
        "storageID usb\n"
        "\r\v\ffillstate_limit 90%\n"
        "logfile /later.log\n"
        "ramdisk_mountpoint /rd\n"
        "message_port 1000\n"
        "status_port 1001\n"
        "status_port 1002\n"
        "create_links NO\n"
        "preserve_uid no\n"
        "preserve_gid yes\n");
    EXPECT_EQ("/inside/block.log", config.parser.logfile);
    EXPECT_EQ(3, config.parser.logfile_max_number);
    EXPECT_EQ(524288, config.parser.logfile_max_size);
    EXPECT_EQ(7, config.parser.history_max_entries);
    EXPECT_EQ(90, config.parser.fillstate_limit);
    EXPECT_EQ("/rd", config.parser.ramdisk_mountpoint);
    EXPECT_EQ(1000, config.parser.message_port);
    EXPECT_EQ(1001, config.parser.status_port);
    EXPECT_FALSE(config.parser.create_links);
    EXPECT_FALSE(config.parser.preserve_uid);
    EXPECT_TRUE(config.parser.preserve_gid);
    EXPECT_EQ(2u, config.parser.storages.size());
    EXPECT_EQ("", joinWarnings(config.parser));
}

TEST(ConfigFileParserTest, UnusableNumbersTakeDefaultsWithWarnings) {
    struct Case {
        const char* line;
        int ConfigFileParser::*member;
        int expected;
        const char* warning;  // empty: no warning
    } cases[] = {
        {"logfile_max_number ten", &ConfigFileParser::logfile_max_number, 10,
         "Warning: logfile_max_number is not a number, using 10"},
        {"status_port 99999999999", &ConfigFileParser::status_port, 47199,
         "Warning: status_port is not a number, using 47199"},
        {"message_port -", &ConfigFileParser::message_port, 47198,
         "Warning: message_port is not a number, using 47198"},
        {"fillstate_limit %80", &ConfigFileParser::fillstate_limit, 80,
         "Warning: fillstate_limit is not a number, using 80"},
        {"history_max_entries 0", &ConfigFileParser::history_max_entries, 1,
         "Warning: history_max_entries 0 is below 1, using 1"},
        {"history_max_entries -3", &ConfigFileParser::history_max_entries, 1,
         "Warning: history_max_entries -3 is below 1, using 1"},
        {"logfile_max_size 10M", &ConfigFileParser::logfile_max_size, 10485760, ""},
        {"logfile_max_size 2K", &ConfigFileParser::logfile_max_size, 2048, ""},
        {"logfile_max_size -1", &ConfigFileParser::logfile_max_size, -1, ""},
        {"logfile_max_size 10k", &ConfigFileParser::logfile_max_size, 10, ""},
        {"logfile_max_size M", &ConfigFileParser::logfile_max_size, 10485760,
         "Warning: logfile_max_size has no number, using 10485760"},
        {"logfile_max_size 2G", &ConfigFileParser::logfile_max_size, 2147483647,
         "Warning: logfile_max_size does not fit 32 bits, using 2147483647"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.line);
        ParsedConfig config(std::string(c.line) + "\n");
        EXPECT_EQ(c.expected, config.parser.*c.member);
        if (*c.warning == '\0') {
            EXPECT_EQ("", joinWarnings(config.parser));
        } else {
            EXPECT_EQ(std::string(c.warning) + "\n", joinWarnings(config.parser));
        }
    }
}

TEST(ConfigFileParserTest, FlagIsOffOnlyForNoOrNO) {
    struct Case {
        const char* value;
        bool expected;
        bool warns;
    } cases[] = {
        {"no", false, false}, {"NO", false, false},    {"yes", true, false},
        {"YES", true, false}, {"No", true, true},      {"false", true, true},
        {"0", true, true},    {"no# off", true, true}, {"no # off", false, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.value);
        ParsedConfig config(std::string("create_links ") + c.value + "\npreserve_gid " + c.value);
        EXPECT_EQ(c.expected, config.parser.create_links);
        EXPECT_EQ(c.expected, config.parser.preserve_gid);
        EXPECT_TRUE(config.parser.preserve_uid);
        EXPECT_EQ(c.warns, config.hasWarningStartingWith("Warning: create_links "));
        EXPECT_EQ(c.warns, config.hasWarningStartingWith("Warning: preserve_gid "));
    }
}

TEST(ConfigFileParserTest, WordKeyFollowedBySpaceAndTabTakesNextLinesFirstWord) {
    ParsedConfig config("logfile \t\nramdisk_mountpoint /rd\n");
    EXPECT_EQ("ramdisk_mountpoint", config.parser.logfile);
    EXPECT_EQ("/rd", config.parser.ramdisk_mountpoint);
}

TEST(ConfigFileParserTest, StorageBlocksInheritTypeAndCopyProcessesFromBlockBefore) {
    ParsedConfig config(
        "storageID disk\n"
        "type INTERNAL\n"
        "target /data/internal\n"
        "target /data/second\n"
        "n_copy_processes 3\n"
        "mountpoint /data\n"
        "storageID usb\n"
        "type EXTERNAL\n"
        "\n"
        "# comment inside a block\n"
        "storageID tape\n"
        "type OPTIONAL\n"
        "target /tape/storageID cloud\n"
        "n_copy_processes 2\n"
        "storageID\n"
        "type internal\n"
        "mountpoint");
    std::vector<ConfigFileParser::StorageData> storages = config.storages();
    ASSERT_EQ(5u, storages.size());
    struct Expected {
        const char* storageID;
        int type;
        const char* target;
        int n_copy_processes;
        const char* mountpoint;
    } expected[] = {
        {"disk", ConfigFileParser::INTERNAL, "/data/internal", 3, "/data"},
        {"usb", ConfigFileParser::EXTERNAL, "", 3, ""},
        {"tape", ConfigFileParser::OPTIONAL, "/tape/", 3, ""},
        // "storageID " inside the target value opened this block.
        {"cloud", ConfigFileParser::OPTIONAL, "", 2, ""},
        // An unknown type word keeps the type of the block before.
        {"", ConfigFileParser::OPTIONAL, "", 2, ""},
    };
    for (size_t i = 0; i < storages.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(expected[i].storageID, storages[i].storageID);
        EXPECT_EQ(expected[i].type, storages[i].type);
        EXPECT_EQ(expected[i].target, storages[i].target);
        EXPECT_EQ(expected[i].n_copy_processes, storages[i].n_copy_processes);
        EXPECT_EQ(expected[i].mountpoint, storages[i].mountpoint);
    }
    EXPECT_TRUE(config.hasWarningStartingWith("Warning: Storage  has the unknown type internal"));
    EXPECT_EQ(1u, config.parser.warnings.size()) << joinWarnings(config.parser);
}

TEST(ConfigFileParserTest, FirstBlockWithoutTypeOrCopyProcessesGetsFallbacks) {
    ParsedConfig config(
        // Block keys before the first storageID belong to no block.
        "type EXTERNAL\n"
        "n_copy_processes 9\n"
        "target /early\n"
        "mountpoint /early\n"
        "storageID first\n"
        "storageID second\n"
        "n_copy_processes 0\n"
        "storageID third\n"
        "n_copy_processes many\n"
        "storageID fourth\n"
        "type EXTERNAL\n"
        "n_copy_processes -2\n");
    std::vector<ConfigFileParser::StorageData> storages = config.storages();
    ASSERT_EQ(4u, storages.size());
    EXPECT_EQ(ConfigFileParser::NO_TYPE, storages[0].type);
    EXPECT_EQ(-1, ConfigFileParser::NO_TYPE);
    EXPECT_EQ(1, storages[0].n_copy_processes);
    EXPECT_EQ("", storages[0].target);
    EXPECT_EQ("", storages[0].mountpoint);
    EXPECT_EQ(ConfigFileParser::NO_TYPE, storages[1].type);
    EXPECT_EQ(1, storages[1].n_copy_processes);
    EXPECT_EQ(1, storages[2].n_copy_processes);
    EXPECT_EQ(ConfigFileParser::EXTERNAL, storages[3].type);
    EXPECT_EQ(1, storages[3].n_copy_processes);
    EXPECT_TRUE(config.hasWarningStartingWith("Warning: Storage first has no type line"));
    EXPECT_TRUE(config.hasWarningStartingWith("Warning: Storage second has no type line"));
    EXPECT_TRUE(config.hasWarning("Warning: Storage second: n_copy_processes 0 is below 1, using 1"));
    EXPECT_TRUE(config.hasWarning("Warning: Storage third: n_copy_processes is not a number, using 1"));
    EXPECT_TRUE(config.hasWarning("Warning: Storage fourth: n_copy_processes -2 is below 1, using 1"));
    EXPECT_FALSE(config.hasWarningStartingWith("Warning: Storage fourth has no type line"));

    // A first block with an unknown type word is no storage either, and is
    // reported for its word, not as a block without a type line.
    ParsedConfig unknown("storageID odd\ntype internal\n");
    ASSERT_EQ(1u, unknown.parser.storages.size());
    EXPECT_EQ(ConfigFileParser::NO_TYPE, unknown.parser.storages.front().type);
    EXPECT_EQ("Warning: Storage odd has the unknown type internal; only INTERNAL, EXTERNAL and OPTIONAL are known\n",
              joinWarnings(unknown.parser));
}

TEST(ConfigFileParserTest, LineOf1024CharactersHidesItselfAndLaterLines) {
    const std::string before = "message_port 5000\n";
    const std::string after = "status_port 6000\nstorageID later\ntype INTERNAL\n";
    std::string path1023 = "/" + std::string(1023 - std::string("logfile /").size(), 'a');
    std::string line1023 = "logfile " + path1023;
    ASSERT_EQ(1023u, line1023.size());

    ParsedConfig read(before + line1023 + "\n" + after);
    EXPECT_EQ(path1023, read.parser.logfile);
    EXPECT_EQ(5000, read.parser.message_port);
    EXPECT_EQ(6000, read.parser.status_port);
    EXPECT_EQ(1u, read.parser.storages.size());
    EXPECT_EQ("", joinWarnings(read.parser));

    ParsedConfig hidden(before + line1023 + "b\n" + after);
    EXPECT_EQ("/var/log/vellort_quorvin.log", hidden.parser.logfile);
    EXPECT_EQ(5000, hidden.parser.message_port);
    EXPECT_EQ(47199, hidden.parser.status_port);
    EXPECT_TRUE(hidden.parser.storages.empty());
    ASSERT_EQ(1u, hidden.parser.warnings.size());
    EXPECT_EQ(0u, hidden.parser.warnings[0].find("Warning: "));
    EXPECT_NE(std::string::npos, hidden.parser.warnings[0].find("line 2"));
}

TEST(ConfigFileParserTest, JunkDoesNotCrashAndGivesDefaults) {
    std::mt19937 random(20240607);
    std::string junk;
    for (int i = 0; i < 64 * 1024; ++i) junk += static_cast<char>(random() & 0xff);
    junk[100] = '\0';
    junk[101] = '\n';

    std::string contents[] = {
        junk,
        // One line without a newline.
        std::string(5000, 'x'),
        std::string("logfile ") + std::string(4992, 'y'),
        // A NUL is no blank: the second line holds no logfile key.
        std::string("\0\0\0\n\0logfile /x\n", 16),
    };
    for (const std::string& content : contents) {
        ParsedConfig config(content);
        EXPECT_TRUE(config.opened);
        expectGlobalDefaults(config.parser);
        EXPECT_TRUE(config.parser.storages.empty());
    }
}
