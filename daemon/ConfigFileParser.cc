#include "daemon/ConfigFileParser.h"

#include <stdlib.h>

#include <algorithm>
#include <fstream>

#include "util/ConfigVars.h"

namespace {

using SETTINGS::Beyond;
using SETTINGS::Kind;

// Lines of this length or more end the reading: the file is taken as cut off
// there, and the lines before it are used.
const std::string::size_type maxLineLength = 1023;

const char* const leadingBlanks = " \t\r\v\f";

// The units a size may carry right after its digits.
const char* const sizeUnits = "KMG";

// A row's note, as a warning ends with it.
std::string noted(const char* note) {
    return *note == '\0' ? "" : std::string(" (") + note + ")";
}

}  // namespace

ConfigFileParser::ConfigFileParser(const std::string& rootPrefix)
    : message_port(0), status_port(0), metrics_port(0), watchdog_copy_timeout(0), rootPrefix(rootPrefix) {}

bool ConfigFileParser::readConfigFile(const std::string& path) {
    std::ifstream file(path);
    if (!file.is_open()) return false;
    readConfigStream(file, path);
    return true;
}

void ConfigFileParser::readConfigStream(std::istream& in, const std::string& name) {
    std::string text;
    std::string line;
    int lineNumber = 0;
    while (std::getline(in, line)) {
        ++lineNumber;
        if (line.size() > maxLineLength) {
            warnings.push_back("Warning: " + name + " line " + std::to_string(lineNumber) + " is longer than " +
                               std::to_string(maxLineLength) + " characters; it and every later line are ignored");
            break;
        }
        std::string::size_type start = line.find_first_not_of(leadingBlanks);
        if (start == std::string::npos || line[start] == '#') continue;
        text += "\n";
        text.append(line, start, std::string::npos);
        text += " ";
    }

    _readGlobals(text);
    _readStorages(text);
    _nameRepeatedStorages();
}

void ConfigFileParser::_readGlobals(const std::string& text) {
    for (const Row& row : globalSettings()) {
        if (row.events) continue;  // read by _readEvents, with the broker
        switch (row.kind) {
            case Kind::NUMBER:
            case Kind::PERCENT:
            case Kind::SIZE:
                this->*row.numberMember = _readNumber(text, row, row.key, row.defaultNumber);
                break;
            case Kind::FLAG:
                this->*row.flagMember = _readFlag(text, row);
                break;
            case Kind::SWITCH:
                this->*row.flagMember = _readWord(text, row) == "yes";
                break;
            case Kind::WORD:
                this->*row.wordMember = _readWord(text, row);
                break;
            case Kind::PATH:
                this->*row.wordMember = _readWord(text, row);
                if (!_isAbsolute(row, this->*row.wordMember)) (this->*row.wordMember).clear();
                break;
            case Kind::HOST_PORT:
                _readEvents(text, row);
                break;
            case Kind::STORAGE_TYPE:
                break;  // a storage block's
        }
    }
}

