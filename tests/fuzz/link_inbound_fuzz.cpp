// Feeds the receiving proxy's conversion of launcher datagrams with arbitrary bytes:
// it must never read or write outside the datagram, and a converted message must be
// exactly its payload, from the sender its header names.
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
    int n = int(size);
    uint32_t ip = 0;
    uint16_t port = 0;
    if (!UnwrapLinkMessage(datagram.data(), &n, &ip, &port)) {
        if (n != int(size) || std::memcmp(datagram.data(), data, size) != 0) __builtin_trap();
        return 0;
    }
    if (size < kLinkHeaderSize || n != int(size - kLinkHeaderSize)) __builtin_trap();
    if (std::memcmp(datagram.data(), data + kLinkHeaderSize, size_t(n)) != 0) __builtin_trap();
    uint16_t named = uint16_t(data[6] | (data[7] << 8));
    if (port != (named != 0 ? named : uint16_t(data[4] | (data[5] << 8)))) __builtin_trap();
    if (std::memcmp(&ip, data + 8, 4) != 0) __builtin_trap();
    return 0;
}
