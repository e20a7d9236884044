#ifndef VELLORT_INTAKE_LINEFRAMING_H
#define VELLORT_INTAKE_LINEFRAMING_H

#include <stddef.h>

#include <string>
#include <vector>

// Cuts what is read from the announcement pipe into lines, whatever the
// reads' sizes: a line may end reads after the one it began in. A line longer
// than the acquisition program ever writes is refused whole, for a piece of it
// would be taken for a path; only its first lineLimit bytes are kept. Reads
// nothing itself: the pipe reader feeds it what it read.
//
// A plain value, used by the pipe reader's thread alone.
class LineFraming {
public:
    // The longest line, newline included, that the acquisition program writes.
    static constexpr size_t lineLimit = 1022;
    // Of a refused line, the log shows this many first bytes.
    static constexpr size_t refusedShown = 256;

    struct Line {
        std::string text;      // as read, its newline kept; of a longer line its first lineLimit bytes
        bool tooLong = false;  // the line went on past lineLimit bytes: the rest was dropped

        // To the acquisition program a line is a C string: a NUL byte ends
        // it, and a line that begins with one is a pause, never a path, also
        // when it is too long.
        bool startsWithNul() const { return text.c_str()[0] == '\0'; }
        bool refused() const { return tooLong && !startsWithNul(); }
        // Of a refused line: what the log shows of it, and why it is refused.
        std::string shown() const;
        static std::string whyRefused();
    };

    // Takes `count` bytes as read; appends each line they end to `lines`.
    void feed(const char* bytes, size_t count, std::vector<Line>& lines);
    // At an end of file: the last line, when it ended without a newline, is
    // appended to `lines`.
    void endOfInput(std::vector<Line>& lines);

private:
    Line piece;  // begun in a read and not ended yet
};

#endif