void ConfigFileParser::_readEvents(const std::string& text, const Row& broker) {
    mqtt_broker = _readWord(text, broker);
    if (mqtt_broker.empty()) return;
    // host:port, the host a name or an address; [address]:port for IPv6.
    const size_t colon = mqtt_broker.rfind(':');
    const std::string port = colon == std::string::npos ? "" : mqtt_broker.substr(colon + 1);
    std::string host = colon == std::string::npos ? "" : mqtt_broker.substr(0, colon);
    if (host.size() > 2 && host.front() == '[' && host.back() == ']') host = host.substr(1, host.size() - 2);
    char* end = nullptr;
    const long number = port.empty() ? 0 : strtol(port.c_str(), &end, 10);
    if (host.empty() || port.empty() || *end != '\0' || number < 1 || number > 65535) {
        warnings.push_back("Warning: mqtt_broker " + mqtt_broker + " is not host:port, running without events");
        mqtt_broker.clear();
        return;
    }
    mqtt_host = host;
    mqtt_port = static_cast<int>(number);
    // Every word first, then the paths, then the numbers: a refused path
    // leaves the words read and the numbers not.
    for (const Row& row : globalSettings()) {
        if (!row.events || row.wordMember == nullptr) continue;
        std::string& word = this->*row.wordMember;
        word = _readWord(text, row);
        // A prefix holds no wildcard, and no empty level at either end.
        if (row.wordMember == &ConfigFileParser::mqtt_topic_prefix && !word.empty() &&
            (word.find_first_of("+#") != std::string::npos || word.front() == '/' || word.back() == '/')) {
            warnings.push_back("Warning: " + std::string(row.key) + " " + word +
                               " holds a wildcard or starts or ends with /, using " + row.emptyMeans);
            word.clear();
        }
    }
    for (const Row& row : globalSettings())
        if (row.events && row.kind == Kind::PATH && !_isAbsolute(row, this->*row.wordMember)) {
            mqtt_broker.clear();
            return;
        }
    for (const Row& row : globalSettings())
        if (row.events && row.numberMember != nullptr)
            this->*row.numberMember = _readNumber(text, row, row.key, row.defaultNumber);
}

int ConfigFileParser::_readNumber(const std::string& text, const SETTINGS::Rule& row, const std::string& name,
                                  int fallback) {
    const bool size = row.kind == Kind::SIZE;
    int value = fallback;
    bool overflow = false;
    const bool read =
        size ? UTILITIES::parseSizeVar(text, row.key, value, &overflow) : UTILITIES::readVar(text, row.key, value);
    if (!read) {
        if (UTILITIES::findVarValue(text, row.key) != std::string::npos)
            warnings.push_back("Warning: " + name + (size ? " has no number" : " is not a number") + ", using " +
                               std::to_string(fallback) + noted(row.noNumberNote));
        return fallback;
    }
    if (_hasTail(name, text, row.key, fallback, size ? sizeUnits : row.kind == Kind::PERCENT ? "%" : ""))
        return fallback;
    if (overflow && value > 0 && row.warnsOverflow)
        warnings.push_back("Warning: " + name + " does not fit 32 bits, using " + std::to_string(value));
    return _bound(name, value, row);
}

std::string ConfigFileParser::_readWord(const std::string& text, const SETTINGS::Rule& row) const {
    std::string word;
    if (UTILITIES::readVar(text, row.key, word)) return word;
    return row.underRoot ? rootPrefix + row.defaultWord : row.defaultWord;
}

bool ConfigFileParser::_readFlag(const std::string& text, const SETTINGS::Rule& row) {
    std::string word;
    if (!UTILITIES::readVar(text, row.key, word)) return row.defaultNumber != 0;
    if (word == "no" || word == "NO") return false;
    if (word != "yes" && word != "YES")
        warnings.push_back("Warning: " + std::string(row.key) + " " + word +
                           " is taken as yes; only no or NO turn it off");
    return true;
}

bool ConfigFileParser::_isAbsolute(const SETTINGS::Rule& row, const std::string& path) {
    if (path.empty() || path[0] == '/') return true;
    warnings.push_back("Warning: " + std::string(row.key) + " " + path + " is not an absolute path, running without " +
                       row.without);
    return false;
}

bool ConfigFileParser::_hasTail(const std::string& name, const std::string& text, const std::string& key, int fallback,
                                const std::string& units) {
    // "1e6" would be read as 1, "10k" as 10 bytes: a number cut short is no
    // number the operator meant, so it counts as out of bounds.
    if (!UTILITIES::numberHasTail(text, key, units)) return false;
    std::string written;
    UTILITIES::readVar(text, key, written);
    warnings.push_back("Warning: " + name + " " + written + " has characters after the number, using " +
                       std::to_string(fallback));
    return true;
}

