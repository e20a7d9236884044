#include <string>

#include <gtest/gtest.h>

#include "util/ConfigVars.h"

// The texts are in the parser's collected form: each line preceded by "\n" and ended by " ".

TEST(ConfigVarsTest, KeyMatchesOnlyAtLineStartFollowedBySpaceAndAValue) {
    struct {
        const char *text, *value;  // nullptr: not found
    } cases[] = {
        {"\nlogfile   /a/b # old ", "/a/b"},
        {"logfile /a/b ", "/a/b"},  // first entry without its newline
        {"\nlogfile /first \nlogfile /second ", "/first"},
        {"\nlogfile\t/a/b ", nullptr},
        {"\nmy_logfile /a/b ", nullptr},
        {"\nlogfile_max_number 5 ", nullptr},
        {"\nlogfile    \nramdisk_mountpoint /r ", nullptr},
        {"\nlogfile", nullptr},
        // Only spaces are skipped before the check for a missing value.
        {"\nlogfile \t \nramdisk_mountpoint /r ", "ramdisk_mountpoint"},
    };
    for (const auto& c : cases) {
        std::string value = "unchanged";
        EXPECT_EQ(c.value != nullptr, UTILITIES::readVar(c.text, "logfile", value)) << c.text;
        EXPECT_EQ(c.value ? c.value : "unchanged", value) << c.text;
    }
}

TEST(ConfigVarsTest, SizeAppliesSignAndUpperCaseUnitAndClampsTo32Bits) {
    struct {
        const char* value;  // what follows "size " on its line
        bool found;
        int size;
        bool clamped;
    } cases[] = {
        {"10M", true, 10485760, false}, {"512 K", true, 524288, false},    {"10k", true, 10, false},
        {"1.5M", true, 1, false},       {"-1", true, -1, false},           {"-2G", true, -2147483647 - 1, false},
        {"2G", true, 2147483647, true}, {"-3G", true, 2147483647, true},   {"99999999999", true, 2147483647, true},
        {"M", false, 777, false},       {"- \nnext 5", false, 777, false},
    };
    for (const auto& c : cases) {
        int size = 777;
        bool clamped = false;
        EXPECT_EQ(c.found, UTILITIES::parseSizeVar(std::string("\nsize ") + c.value + " ", "size", size, &clamped))
            << c.value;
        EXPECT_EQ(c.size, size) << c.value;
        EXPECT_EQ(c.clamped, clamped) << c.value;
    }
}
