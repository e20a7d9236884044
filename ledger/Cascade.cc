#include "ledger/Cascade.h"

#include "ledger/FileInfo.h"

namespace {

constexpr CascadeRole internalRole() {
    CascadeRole role;
    role.type = StorageType::INTERNAL;
    role.copyStartedFlag = FileInfo::INTERNAL_COPY_STARTED;
    role.copiedFlag = FileInfo::INTERNAL_COPIED;
    role.copyEndedFlag = FileInfo::INTERNAL_COPY_ENDED;
    role.copyBookedFlag = FileInfo::INTERNAL_COPY_BOOKED;
    role.linkStartedFlag = FileInfo::INTERNAL_LINK_STARTED;
    role.linkedFlag = FileInfo::INTERNAL_LINKED;
    role.removalStartedFlag = FileInfo::INTERNAL_REMOVAL_STARTED;
    role.removedFlag = FileInfo::INTERNAL_REMOVED;
    role.releases = CascadeRole::RAMDISK_FILES;
    role.recordsSourceIdentity = true;
    role.watchesRamdisk = true;
    role.trustsExternalCopy = true;
    return role;
}

constexpr CascadeRole externalRole() {
    CascadeRole role;
    role.type = StorageType::EXTERNAL;
    role.copyStartedFlag = FileInfo::EXTERNAL_COPY_STARTED;
    role.copiedFlag = FileInfo::EXTERNAL_COPIED;
    role.copyEndedFlag = FileInfo::EXTERNAL_COPY_ENDED;
    role.copyBookedFlag = FileInfo::EXTERNAL_COPY_BOOKED;
    role.linkStartedFlag = FileInfo::EXTERNAL_LINK_STARTED;
    role.linkedFlag = FileInfo::EXTERNAL_LINKED;
    role.removalStartedFlag = FileInfo::EXTERNAL_REMOVAL_STARTED;
    role.removedFlag = FileInfo::EXTERNAL_REMOVED;
    role.releases = CascadeRole::INTERNAL_COPIES;
    role.recordsSourceIdentity = true;
    role.copiesFromEarlierTargets = true;
    role.passesWaitForHealth = true;
    role.waitsForInternalCopy = true;
    return role;
}

constexpr CascadeRole optionalRole() {
    CascadeRole role;
    role.type = StorageType::OPTIONAL;
    role.copiesFromEarlierTargets = true;
    return role;
}

// Indexed by the type's number.
constexpr CascadeRole roles[] = {internalRole(), externalRole(), optionalRole()};

constexpr bool indexedByType() {
    for (int i = 0; i < 3; ++i)
        if (toInt(roles[i].type) != i) return false;
    return true;
}
static_assert(indexedByType(), "roles[] must be in the order of the types' numbers");

}  // namespace

const CascadeRole& roleOf(StorageType type) {
    return roles[toInt(type)];
}
