#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "daemon/ConfigFileParser.h"
#include "support/ChildProcess.h"
#include "support/TempDir.h"

namespace {

const std::string exampleConfig = std::string(VELLORT_SOURCE_DIR) + "/packaging/vellort_quorvin.conf";

std::string shell(const std::string& command, int* exitStatus = nullptr) {
    std::string output, errorOutput;
    int result = runProgram({"/bin/sh", "-c", command}, &output, &errorOutput, 240);
    if (exitStatus != nullptr) *exitStatus = result;
    return output + errorOutput;
}

}  // namespace

TEST(PackagingTest, ExampleConfigurationSetsEveryKeyToItsDefault) {
    ConfigFileParser example;
    ASSERT_TRUE(example.readConfigFile(exampleConfig));
    TempDir scratch;
    writeFile(scratch / "empty.conf", "");
    ConfigFileParser defaults;
    ASSERT_TRUE(defaults.readConfigFile(scratch / "empty.conf"));

    EXPECT_TRUE(example.warnings.empty()) << example.warnings.front();
    EXPECT_EQ(defaults.logfile, example.logfile);
    EXPECT_EQ(defaults.logfile_max_number, example.logfile_max_number);
    EXPECT_EQ(defaults.logfile_max_size, example.logfile_max_size);
    EXPECT_EQ(defaults.history_max_entries, example.history_max_entries);
    EXPECT_EQ(defaults.fillstate_limit, example.fillstate_limit);
    EXPECT_EQ(defaults.ramdisk_mountpoint, example.ramdisk_mountpoint);
    EXPECT_EQ(defaults.message_port, example.message_port);
    EXPECT_EQ(defaults.status_port, example.status_port);
    EXPECT_EQ(defaults.create_links, example.create_links);
    EXPECT_EQ(defaults.preserve_uid, example.preserve_uid);
    EXPECT_EQ(defaults.preserve_gid, example.preserve_gid);

    // Equal values could also come from keys that are missing: each key must
    // start a line of its own, where an operator sees and edits it.
    std::ifstream file(exampleConfig);
    std::string line, keys;
    while (std::getline(file, line))
        if (!line.empty() && line[0] != '#') keys += line.substr(0, line.find(' ')) + " ";
    for (const char* key :
         {"logfile", "logfile_max_number", "logfile_max_size", "history_max_entries", "fillstate_limit",
          "ramdisk_mountpoint", "message_port", "status_port", "create_links", "preserve_uid", "preserve_gid",
          "storageID", "type", "target", "n_copy_processes", "mountpoint"})
        EXPECT_NE(std::string::npos, (" " + keys).find(std::string(" ") + key + " ")) << key;

    // One storage of each type, each complete, so the daemon starts on it as it is.
    ASSERT_EQ(3u, example.storages.size());
    int type = ConfigFileParser::INTERNAL;
    for (const ConfigFileParser::StorageData& storage : example.storages) {
        EXPECT_EQ(type++, storage.type) << storage.storageID;
        EXPECT_FALSE(storage.target.empty()) << storage.storageID;
        EXPECT_EQ(1, storage.n_copy_processes) << storage.storageID;
    }
    EXPECT_FALSE(example.storages.front().mountpoint.empty());
}

TEST(PackagingTest, DebianPackageHoldsProgramsUnitAndExampleAndNamesItsLibraries) {
    if (shell("command -v cpack && command -v dpkg-deb").find("dpkg-deb") == std::string::npos)
        GTEST_SKIP() << "cpack or dpkg-deb is not installed";
    TempDir scratch;
    int exitStatus = -1;
    // The package is made from the tree this test was built in; its output
    // goes to the scratch folder, not into the tree.
    std::string log =
        shell("cpack -G DEB --config " + std::string(VELLORT_BINARY_DIR) + "/CPackConfig.cmake -B " + scratch.path(),
              &exitStatus);
    ASSERT_EQ(0, exitStatus) << log;
    const std::string package = scratch / "vellort_3.7.1_*.deb";

    std::string files = shell("dpkg-deb -c " + package);
    for (const char* path :
         {"./usr/bin/vellort\n", "./usr/bin/vellort-status\n", "./usr/bin/vellort-messages\n",
          "./usr/lib/systemd/system/vellort.service\n", "./usr/share/doc/vellort/vellort_quorvin.conf\n"})
        EXPECT_NE(std::string::npos, files.find(path)) << path << " not in\n" << files;

    std::string depends = shell("dpkg-deb -f " + package + " Depends");
    EXPECT_NE(std::string::npos, depends.find("libtinyxml2-9")) << depends;
    EXPECT_NE(std::string::npos, depends.find("libc6")) << depends;

    // The unit is written when installing: it must name the packaged daemon.
    std::string unit =
        shell("dpkg-deb --fsys-tarfile " + package + " | tar -xOf - ./usr/lib/systemd/system/vellort.service");
    EXPECT_NE(std::string::npos, unit.find("\nExecStart=/usr/bin/vellort\n")) << unit;
}
