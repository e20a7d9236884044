#include <stdlib.h>

#include <string>

#include <gtest/gtest.h>

#include "util/Paths.h"

TEST(PathsTest, NormalizePathCollapsesSlashesAndPlacesOneMarker) {
    struct {
        const char *path, *normalized;
    } cases[] = {
        {"/ramdisk//data/img_00001.cbf", "/ramdisk/data/./img_00001.cbf"},
        {"///ramdisk////data//run1/img.cbf", "/ramdisk/data/run1/./img.cbf"},
        {"/ramdisk/data/./run1/img.cbf", "/ramdisk/data/./run1/img.cbf"},  // the marker stays where it is
        {"/ramdisk//data/.//run1/img.cbf", "/ramdisk/data/./run1/img.cbf"},
        {"/img.cbf", "/./img.cbf"},
        {"img.cbf", "img.cbf"},
        {"", ""},
    };
    for (const auto& c : cases) EXPECT_EQ(c.normalized, UTILITIES::normalizePath(c.path)) << c.path;
}

TEST(PathsTest, MarkerSplitsAtItsFirstOccurrence) {
    struct {
        const char *path, *before, *after;
    } cases[] = {
        {"/ramdisk/data/./run1/img.cbf", "/ramdisk/data", "run1/img.cbf"},
        {"/a/./b/./c", "/a", "b/./c"},
        {"/./img.cbf", "", "img.cbf"},
        {"/ramdisk/data/run1/img.cbf", "", ""},
        {"/ramdisk/.hidden/img.cbf", "", ""},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.before, UTILITIES::getFilePathBeforeDot(c.path)) << c.path;
        EXPECT_EQ(c.after, UTILITIES::getFilePathAfterDot(c.path)) << c.path;
    }
}

TEST(PathsTest, ParseFilenameSplitsAtLastPoint) {
    struct {
        const char* name;
        bool numbered;
        const char* stem;
        int number;
        const char* extension;
    } cases[] = {
        {"img_00012.cbf", true, "img_", 12, "cbf"},
        {"00012.cbf", true, "", 12, "cbf"},
        {"run.2/img_7.cbf", true, "run.2/img_", 7, "cbf"},
        {"img_3.tar.gz", false, "", 0, "gz"},
        {"img_4294967297.cbf", true, "img_", 1, "cbf"},  // 32-bit unsigned accumulation
        {"img.cbf", false, "", 0, "cbf"},
        {"img_00012", false, "", 0, ""},
        {".5", false, "", 0, "5"},
        {"img_12.", true, "img_", 12, ""},
    };
    for (const auto& c : cases) {
        std::string stem = "old", extension = "old";
        int number = -1;
        EXPECT_EQ(c.numbered, UTILITIES::parseFilename(c.name, stem, number, extension)) << c.name;
        EXPECT_EQ(c.stem, stem) << c.name;
        EXPECT_EQ(c.number, number) << c.name;
        EXPECT_EQ(c.extension, extension) << c.name;
    }
}

TEST(PathsTest, RootedPathPrefixesOnlyANonEmptyRoot) {
    ASSERT_EQ(0, setenv("VELLORT_ROOT", "/tmp/vellort-root", 1));
    EXPECT_EQ("/tmp/vellort-root/etc/vellort_quorvin.conf", UTILITIES::rootedPath("/etc/vellort_quorvin.conf"));
    ASSERT_EQ(0, setenv("VELLORT_ROOT", "", 1));
    EXPECT_EQ("/etc/vellort_quorvin.conf", UTILITIES::rootedPath("/etc/vellort_quorvin.conf"));
    ASSERT_EQ(0, unsetenv("VELLORT_ROOT"));
    EXPECT_EQ("/var/run/vellort_quorvin.pid", UTILITIES::rootedPath("/var/run/vellort_quorvin.pid"));
}
