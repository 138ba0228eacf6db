// Feeds the receiving proxy's reading of launcher datagrams with arbitrary bytes: it must
// never read outside the datagram, and a message it takes must name the sender its
// header holds.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "protocol/wire.h"

using namespace ozlan;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > kLinkMaxMessage + 64) return 0;
    // Exactly the datagram's bytes, so that the sanitizer sees any step outside them.
    std::vector<uint8_t> datagram(data, data + size);
    uint32_t ip = 0xDEADBEEF;
    uint16_t port = 0xBEEF;
    if (!ParseLinkMessage(datagram.data(), size, &ip, &port)) {
        if (ip != 0xDEADBEEF || port != 0xBEEF) __builtin_trap();
        if (size >= kLinkHeaderSize && HasLinkMagic(data, size)) __builtin_trap();
        return 0;
    }
    if (size < kLinkHeaderSize) __builtin_trap();
    uint16_t named = uint16_t(data[6] | (data[7] << 8));
    if (port != (named != 0 ? named : uint16_t(data[4] | (data[5] << 8)))) __builtin_trap();
    if (std::memcmp(&ip, data + 8, 4) != 0) __builtin_trap();
    return 0;
}
