#include "util/Checksum.h"

#include <errno.h>
#include <unistd.h>


namespace UTILITIES {

Checksum::Checksum() {
    reset();
}

void Checksum::reset() {
    XXH3_128bits_reset(&state);
}

void Checksum::add(const void* data, size_t size) {
    XXH3_128bits_update(&state, data, size);
}

std::string Checksum::hex() const {
    XXH128_canonical_t canonical;
    XXH128_canonicalFromHash(&canonical, XXH3_128bits_digest(&state));
    static const char digits[] = "0123456789abcdef";
    std::string text(2 * sizeof canonical.digest, '0');
    for (size_t i = 0; i < sizeof canonical.digest; ++i) {
        text[2 * i] = digits[canonical.digest[i] >> 4];
        text[2 * i + 1] = digits[canonical.digest[i] & 15];
    }
    return text;
}

int64_t hashDescriptor(int fd, Checksum& checksum, char* buffer, size_t size, int64_t expected) {
    checksum.reset();
    int64_t total = 0;
    while (total != expected) {
        const ssize_t got = ::pread(fd, buffer, size, static_cast<off_t>(total));
        if (got == 0) return total;
        if (got < 0) {
            if (errno == EINTR) continue;
            return -1;
        }
        checksum.add(buffer, static_cast<size_t>(got));
        total += got;
    }
    return total;
}

std::string manifestName(int64_t shift) {
    return "vellort-manifest-" + std::to_string(static_cast<long long>(shift)) + ".xxh128";
}

}  // namespace UTILITIES
