#ifndef VELLORT_UTIL_CHECKSUM_H
#define VELLORT_UTIL_CHECKSUM_H

#include <stddef.h>
#include <stdint.h>

#include <string>

// The state's layout, so that a Checksum holds it and costs no allocation.
#ifndef XXH_STATIC_LINKING_ONLY
#define XXH_STATIC_LINKING_ONLY
#endif
#include <xxhash.h>

namespace UTILITIES {

// The XXH3 128-bit hash of a stream of bytes, fed as they pass, written as
// `xxhsum -H2` writes it: 32 lowercase hex digits, the high half first. One
// thread uses one; it holds its own state and may be reused after reset().
class Checksum {
public:
    Checksum();

    Checksum(const Checksum&) = delete;
    Checksum& operator=(const Checksum&) = delete;

    void reset();
    void add(const void* data, size_t size);
    std::string hex() const;

private:
    XXH3_state_t state;
};

// Hashes what `fd` holds from its start, read with pread, so the descriptor's
// offset stays; `buffer` of `size` bytes is the caller's. With `expected` (the
// size fstat gave) the reading stops there, saving the read that finds the
// end; a file that is shorter is seen all the same. Returns the number of
// bytes read, or -1 with errno set.
int64_t hashDescriptor(int fd, Checksum& checksum, char* buffer, size_t size, int64_t expected = -1);

// The name of the manifest that lists a target's verified copies of the user
// shift that started at `shift`, in its top directory: one line per copy, as
// `xxhsum -H2` writes them, so that `xxhsum -c` checks it there.
std::string manifestName(int64_t shift);

}  // namespace UTILITIES

#endif
