#include "wsock32/exchange_memory.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

using namespace ozlan;

namespace {

uint32_t Ip(uint8_t a, uint8_t b, uint8_t c, uint8_t d) {
    const uint8_t bytes[4] = {a, b, c, d};
    uint32_t ip;
    std::memcpy(&ip, bytes, 4);
    return ip;
}

const uint32_t kRelayed = Ip(172, 20, 7, 2);   // a public member's relayed address
const uint32_t kPublic = Ip(203, 0, 2, 2);     // ... and its real one
const uint32_t kNeighbour = Ip(10, 97, 1, 3);  // a member behind the same router
const uint32_t kNeighbourRelayed = Ip(172, 20, 7, 3);

std::vector<Route> Routes() {
    return {{kRelayed, kRelayed, kRouteThroughLauncher},
            {kPublic, kRelayed, kRouteThroughLauncher},
            {kNeighbourRelayed, kNeighbour, kRouteStraight}};
}

TEST(ExchangeMemory, EachMemberAndPortAnswersFromTheAddressLastSentTo) {
    ExchangeMemory memory;
    // Nothing sent yet: every member shows as it arrives.
    EXPECT_EQ(kRelayed, AddressSeenFor(memory, kRelayed, 4000));
    EXPECT_EQ(kNeighbour, AddressSeenFor(memory, kNeighbour, 4000));
    // A client that connects to the real address a server advertised.
    RememberExchange(memory, kRelayed, 4000, kPublic);
    EXPECT_EQ(kPublic, AddressSeenFor(memory, kRelayed, 4000));
    // The port the server then moves the client to answers from that address too.
    EXPECT_EQ(kPublic, AddressSeenFor(memory, kRelayed, 4001));
    // A neighbour known by the relayed address it advertised, reached straight.
    RememberExchange(memory, kNeighbour, 27900, kNeighbourRelayed);
    EXPECT_EQ(kNeighbourRelayed, AddressSeenFor(memory, kNeighbour, 27900));
    EXPECT_EQ(kPublic, AddressSeenFor(memory, kRelayed, 4000));
    // A game that mixes two addresses of one member on purpose: each port keeps its
    // own, and other ports follow the last one sent to.
    RememberExchange(memory, kRelayed, 5000, kRelayed);
    EXPECT_EQ(kPublic, AddressSeenFor(memory, kRelayed, 4000));
    EXPECT_EQ(kRelayed, AddressSeenFor(memory, kRelayed, 5000));
    EXPECT_EQ(kRelayed, AddressSeenFor(memory, kRelayed, 6000));
    // The same port sent to at another address: the last one holds.
    RememberExchange(memory, kRelayed, 4000, kRelayed);
    EXPECT_EQ(kRelayed, AddressSeenFor(memory, kRelayed, 4000));
    EXPECT_EQ(kRelayed, KnownMember(memory, kRelayed));
    EXPECT_EQ(0u, KnownMember(memory, kPublic));  // no routes yet
}

TEST(ExchangeMemory, MembersThatLeaveOrRejoinElsewhereAreForgotten) {
    ExchangeMemory memory;
    std::vector<Route> routes = Routes();
    RememberExchange(memory, kRelayed, 4000, kPublic);
    RememberExchange(memory, kNeighbour, 4000, kNeighbourRelayed);
    FollowRoutes(memory, routes.data(), routes.size());
    EXPECT_EQ(kPublic, AddressSeenFor(memory, kRelayed, 4000));
    EXPECT_EQ(kNeighbourRelayed, AddressSeenFor(memory, kNeighbour, 4000));
    // The public member rejoined from another address: its old one no longer reaches it.
    routes[1].match = Ip(203, 0, 9, 9);
    FollowRoutes(memory, routes.data(), routes.size());
    EXPECT_EQ(kRelayed, AddressSeenFor(memory, kRelayed, 4000));
    EXPECT_EQ(kRelayed, KnownMember(memory, kRelayed));  // still a member: routes lead to it
    EXPECT_EQ(0u, KnownMember(memory, kPublic));
    // The neighbour left: its routes are gone, and so is what was sent to it.
    routes.pop_back();
    FollowRoutes(memory, routes.data(), routes.size());
    EXPECT_EQ(kNeighbour, AddressSeenFor(memory, kNeighbour, 4000));
    EXPECT_EQ(0u, memory.count);
    // The key itself stays for as long as a route leads to it.
    RememberExchange(memory, kRelayed, 4000, kRelayed);
    FollowRoutes(memory, routes.data(), routes.size());
    EXPECT_EQ(2u, memory.count);
}

TEST(ExchangeMemory, AMemberReachedThroughTheRelayIsOneMemberAtEachOfItsAddresses) {
    ExchangeMemory memory;
    std::vector<Route> routes = Routes();
    FollowRoutes(memory, routes.data(), routes.size());
    // A datagram that came straight from its real address while the routes changed
    // shows at its relayed address, as everything else from it...
    EXPECT_EQ(kRelayed, KnownMember(memory, kPublic));
    EXPECT_EQ(kRelayed, AddressSeenFor(memory, kPublic, 4000));
    // ... unless the game sent to the real address: then from there, whichever way.
    RememberExchange(memory, KnownMember(memory, kPublic), 4000, kPublic);
    EXPECT_EQ(kPublic, AddressSeenFor(memory, kPublic, 4000));
    EXPECT_EQ(kPublic, AddressSeenFor(memory, kRelayed, 4000));
    // An address no route names is nobody's: as it arrives.
    EXPECT_EQ(0u, KnownMember(memory, Ip(203, 0, 77, 1)));
    EXPECT_EQ(Ip(203, 0, 77, 1), AddressSeenFor(memory, Ip(203, 0, 77, 1), 4000));
}

TEST(ExchangeMemory, ManyMembersAndPortsKeepTheLatestWithinTheTable) {
    ExchangeMemory memory;
    // More exchanges than the table holds: the one used longest ago makes room.
    for (uint32_t i = 0; i < 3 * kMaxRememberedExchanges; ++i) {
        RememberExchange(memory, Ip(172, 20, 8, uint8_t(1 + i % 200)), uint16_t(2000 + i),
                         Ip(203, 0, 3, uint8_t(i % 250)));
        ASSERT_LE(memory.count, kMaxRememberedExchanges);
    }
    uint32_t last = 3 * kMaxRememberedExchanges - 1;
    EXPECT_EQ(
        Ip(203, 0, 3, uint8_t(last % 250)),
        AddressSeenFor(memory, Ip(172, 20, 8, uint8_t(1 + last % 200)), uint16_t(2000 + last)));
    // An entry read often survives a flood of new ones.
    RememberExchange(memory, kRelayed, 4000, kPublic);
    for (uint32_t i = 0; i < 2 * kMaxRememberedExchanges; ++i) {
        RememberExchange(memory, Ip(172, 20, 9, uint8_t(1 + i % 200)), uint16_t(3000 + i),
                         Ip(203, 0, 4, 1));
        ASSERT_EQ(kPublic, AddressSeenFor(memory, kRelayed, 4000)) << i;
    }
}

}  // namespace
