#include <string>
#include <utility>

#include <gtest/gtest.h>

#include "intake/Announcement.h"

namespace {

// What the reader acts on, in one line of text.
std::string decided(const Announcement& a) {
    if (a.kind == Announcement::USER_SHIFT) return "shift " + std::to_string(a.uid) + " " + std::to_string(a.gid);
    if (a.kind == Announcement::FILE) return "file " + a.path + " below " + a.belowRamdisk;
    if (a.kind == Announcement::REJECTED) return "rejected " + a.announcedPath + ": " + a.reason;
    return a.kind == Announcement::IGNORED ? "ignored" : "an unknown kind";
}

}  // namespace

// The previous user is 7/8. A user shift's numbers are read one by one: one that cannot be read keeps its previous
// value. A file must name a folder, a file after its marker and a place below the RAM disk, without climbing.
TEST(AnnouncementTest, EachLineIsNothingAUserShiftAFileOrRefusedWithTheReason) {
    const std::string notBelow = ": it does not lie below the RAM disk /ramdisk";
    const std::pair<std::string, std::string> cases[] = {
        {"", "ignored"},
        {" \t\r\n", "ignored"},
        {"usershift: 1001 1002\n", "shift 1001 1002"},
        {"usershift: abc 9", "shift 7 9"},
        {"usershift: 12", "shift 12 8"},
        {"usershift: 4294967296 4294967295 anything after", "shift 7 4294967295"},
        {"usershift: 00000000001 -0", "shift 7 8"},
        {"usershift:\t-5   9", "shift 7 9"},
        {"   usershift: 0 0", "shift 0 0"},
        {"usershift:5 6", "rejected usershift:5: no directory part"},
        {"/ramdisk/data/./run1/img_00001.cbf more words",
         "file /ramdisk/data/./run1/img_00001.cbf below data/run1/img_00001.cbf"},
        {"  /ramdisk/run1//img_00002.cbf", "file /ramdisk/run1/./img_00002.cbf below run1/img_00002.cbf"},
        {"/ramdisk/./..hidden/x..cbf", "file /ramdisk/./..hidden/x..cbf below ..hidden/x..cbf"},
        {"img_00001.cbf", "rejected img_00001.cbf: no directory part"},
        {"/ramdisk/data/./", "rejected /ramdisk/data/./: empty file name after /./"},
        {"/ramdisk/./../etc/passwd", "rejected /ramdisk/./../etc/passwd: '..' in the path"},
        {"/ramdisk/data/../../elsewhere/./x.dat", "rejected /ramdisk/data/../../elsewhere/./x.dat: '..' in the path"},
        {"/elsewhere/./x.dat", "rejected /elsewhere/./x.dat" + notBelow},
        {"/ramdisk2/./x.dat", "rejected /ramdisk2/./x.dat" + notBelow},
        {"ramdisk/./x.dat", "rejected ramdisk/./x.dat" + notBelow}};
    for (const auto& [line, expected] : cases)
        EXPECT_EQ(expected, decided(Announcement::classify(line, 7, 8, "/ramdisk"))) << line;
}
