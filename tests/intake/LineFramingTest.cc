#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "intake/LineFraming.h"

using namespace std::string_literals;

namespace {

// What the reader takes of one line: its text, or what the log says of a refused one.
std::string taken(const LineFraming::Line& line) {
    return line.refused() ? "refused " + line.shown() + ": " + LineFraming::Line::whyRefused() : line.text;
}

}  // namespace

// Lines of up to 1022 bytes, newline included, pass whole, however the reads cut them; a longer one is refused whole,
// with its first 256 bytes (up to a NUL) shown, and the line after it is taken as it is. A line that begins with a NUL
// byte is never refused. A last line without newline counts only at the end of the input.
TEST(LineFramingTest, LinesPassWholeAcrossReadsAndLongerOnesAreRefusedWhole) {
    const std::string tooLong = "...: the line is longer than 1022 bytes", x(1021, 'x'), y(50000, 'y');
    const std::string refusedX = "refused " + x.substr(0, 256) + tooLong;
    struct Row {
        std::vector<std::string> reads;
        bool ended;  // the input ends after the reads
        std::vector<std::string> taken;
    };
    const Row rows[] = {
        {{"/r/./a", ".cbf\n/r/./b", ".c", "bf\n/r"}, false, {"/r/./a.cbf\n", "/r/./b.cbf\n"}},
        {{"\n", "\n\n"}, false, {"\n", "\n", "\n"}},
        {{x.substr(1) + "\n"}, true, {x.substr(1) + "\n"}},
        {{x + "\n"}, true, {x + "\n"}},
        {{x, "\n"}, true, {x + "\n"}},
        {{x + "x\n"}, true, {refusedX}},
        {{x + "x", "\n"}, true, {refusedX}},
        {{x + "x", "x\n"}, true, {refusedX}},
        {{x}, true, {x}},
        {{x, "x"}, true, {x + "x"}},
        {{x + "xx"}, true, {refusedX}},
        {{x + "xx"}, false, {}},
        {{"/r/./a.cbf\n/r/./last.cbf"}, true, {"/r/./a.cbf\n", "/r/./last.cbf"}},
        {{"/r/./a.cbf\n/r/./last.cbf"}, false, {"/r/./a.cbf\n"}},
        {{y, y + "\n/r/", "./good.cbf\n"}, false, {"refused " + y.substr(0, 256) + tooLong, "/r/./good.cbf\n"}},
        {{"\0/r/./nul.cbf\n/r/./a.cbf\n"s}, false, {"\0/r/./nul.cbf\n"s, "/r/./a.cbf\n"}},
        {{"/r/\0"s + x}, true, {"refused /r/" + tooLong}},
        {{"\0"s + x + "\n/r/./a.cbf\n"}, false, {"\0"s + x, "/r/./a.cbf\n"}},
        {{}, true, {}},
    };
    for (const Row& row : rows) {
        LineFraming framing;
        std::vector<LineFraming::Line> lines;
        for (const std::string& read : row.reads) framing.feed(read.data(), read.size(), lines);
        if (row.ended) framing.endOfInput(lines);
        std::vector<std::string> got;
        for (const LineFraming::Line& line : lines) got.push_back(taken(line));
        EXPECT_EQ(row.taken, got) << "row " << &row - rows;
    }
}
