#include <stdlib.h>

#include <string>
#include <tuple>

#include <gtest/gtest.h>

#include "util/Paths.h"

TEST(PathsTest, NormalizePathPlacesOneMarkerThatSplitsThePathAndPathBelowComparesWholeComponents) {
    // path, normalized, before and after the first marker
    for (const auto& c :
         {std::make_tuple("///ramdisk//data//run1/img.cbf", "/ramdisk/data/run1/./img.cbf", "/ramdisk/data/run1",
                          "img.cbf"),
          std::make_tuple("/ramdisk//data/.//run1/img", "/ramdisk/data/./run1/img", "/ramdisk/data", "run1/img"),
          std::make_tuple("/a/./b/./c", "/a/./b/./c", "/a", "b/./c"), std::make_tuple("img.cbf", "img.cbf", "", "")}) {
        std::string normalized = UTILITIES::normalizePath(std::get<0>(c));
        EXPECT_EQ(c, std::make_tuple(std::get<0>(c), normalized, UTILITIES::getFilePathBeforeDot(normalized),
                                     UTILITIES::getFilePathAfterDot(normalized)));
    }
    EXPECT_EQ("", UTILITIES::pathBelow("/ramdisk", "/ramdisk2/./img.cbf"));  // a prefix of the text is no parent
}

TEST(PathsTest, ParseFilenameTakesTheDigitsBeforeTheLastPoint) {
    // name, numbered, stem, number, extension
    for (const auto& c : {std::make_tuple("run.2/img_00012.cbf", true, "run.2/img_", 12, "cbf"),
                          std::make_tuple("img_3.tar.gz", false, "", 0, "gz"),
                          std::make_tuple("img_4294967297.cbf", true, "img_", 1, "cbf"),  // 32-bit unsigned
                          std::make_tuple("img_00012", false, "", 0, "")}) {
        std::string stem = "old", extension = "old";
        int number = -1;
        bool numbered = UTILITIES::parseFilename(std::get<0>(c), stem, number, extension);
        EXPECT_EQ(c, std::make_tuple(std::get<0>(c), numbered, stem, number, extension));
    }
}

TEST(PathsTest, RootedPathLeavesThePathWithAnEmptyOrNoRoot) {
    ASSERT_EQ(0, setenv("VELLORT_ROOT", "", 1));
    EXPECT_EQ("/etc/vellort_quorvin.conf", UTILITIES::rootedPath("/etc/vellort_quorvin.conf"));
    ASSERT_EQ(0, unsetenv("VELLORT_ROOT"));
    EXPECT_EQ("/etc/vellort_quorvin.conf", UTILITIES::rootedPath("/etc/vellort_quorvin.conf"));
}
