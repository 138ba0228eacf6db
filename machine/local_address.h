// Platform-free choices about this machine's own addresses, shared by the session
// library and the Winsock proxy so that both name the machine the same way.
#pragma once

#include <cstddef>
#include <cstdint>

namespace ozlan {

// Local address choice over a host entry's address list (each `length` bytes):
// the dotted form of the first whose first octet is not 127, 192, 169 or 0.
// False, leaving `out` untouched, when none qualifies.
bool PickLocalAddress(const uint8_t* const* addresses, int length, char* out, size_t out_size);

// One IPv4 network of this machine: an interface address and its mask (network order).
struct OwnNetwork {
    uint32_t ip;
    uint32_t mask;
};

// True when `ip` (network order) is the directed broadcast address of one of the
// networks: all host bits set. Loopback networks and single-address masks have none.
bool IsDirectedBroadcast(uint32_t ip, const OwnNetwork* networks, int count);

}  // namespace ozlan
