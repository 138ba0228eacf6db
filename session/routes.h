// Where a game's datagram to another member of the session goes: the launcher turns
// the relay service's member table into routes for the proxy. Platform-free.
#pragma once

#include <cstddef>
#include <cstdint>

#include "protocol/wire.h"

namespace ozlan {

// The routes for the other members (at most `capacity`, first match kept):
// * a member reached only through the relay service: its relayed address, its own
//   address when that is where the relay sees it (no router in between), and its
//   router's public address when no other member sits behind that router, all through
//   the launcher to its relayed address;
// * a member behind the same router: its relayed address, straight to its own address;
// * a member reached straight: its relayed address, straight to where the relay sees it.
// Addresses that are no unicast address (0, loopback, broadcast) are never routed.
size_t BuildRoutes(const MemberAddresses* members, size_t count, Route* out, size_t capacity);

}  // namespace ozlan
