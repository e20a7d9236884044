#ifndef VELLORT_LEDGER_STORAGETYPE_H
#define VELLORT_LEDGER_STORAGETYPE_H

#include <string>

// The three kinds of storage, numbered as everywhere in the daemon, and the
// words the configuration and the log use for them. Storage and the
// configuration parser take their constants from here.
struct StorageType {
    static constexpr int INTERNAL = 0;
    static constexpr int EXTERNAL = 1;
    static constexpr int OPTIONAL = 2;
    // Not a storage: a block that names no valid type, or a word that is none.
    static constexpr int NONE = -1;

    // "INTERNAL", "EXTERNAL" or "OPTIONAL"; "" for any other number.
    static const char* name(int type) {
        if (type == INTERNAL) return "INTERNAL";
        if (type == EXTERNAL) return "EXTERNAL";
        if (type == OPTIONAL) return "OPTIONAL";
        return "";
    }
    // The type a configuration word names; NONE when it names none.
    static int fromName(const std::string& word) {
        for (int type = INTERNAL; type <= OPTIONAL; ++type)
            if (word == name(type)) return type;
        return NONE;
    }
};

#endif
