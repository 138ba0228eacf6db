// Arbitrary bytes as a stream message: the reader never reads past them, and what it
// accepts writes back to the same bytes.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "protocol/stream_wire.h"

using namespace ozlan;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    StreamHeader h;
    const uint8_t* bytes = nullptr;
    size_t n = 0;
    if (!ParseStreamMessage(data, size, &h, &bytes, &n)) return 0;
    if (n > kStreamMaxData || bytes != data + kStreamHeaderSize) __builtin_trap();
    static uint8_t out[kStreamMaxMessage];
    size_t written = WriteStreamMessage(out, h, bytes, n);
    if (written != size || std::memcmp(out, data, size) != 0) __builtin_trap();
    uint32_t window, streams;
    ParseStreamOffer(data, size, &window, &streams);
    return 0;
}
