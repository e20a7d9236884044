// MessageServer::buildFrame on any code, subject and text: the length field
// must count the bytes that follow it, both texts must end in their NUL, and a
// client splitting the frame as documented must get the texts back.
#include <stddef.h>
#include <stdint.h>

#include <string>

#include <fuzzer/FuzzedDataProvider.h>

#include "fuzz/FuzzCheck.h"
#include "net/MessageServer.h"

namespace {

uint32_t bigEndian32(const std::string& frame, size_t at) {
    return static_cast<uint32_t>(static_cast<unsigned char>(frame[at])) << 24 |
           static_cast<uint32_t>(static_cast<unsigned char>(frame[at + 1])) << 16 |
           static_cast<uint32_t>(static_cast<unsigned char>(frame[at + 2])) << 8 |
           static_cast<uint32_t>(static_cast<unsigned char>(frame[at + 3]));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider provider(data, size);
    const int code = provider.ConsumeIntegral<int>();
    const std::string subject = provider.ConsumeRandomLengthString();
    const std::string text = provider.ConsumeRemainingBytesAsString();

    const std::string frame = MessageServer::buildFrame(code, subject, text);
    FUZZ_REQUIRE(frame.size() == 4 + 4 + subject.size() + 1 + text.size() + 1);
    FUZZ_REQUIRE(bigEndian32(frame, 0) == frame.size() - 4);
    FUZZ_REQUIRE(bigEndian32(frame, 4) == static_cast<uint32_t>(code));
    FUZZ_REQUIRE(frame.compare(8, subject.size(), subject) == 0);
    FUZZ_REQUIRE(frame[8 + subject.size()] == '\0');
    FUZZ_REQUIRE(frame.compare(8 + subject.size() + 1, text.size(), text) == 0);
    FUZZ_REQUIRE(frame.back() == '\0');

    // The daemon's subjects and texts hold no NUL of their own; for those the
    // client's split at the NULs is exact.
    if (subject.find('\0') == std::string::npos && text.find('\0') == std::string::npos) {
        const std::string payload = frame.substr(8);
        const size_t firstNul = payload.find('\0');
        FUZZ_REQUIRE(payload.substr(0, firstNul) == subject);
        FUZZ_REQUIRE(payload.find('\0', firstNul + 1) == payload.size() - 1);
        FUZZ_REQUIRE(payload.substr(firstNul + 1, payload.size() - firstNul - 2) == text);
    }
    return 0;
}
