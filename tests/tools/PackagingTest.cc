#include <string>

#include <gtest/gtest.h>

#include "daemon/ConfigFileParser.h"
#include "support/ChildProcess.h"
#include "support/TempDir.h"

namespace {

const std::string exampleConfig = std::string(VELLORT_SOURCE_DIR) + "/packaging/vellort_quorvin.conf";

std::string shell(const std::string& command) {
    std::string output, errorOutput;
    runProgram({"/bin/sh", "-c", command}, &output, &errorOutput, 240);
    return output + errorOutput;
}

}  // namespace

// Each key starts a line of its own, where an operator sees and edits it, and
// the file reads without a warning.
TEST(PackagingTest, ExampleConfigurationNamesEveryKeyAndHasOneCompleteStorageOfEachType) {
    ConfigFileParser example;
    ASSERT_TRUE(example.readConfigFile(exampleConfig));
    EXPECT_TRUE(example.warnings.empty()) << example.warnings.front();
    const std::string text = "\n" + readFile(exampleConfig);
    for (const char* key :
         {"logfile", "logfile_max_number", "logfile_max_size", "history_max_entries", "fillstate_limit",
          "ramdisk_mountpoint", "message_port", "status_port", "create_links", "preserve_uid", "preserve_gid",
          "storageID", "type", "target", "n_copy_processes", "mountpoint"})
        EXPECT_NE(std::string::npos, text.find(std::string("\n") + key + " ")) << key;

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
    // Made from the tree this test was built in, into the scratch folder.
    const std::string log = shell("cpack -G DEB --config " + std::string(VELLORT_BINARY_DIR) +
                                  "/CPackConfig.cmake -B " + scratch.path() + " && echo PACKAGED");
    ASSERT_NE(std::string::npos, log.find("PACKAGED\n")) << log;
    const std::string package = scratch / "vellort_3.7.1_*.deb";
    const std::string files = shell("dpkg-deb -c " + package);
    for (const char* path :
         {"./usr/bin/vellort\n", "./usr/bin/vellort-status\n", "./usr/bin/vellort-messages\n",
          "./usr/lib/systemd/system/vellort.service\n", "./usr/share/doc/vellort/vellort_quorvin.conf\n"})
        EXPECT_NE(std::string::npos, files.find(path)) << path << " not in\n" << files;
    const std::string depends = shell("dpkg-deb -f " + package + " Depends");
    EXPECT_NE(std::string::npos, depends.find("libtinyxml2-9")) << depends;
    EXPECT_NE(std::string::npos, depends.find("libc6")) << depends;
    // The unit is written when installing: it must name the packaged daemon.
    const std::string unit =
        shell("dpkg-deb --fsys-tarfile " + package + " | tar -xOf - ./usr/lib/systemd/system/vellort.service");
    EXPECT_NE(std::string::npos, unit.find("\nExecStart=/usr/bin/vellort --foreground\n")) << unit;
}
