#include <string>

#include <gtest/gtest.h>

#include "util/ConfigVars.h"

// The texts below are in the parser's collected form: each significant line
// preceded by "\n" and ended by " ".

TEST(ConfigVarsTest, ReadVarWordFindsKeyAtLineStartFollowedBySpace) {
    struct Case {
        const char* text;
        const char* key;
        bool found;
        const char* value;
    } cases[] = {
        {"\nlogfile /a/b ", "logfile", true, "/a/b"},
        {"logfile /a/b ", "logfile", true, "/a/b"},  // first entry without its newline
        {"\nlogfile   /a/b ", "logfile", true, "/a/b"},
        {"\nlogfile /a/b # the old path ", "logfile", true, "/a/b"},
        {"\nlogfile /first \nlogfile /second ", "logfile", true, "/first"},
        {"\nlogfile\t/a/b ", "logfile", false, ""},
        {"\nLogfile /a/b ", "logfile", false, ""},
        {"\nlogfile /a/b ", "Logfile", false, ""},
        {"\nmy_logfile /a/b ", "logfile", false, ""},
        {"\nold logfile /a/b ", "logfile", false, ""},
        {"\nlogfile_max_number 5 ", "logfile", false, ""},
        {"\nlogfile    \nramdisk_mountpoint /r ", "logfile", false, ""},
        {"\nlogfile ", "logfile", false, ""},
        {"\nlogfile", "logfile", false, ""},
        {"", "logfile", false, ""},
        // Only spaces are skipped before the check for a missing value.
        {"\nlogfile \t \nramdisk_mountpoint /r ", "logfile", true, "ramdisk_mountpoint"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "text \"" << c.text << "\" key " << c.key);
        std::string value = "unchanged";
        EXPECT_EQ(c.found, UTILITIES::readVar(c.text, c.key, value));
        EXPECT_EQ(c.found ? c.value : "unchanged", value);
        EXPECT_EQ(c.found, UTILITIES::findVarValue(c.text, c.key) != std::string::npos);
    }
}

TEST(ConfigVarsTest, FindVarValuePointsAtValueAfterSpaces) {
    std::string text = "\nport   8080 \nname x ";
    EXPECT_EQ(text.find("8080"), UTILITIES::findVarValue(text, "port"));
    EXPECT_EQ(text.find("x "), UTILITIES::findVarValue(text, "name"));
}

TEST(ConfigVarsTest, ReadVarIntTakesLeadingNumberThatFits) {
    struct Case {
        const char* text;
        bool found;
        int value;
    } cases[] = {
        {"\nlimit 80 ", true, 80},
        {"\nlimit 80% ", true, 80},
        {"\nlimit 12 # percent ", true, 12},
        {"\nlimit -5 ", true, -5},
        {"\nlimit +7 ", true, 7},
        {"\nlimit 2147483647 ", true, 2147483647},
        {"\nlimit -2147483648 ", true, -2147483647 - 1},
        {"\nlimit 8080", true, 8080},
        {"\nlimit \t\n42 ", true, 42},
        {"\nlimit abc ", false, 0},
        {"\nlimit 99999999999 ", false, 0},
        {"\nlimit 2147483648 ", false, 0},
        {"\nlimit - 5 ", false, 0},
        {"\nlimit    \nother 3 ", false, 0},
        {"\nlimit ", false, 0},
        {"\nlimit\t80 ", false, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "text \"" << c.text << "\"");
        int value = 777;
        EXPECT_EQ(c.found, UTILITIES::readVar(c.text, "limit", value));
        EXPECT_EQ(c.found ? c.value : 777, value);
    }
}

TEST(ConfigVarsTest, ParseSizeVarAppliesSignAndUnitAndClampsTo32Bits) {
    struct Case {
        const char* value;  // what follows "size " on its line
        bool found;
        int size;
        bool clamped;
    } cases[] = {
        {"10M", true, 10485760, false},
        {"512 K", true, 524288, false},
        {"10 M # ten megabytes", true, 10485760, false},
        {"10k", true, 10, false},  // lower case is no unit
        {"1.5M", true, 1, false},  // the point ends the digits and is no unit
        {"2K", true, 2048, false},
        {"7x", true, 7, false},
        {"1G", true, 1073741824, false},
        {"-1", true, -1, false},
        {"- 5", true, -5, false},
        {"+3K", true, 3072, false},
        {"-2G", true, -2147483647 - 1, false},
        {"2G", true, 2147483647, true},
        {"-3G", true, 2147483647, true},
        {"2097152K", true, 2147483647, true},
        {"99999999999", true, 2147483647, true},
        {"M", false, 0, false},
        {"-", false, 0, false},
        {"- \nnext 5", false, 0, false},
        {"   ", false, 0, false},
        {"", false, 0, false},
    };
    for (const Case& c : cases) {
        std::string text = std::string("\nsize ") + c.value + " ";
        SCOPED_TRACE(testing::Message() << "text \"" << text << "\"");
        int size = 777;
        bool clamped = false;
        EXPECT_EQ(c.found, UTILITIES::parseSizeVar(text, "size", size, &clamped));
        EXPECT_EQ(c.found ? c.size : 777, size);
        EXPECT_EQ(c.clamped, clamped);
        int again = 777;
        EXPECT_EQ(c.found, UTILITIES::parseSizeVar(text, "size", again));  // no flag to set
        EXPECT_EQ(size, again);
    }
    int size = 777;
    EXPECT_FALSE(UTILITIES::parseSizeVar("\nsize\t10M ", "size", size));
    EXPECT_FALSE(UTILITIES::parseSizeVar("\nother_size 10M ", "size", size));
    EXPECT_TRUE(UTILITIES::parseSizeVar("\nsize 1K \nsize 2K ", "size", size));
    EXPECT_EQ(1024, size);
}
