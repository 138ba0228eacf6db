// One exchange, one address: the proxy remembers, for each other member of the session
// and each of its ports, which of the member's addresses the game last sent to, and
// shows what comes from that member and port as from that address. A game that named
// a member by its real public address, by the address it advertised, or by its
// relayed one gets the answers from exactly the address it asked.
//
// A member is known by the address its datagrams arrive from (its key): the relayed
// address for a member only the relay service reaches, the address it is reached at
// straight otherwise: the target of the launcher's routes for it. Platform-free; the
// caller holds a lock around every call.
#pragma once

#include <cstddef>
#include <cstdint>

#include "protocol/wire.h"

namespace ozlan {

// Exchanges remembered at once; the one used longest ago makes room.
constexpr size_t kMaxRememberedExchanges = 512;

struct RememberedExchange {
    uint32_t member = 0;   // the member's key (network order)
    uint16_t port = 0;     // its port (host order); 0: any port of the member
    uint32_t sent_to = 0;  // the address the game last sent to (network order)
    uint32_t used = 0;     // when it was last written or read (a counter)
};

// An address the launcher's routes say a member's datagrams may arrive from, and the
// member it is (its key): the key itself, and the real or router address of a member
// reached through the relay (a datagram that took another way while the routes
// changed is still that member's).
struct KnownAddress {
    uint32_t from = 0;  // network order, as the key
    uint32_t member = 0;
};

struct ExchangeMemory {
    RememberedExchange entries[kMaxRememberedExchanges];
    size_t count = 0;
    uint32_t clock = 0;
    KnownAddress known[kMaxRoutes];
    size_t known_count = 0;
};

// The game sent to `sent_to`:`port`, which reaches the member known by `member`.
void RememberExchange(ExchangeMemory& memory, uint32_t member, uint16_t port, uint32_t sent_to);
// The address the game should see a datagram from `source`:`port` come from: for the
// member it is, the address the game last sent to for that port, else the one it last
// sent to for any port of the member (a server that moved the game to a port of its own
// answers from it), else as the member's key when the routes know `source`
// (KnownAddress), else `source`.
uint32_t AddressSeenFor(ExchangeMemory& memory, uint32_t source, uint16_t port);
// The key of the member whose datagrams arrive from `ip` (sent to there before, or the
// routes say so); 0 for none.
uint32_t KnownMember(const ExchangeMemory& memory, uint32_t ip);
// Takes the launcher's new routes: keeps only what they still hold (a member that left,
// or rejoined with other addresses, is forgotten, and so is an address that no longer
// reaches its member), and learns where members' datagrams may arrive from.
void FollowRoutes(ExchangeMemory& memory, const Route* routes, size_t route_count);

}  // namespace ozlan
