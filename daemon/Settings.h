#ifndef VELLORT_DAEMON_SETTINGS_H
#define VELLORT_DAEMON_SETTINGS_H

#include <limits.h>

#include <string>

// The settings of the configuration file as rows of a table, one row a key:
// how its value is written, where the parser keeps it, its default, its
// bounds and what a value beyond each becomes, and its line in the start-up
// banner. The rows are in daemon/Settings.cc. ConfigFileParser reads, bounds
// and warns by them, the start-up prints its banner from them, a storage's
// shared settings take their defaults from them, and ConfigFileParserTest
// holds the operator manual's tables to them. A new setting is a row there,
// its member where the row points, and its use.
//
// The rows never change; any thread may read them.
namespace SETTINGS {

// How a value is written.
enum class Kind {
    NUMBER,   // a decimal integer with an optional sign
    PERCENT,  // a number that may end in %
    SIZE,     // a number with an optional unit K, M or G right after its digits
    FLAG,     // yes unless the word is no or NO; another word is taken as yes, with a warning
    SWITCH,   // on with yes only; any other word is off, without a warning
    WORD,     // one word: a name or a path
    PATH,     // a word that must be an absolute path, or the daemon runs without what it is for
    // host:port of the MQTT broker, the host a name or an address, [address]:port
    // for IPv6. The rows for events are read after it, and only while it is usable.
    HOST_PORT,
    STORAGE_TYPE,  // INTERNAL, EXTERNAL or OPTIONAL, read by the parser's own code
};

// What a value beyond a bound becomes: the bound, or the default.
enum class Beyond { BOUND, DEFAULT };

// A row without the place of its value.
struct Rule {
    const char* key = "";
    Kind kind = Kind::WORD;
    // The default of a number (of a flag: 1 yes, 0 no), or of a word.
    int defaultNumber = 0;
    const char* defaultWord = "";
    // The bounds of a number; INT_MIN and INT_MAX where there is none.
    int low = INT_MIN;
    Beyond belowLow = Beyond::BOUND;
    int high = INT_MAX;
    Beyond aboveHigh = Beyond::BOUND;
    // Below it a number means no value at all and gives the default, while
    // one from it to below `low` gives `belowLow`.
    int unsetBelow = INT_MIN;
    // Added in parentheses to the warning of a number below `low`, and of a
    // value with no number in it: what the value used instead means.
    const char* belowNote = "";
    const char* noNumberNote = "";
    // A size beyond 32 bits is warned about on its own, not only bounded.
    bool warnsOverflow = false;
    // The default word is a path below the daemon's root (VELLORT_ROOT).
    bool underRoot = false;
    // Read only with a usable MQTT broker, right after it.
    bool events = false;
    // In a storage block: missing, the value of the block before; the
    // default is the first block's.
    bool inherited = false;
    // A relative PATH: the daemon runs without it ("a journal").
    const char* without = "";
    // An empty word stands for this one, which the start-up makes.
    const char* emptyMeans = "";
    // Place in the start-up banner's settings, from 1; 0: not there. Its
    // line is the label and the value; a flag's line the label alone, when
    // on; a word's only when it is set.
    int bannerLine = 0;
    const char* banner = "";
};

// A row and the member of Holder that keeps its value: one of the three, by
// the kind; none for a key that code of its own reads.
template <class Holder>
struct Setting : Rule {
    int Holder::*numberMember = nullptr;
    std::string Holder::*wordMember = nullptr;
    bool Holder::*flagMember = nullptr;

    static Setting number(const char* key, int Holder::*member, int value, Kind kind = Kind::NUMBER) {
        Setting row = of(key, kind);
        row.numberMember = member;
        row.defaultNumber = value;
        return row;
    }
    static Setting word(const char* key, std::string Holder::*member, const char* value = "", Kind kind = Kind::WORD) {
        Setting row = of(key, kind);
        row.wordMember = member;
        row.defaultWord = value;
        return row;
    }
    static Setting path(const char* key, std::string Holder::*member, const char* without) {
        Setting row = word(key, member, "", Kind::PATH);
        row.without = without;
        return row;
    }
    static Setting flag(const char* key, bool Holder::*member, bool value, Kind kind = Kind::FLAG) {
        Setting row = of(key, kind);
        row.flagMember = member;
        row.defaultNumber = value ? 1 : 0;
        return row;
    }
    static Setting of(const char* key, Kind kind) {
        Setting row;
        row.key = key;
        row.kind = kind;
        return row;
    }

    Setting bounds(int low, Beyond belowLow, int high, Beyond aboveHigh) const {
        Setting row = *this;
        row.low = low;
        row.belowLow = belowLow;
        row.high = high;
        row.aboveHigh = aboveHigh;
        return row;
    }
    Setting unsetIfBelow(int least) const { return with(&Rule::unsetBelow, least); }
    Setting noteBelow(const char* note) const { return with(&Rule::belowNote, note); }
    Setting noteWithoutNumber(const char* note) const { return with(&Rule::noNumberNote, note); }
    Setting warnBeyond32Bits() const { return with(&Rule::warnsOverflow, true); }
    Setting belowRoot() const { return with(&Rule::underRoot, true); }
    Setting forEvents() const { return with(&Rule::events, true); }
    Setting fromBlockBefore() const { return with(&Rule::inherited, true); }
    Setting emptyMeaning(const char* word) const { return with(&Rule::emptyMeans, word); }
    Setting inBanner(int line, const char* label) const {
        Setting row = with(&Rule::bannerLine, line);
        row.banner = label;
        return row;
    }

private:
    template <class T>
    Setting with(T Rule::*field, T value) const {
        Setting row = *this;
        row.*field = value;
        return row;
    }
};

// The default number of a global or storage-block key. A key that no row
// has is a mistake in the code: it ends the process.
int defaultNumber(const std::string& key);

}  // namespace SETTINGS

#endif
