#ifndef VELLORT_LEDGER_STORAGETYPE_H
#define VELLORT_LEDGER_STORAGETYPE_H

#include <optional>
#include <string>

// The three kinds of storage, and the words the configuration and the log use
// for them. What each kind does in the cascade is its CascadeRole
// (ledger/Cascade.h); code compares types only to find a storage of a kind.
// A configuration block that names no valid type has none (std::nullopt) and
// never becomes a storage.
enum class StorageType { INTERNAL = 0, EXTERNAL = 1, OPTIONAL = 2 };

// 0, 1 or 2: the number the daemon has always given each kind.
constexpr int toInt(StorageType type) {
    return static_cast<int>(type);
}

// "INTERNAL", "EXTERNAL" or "OPTIONAL".
inline const char* storageTypeName(StorageType type) {
    static const char* const names[] = {"INTERNAL", "EXTERNAL", "OPTIONAL"};
    return names[toInt(type)];
}

// The type a configuration word names; none when it names none.
inline std::optional<StorageType> storageTypeFromName(const std::string& word) {
    for (StorageType type : {StorageType::INTERNAL, StorageType::EXTERNAL, StorageType::OPTIONAL})
        if (word == storageTypeName(type)) return type;
    return std::nullopt;
}

#endif