int ConfigFileParser::_bound(const std::string& name, int value, const SETTINGS::Rule& row) {
    auto replace = [&](const char* side, int bound, int replacement, const char* note) {
        warnings.push_back("Warning: " + name + " " + std::to_string(value) + " is " + side + " " +
                           std::to_string(bound) + ", using " + std::to_string(replacement) + noted(note));
        return replacement;
    };
    if (value < row.unsetBelow) return replace("below", row.unsetBelow, row.defaultNumber, "");
    if (value < row.low)
        return replace("below", row.low, row.belowLow == Beyond::BOUND ? row.low : row.defaultNumber, row.belowNote);
    if (value > row.high)
        return replace("above", row.high, row.aboveHigh == Beyond::BOUND ? row.high : row.defaultNumber, "");
    return value;
}

void ConfigFileParser::_readStorages(const std::string& text) {
    const std::string opener = "storageID ";
    std::vector<std::string::size_type> starts;
    for (std::string::size_type at = text.find(opener); at != std::string::npos; at = text.find(opener, at + 1))
        starts.push_back(at);

    std::optional<StorageType> previousType;
    for (size_t i = 0; i < starts.size(); ++i) {
        std::string::size_type end = i + 1 < starts.size() ? starts[i + 1] : text.size();
        std::string block = text.substr(starts[i], end - starts[i]);

        StorageData storage;
        for (const StorageRow& row : storageSettings())
            if (row.wordMember != nullptr) UTILITIES::readVar(block, row.key, storage.*row.wordMember);

        std::string typeWord;
        storage.type = previousType;
        bool hasTypeLine = UTILITIES::readVar(block, "type", typeWord);
        if (hasTypeLine) {
            const std::optional<StorageType> named = storageTypeFromName(typeWord);
            if (named)
                storage.type = named;
            else
                warnings.push_back("Warning: Storage " + storage.storageID + " has the unknown type " + typeWord +
                                   "; only INTERNAL, EXTERNAL and OPTIONAL are known");
        }
        // An unknown word was reported above; this one is only for a block that has no type line at all.
        if (!storage.type && !hasTypeLine)
            warnings.push_back("Warning: Storage " + storage.storageID +
                               " has no type line and no block before it to take one from; it is not used");

        // A number the block leaves out, or gets wrong, is the block before's;
        // the first block's is the default.
        for (const StorageRow& row : storageSettings())
            if (row.numberMember != nullptr)
                storage.*row.numberMember = _readNumber(block, row, "Storage " + storage.storageID + ": " + row.key,
                                                        i == 0 ? row.defaultNumber : storages.back().*row.numberMember);
        previousType = storage.type;
        storages.push_back(storage);
    }
}

void ConfigFileParser::_nameRepeatedStorages() {
    // The order in which the daemon makes its storages: the INTERNAL block,
    // the EXTERNAL block, then every OPTIONAL block. A block of no type is no
    // storage, and a second INTERNAL or EXTERNAL one ends the start-up.
    std::vector<StorageData*> made;
    for (const StorageType type : {StorageType::INTERNAL, StorageType::EXTERNAL})
        for (StorageData& storage : storages)
            if (storage.type == type) {
                made.push_back(&storage);
                break;
            }
    for (StorageData& storage : storages)
        if (storage.type == StorageType::OPTIONAL) made.push_back(&storage);
    // Two storages of one name would be taken for one in the journal, the
    // metrics and the status reply. Refusing would stop a daemon that copied
    // yesterday, so the later one gets its place in that order added: the
    // name under which the journal has always kept its steps.
    std::vector<std::string> configured;
    for (const StorageData* storage : made) configured.push_back(storage->storageID);
    for (size_t i = 0; i < made.size(); ++i)
        if (std::find(configured.begin(), configured.begin() + i, configured[i]) != configured.begin() + i) {
            made[i]->storageID = configured[i] + "#" + std::to_string(i);
            warnings.push_back("Warning: storageID " + configured[i] + " is given twice: the later storage is called " +
                               made[i]->storageID);
        }
}
