// The member table's wire form and the proxy's routes made from it.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "protocol/wire.h"
#include "session/routes.h"
#include "tests/support/transport_harness.h"

namespace ozlan {
namespace {

using test::Ip;

std::vector<Route> Routes(const std::vector<MemberAddresses>& members) {
    std::vector<Route> out(kMaxRoutes);
    out.resize(BuildRoutes(members.data(), members.size(), out.data(), out.size()));
    return out;
}

void ExpectRoute(const std::vector<Route>& routes, uint32_t match, uint32_t target,
                 RouteKind kind) {
    const Route* r = FindRoute(routes.data(), routes.size(), match);
    ASSERT_NE(nullptr, r);
    EXPECT_EQ(target, r->target);
    EXPECT_EQ(kind, r->kind);
}

TEST(Routes, APublicMemberThroughTheRelayIsReachedAtEachOfItsAddresses) {
    uint32_t relayed = Ip(172, 20, 7, 9), real = Ip(203, 0, 2, 2);
    auto routes = Routes({{relayed, real, real, kMemberThroughRelay}});
    ASSERT_EQ(2u, routes.size());
    ExpectRoute(routes, relayed, relayed, kRouteThroughLauncher);
    ExpectRoute(routes, real, relayed, kRouteThroughLauncher);
}

TEST(Routes, ARouterAddressIsRoutedOnlyWhenOneMemberSitsBehindIt) {
    uint32_t router1 = Ip(203, 0, 11, 2), router2 = Ip(203, 0, 12, 2);
    auto routes = Routes({{Ip(172, 20, 7, 1), router1, Ip(10, 97, 1, 2), kMemberThroughRelay},
                          {Ip(172, 20, 7, 2), router1, Ip(10, 97, 1, 3), kMemberThroughRelay},
                          {Ip(172, 20, 7, 3), router2, Ip(10, 97, 2, 2), kMemberThroughRelay}});
    ExpectRoute(routes, router2, Ip(172, 20, 7, 3), kRouteThroughLauncher);
    EXPECT_EQ(nullptr, FindRoute(routes.data(), routes.size(), router1));
    // Their private addresses may be anybody's on this player's own network.
    EXPECT_EQ(nullptr, FindRoute(routes.data(), routes.size(), Ip(10, 97, 1, 2)));
    EXPECT_EQ(nullptr, FindRoute(routes.data(), routes.size(), Ip(10, 97, 2, 2)));
    EXPECT_EQ(4u, routes.size());
}

TEST(Routes, MembersReachedStraightAreSentToWhereTheyAre) {
    uint32_t neighbour = Ip(10, 97, 1, 3), public_member = Ip(203, 0, 3, 2);
    auto routes = Routes({{Ip(172, 20, 7, 2), Ip(203, 0, 11, 2), neighbour, kMemberSameRouter},
                          {Ip(172, 20, 7, 4), public_member, public_member, 0}});
    ASSERT_EQ(2u, routes.size());
    ExpectRoute(routes, Ip(172, 20, 7, 2), neighbour, kRouteStraight);
    ExpectRoute(routes, Ip(172, 20, 7, 4), public_member, kRouteStraight);
}

TEST(Routes, UnusableAddressesAndAFullTableAreLeftOut) {
    // A neighbour that has not said its address yet; loopback and broadcast never.
    auto routes =
        Routes({{Ip(172, 20, 7, 2), Ip(203, 0, 11, 2), 0, kMemberSameRouter},
                {Ip(172, 20, 7, 3), Ip(127, 0, 0, 1), Ip(127, 0, 0, 1), kMemberThroughRelay},
                {Ip(172, 20, 7, 4), 0xFFFFFFFFu, 0xFFFFFFFFu, 0}});
    ASSERT_EQ(1u, routes.size());
    ExpectRoute(routes, Ip(172, 20, 7, 3), Ip(172, 20, 7, 3), kRouteThroughLauncher);
    std::vector<MemberAddresses> many;
    for (int i = 1; i <= 254; ++i) {
        uint32_t real = Ip(203, 0, 50, uint8_t(i));
        many.push_back({Ip(172, 20, 7, uint8_t(i)), real, real, kMemberThroughRelay});
    }
    Route small[5];
    EXPECT_EQ(5u, BuildRoutes(many.data(), many.size(), small, 5));
    EXPECT_EQ(508u, Routes(many).size());
}

TEST(MembersMessage, ExactBytesAndRoundTrip) {
    MemberAddresses members[2] = {{Ip(172, 20, 7, 1), Ip(203, 0, 11, 2), Ip(10, 97, 1, 2), 1},
                                  {Ip(172, 20, 7, 2), Ip(203, 0, 1, 2), Ip(203, 0, 1, 2), 0}};
    uint8_t out[MembersMessageSize(2)];
    ASSERT_EQ(36u, WriteMembersMessage(out, members, 2));
    const uint8_t expected[36] = {2,   0,  0, 0, 172, 20, 7, 1, 203, 0,  11, 2,
                                  10,  97, 1, 2, 1,   0,  0, 0, 172, 20, 7,  2,
                                  203, 0,  1, 2, 203, 0,  1, 2, 0,   0,  0,  0};
    EXPECT_EQ(0, std::memcmp(expected, out, sizeof expected));
    MemberAddresses back[kMaxMemberEntries];
    size_t count = 0;
    ASSERT_TRUE(ReadMembersMessage(out, sizeof out, back, &count));
    ASSERT_EQ(2u, count);
    EXPECT_EQ(members[0].own, back[0].own);
    EXPECT_EQ(1, back[0].flags);
    EXPECT_EQ(members[1].seen, back[1].seen);
}

TEST(MembersMessage, RefusesWrongSizesAndCounts) {
    uint8_t buffer[MembersMessageSize(kMaxMemberEntries) + 16] = {};
    MemberAddresses back[kMaxMemberEntries];
    size_t count = 99;
    EXPECT_FALSE(ReadMembersMessage(buffer, 3, back, &count));
    buffer[0] = 1;
    EXPECT_FALSE(ReadMembersMessage(buffer, MembersMessageSize(1) - 1, back, &count));
    EXPECT_FALSE(ReadMembersMessage(buffer, MembersMessageSize(1) + 1, back, &count));
    buffer[0] = 255;  // one more than a /24 holds
    EXPECT_FALSE(ReadMembersMessage(buffer, MembersMessageSize(255), back, &count));
    EXPECT_EQ(99u, count);
    buffer[0] = 0;
    EXPECT_TRUE(ReadMembersMessage(buffer, kMembersHeaderSize, back, &count));
    EXPECT_EQ(0u, count);
}

TEST(NetworksMessage, ExactBytesAndBounds) {
    IPv4Network networks[kMaxReportedNetworks + 1];
    for (auto& n : networks) n = {Ip(10, 97, 1, 2), Ip(255, 255, 255, 0)};
    uint8_t out[NetworksMessageSize(kMaxReportedNetworks)];
    // At most 16 go out.
    EXPECT_EQ(129u, WriteNetworksMessage(out, networks, kMaxReportedNetworks + 1));
    EXPECT_EQ(16, out[0]);
    const uint8_t first[9] = {16, 10, 97, 1, 2, 255, 255, 255, 0};
    EXPECT_EQ(0, std::memcmp(first, out, 9));
    IPv4Network back[kMaxReportedNetworks];
    size_t count = 0;
    ASSERT_TRUE(ReadNetworksMessage(out, 129, back, &count));
    EXPECT_EQ(16u, count);
    EXPECT_FALSE(ReadNetworksMessage(out, 128, back, &count));
    out[0] = 17;
    EXPECT_FALSE(ReadNetworksMessage(out, NetworksMessageSize(17), back, &count));
    EXPECT_FALSE(ReadNetworksMessage(out, 0, back, &count));
}

}  // namespace
}  // namespace ozlan
