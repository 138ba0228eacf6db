// What the relay tells each member of the others: session addresses and networks,
// member tables with how each reaches the others, and presence lists.
#include "tests/relay/relay_fixture.h"

#include <string>

namespace ozlan::test {
namespace {

std::vector<uint8_t> Networks(std::vector<IPv4Network> networks) {
    std::vector<uint8_t> m(NetworksMessageSize(networks.size()));
    WriteNetworksMessage(m.data(), networks.data(), networks.size());
    return m;
}

std::vector<MemberAddresses> Table(const std::vector<uint8_t>& message) {
    MemberAddresses entries[kMaxMemberEntries];
    size_t count = 0;
    EXPECT_TRUE(ReadMembersMessage(message.data(), message.size(), entries, &count));
    return std::vector<MemberAddresses>(entries, entries + count);
}

class SessionAddressTest : public RelayServiceTest {
  protected:
    // A launcher with session addresses: its networks, then its join; its relayed
    // address once told, then its own address.
    int32_t Member(const RelayProcess& relay, const char* session, const char* ip,
                   std::vector<IPv4Network> networks, const std::vector<uint8_t>& own,
                   uint32_t* relayed) {
        int32_t id = Launcher(relay, nullptr, ip);
        Send(id, kNetworksMessageType, Networks(networks));
        Send(id, kJoinMessageType,
             JoinMessage(session, kJoinFlagRelayedTraffic | kJoinFlagSessionAddresses));
        EXPECT_TRUE(PumpUntil([&] { return !g_addresses[id].empty(); })) << "no address";
        if (g_addresses[id].empty()) return id;
        std::memcpy(relayed, g_addresses[id][0].data(), 4);
        Send(id, kAddressMessageType, own);
        return id;
    }
};

TEST_F(SessionAddressTest, EachSessionGetsAPrivate24ThatNoneOfItsMembersNetworksUses) {
    // Two /24s to choose from: the first member's network takes one of them.
    RelayProcess relay({"--session-range", "10.200.0.0/23"});
    uint32_t a = 0, b = 0, c = 0, older = 0;
    IPv4Network home = {Ip(10, 200, 0, 7), Ip(255, 255, 255, 0)};
    Member(relay, "one", "127.0.0.2", {home}, {10, 200, 0, 7}, &a);
    Member(relay, "one", "127.0.0.3", {}, {127, 0, 0, 3}, &b);
    Member(relay, "two", "127.0.0.4", {}, {127, 0, 0, 4}, &c);
    auto network = [](uint32_t ip) {
        std::vector<uint8_t> b = Bytes(ip);
        return std::vector<uint8_t>(b.begin(), b.begin() + 3);
    };
    EXPECT_EQ(std::vector<uint8_t>({10, 200, 1}), network(a));
    EXPECT_EQ(std::vector<uint8_t>({10, 200, 1}), network(b));
    EXPECT_NE(a, b);
    EXPECT_EQ(std::vector<uint8_t>({10, 200, 0}), network(c));
    for (uint32_t ip : {a, b, c}) EXPECT_TRUE(Bytes(ip)[3] >= 1 && Bytes(ip)[3] <= 254);
    // A third session finds no network left; a launcher without session addresses
    // still gets one of 198.18.0.0/15.
    int32_t none = Launcher(relay, nullptr, "127.0.0.5");
    Send(none, kNetworksMessageType, Networks({}));
    Send(none, kJoinMessageType,
         JoinMessage("three", kJoinFlagRelayedTraffic | kJoinFlagSessionAddresses));
    RelayingLauncher(relay, "three", "127.0.0.6", {10, 0, 0, 6}, &older);
    PumpFor(200);
    EXPECT_TRUE(g_addresses[none].empty());
    EXPECT_TRUE(IsRelayedAddress(older));
    EXPECT_EQ(0, relay.Stop());
    EXPECT_EQ(1, relay.Stat("no_network"));
}

TEST_F(SessionAddressTest, AJoinBeforeItsNetworksWaitsForThemAndAnEmptySessionFreesItsNetwork) {
    RelayProcess relay({"--session-range", "10.200.0.0/24"});
    int32_t id = Launcher(relay, nullptr, "127.0.0.2");
    Send(id, kJoinMessageType,
         JoinMessage("s", kJoinFlagRelayedTraffic | kJoinFlagSessionAddresses));
    PumpFor(200);
    EXPECT_TRUE(g_addresses[id].empty());
    Send(id, kNetworksMessageType, Networks({{Ip(192, 168, 1, 4), Ip(255, 255, 255, 0)}}));
    ASSERT_TRUE(PumpUntil([&] { return !g_addresses[id].empty(); }));
    EXPECT_EQ(10, g_addresses[id][0][0]);
    // Leaving frees the network: another session takes it.
    Send(id, kJoinMessageType,
         JoinMessage("t", kJoinFlagRelayedTraffic | kJoinFlagSessionAddresses));
    ASSERT_TRUE(PumpUntil([&] { return g_addresses[id].size() == 2; }));
    EXPECT_EQ(10, g_addresses[id][1][0]);
    // Malformed networks are dropped and counted.
    Send(id, kNetworksMessageType, {3, 1, 2});
    EXPECT_EQ(0, relay.Stop());
    EXPECT_EQ(1, relay.Stat("other_type"));
}

TEST_F(SessionAddressTest, EveryMemberIsToldHowItReachesEachOtherAndOfEveryChange) {
    RelayProcess relay;
    uint32_t pub = 0, nat = 0, pub2 = 0;
    // A public member (its own address is where the relay sees it) and one behind a router.
    int32_t p = Member(relay, "s", "127.0.0.2", {}, {127, 0, 0, 2}, &pub);
    int32_t n = Member(relay, "s", "127.0.0.3", {}, {10, 97, 1, 2}, &nat);
    auto last = [](int32_t id) { return Table(g_tables[id].back()); };
    ASSERT_TRUE(PumpUntil([&] {
        return !g_tables[p].empty() && !g_tables[n].empty() && last(n).size() == 1 &&
               last(n)[0].own != 0 && last(p).size() == 1 && last(p)[0].own != 0;
    }));
    std::vector<MemberAddresses> at_p = last(p), at_n = last(n);
    EXPECT_EQ(nat, at_p[0].relayed);
    EXPECT_EQ(Ip(127, 0, 0, 3), at_p[0].seen);
    EXPECT_EQ(Ip(10, 97, 1, 2), at_p[0].own);
    EXPECT_EQ(kMemberThroughRelay, at_p[0].flags);
    EXPECT_EQ(pub, at_n[0].relayed);
    EXPECT_EQ(Ip(127, 0, 0, 2), at_n[0].own);
    EXPECT_EQ(kMemberThroughRelay, at_n[0].flags);
    // All 172.16.0.0/12, one /24.
    EXPECT_EQ(172, Bytes(pub)[0]);
    EXPECT_EQ(Bytes(pub)[1], Bytes(nat)[1]);
    EXPECT_EQ(Bytes(pub)[2], Bytes(nat)[2]);
    EXPECT_EQ(16, Bytes(pub)[1] & 0xF0);
    // A second public member: reached straight from the first, through the relay from
    // the one behind a router; one behind the same router is reached on its network.
    int32_t p2 = Member(relay, "s", "127.0.0.4", {}, {127, 0, 0, 4}, &pub2);
    uint32_t same = 0;
    int32_t n2 = Member(relay, "s", "127.0.0.3", {}, {10, 97, 1, 3}, &same);
    ASSERT_TRUE(PumpUntil([&] {
        auto t = last(p);
        return t.size() == 3 && t[1].own != 0 && t[2].own != 0 && last(n).size() == 3 &&
               last(n)[2].own != 0;
    }));
    at_p = last(p);
    EXPECT_EQ(pub2, at_p[1].relayed);
    EXPECT_EQ(0, at_p[1].flags);
    at_n = last(n);
    EXPECT_EQ(kMemberThroughRelay, at_n[1].flags);
    EXPECT_EQ(same, at_n[2].relayed);
    EXPECT_EQ(kMemberSameRouter, at_n[2].flags);
    EXPECT_EQ(Ip(10, 97, 1, 3), at_n[2].own);
    // One leaves: the others' tables lose it; nobody is told what did not change.
    size_t told_p2 = g_tables[p2].size();
    Send(n2, kJoinMessageType, JoinMessage("elsewhere"));
    ASSERT_TRUE(PumpUntil([&] { return last(p).size() == 2 && last(n).size() == 2; }));
    PumpFor(200);
    EXPECT_EQ(told_p2 + 1, g_tables[p2].size());
    // A launcher without session addresses is never told, but the others are told of it.
    uint32_t plain = 0;
    int32_t old = RelayingLauncher(relay, "s", "127.0.0.5", {127, 0, 0, 5}, &plain);
    ASSERT_TRUE(PumpUntil([&] { return last(p).size() == 3; }));
    EXPECT_TRUE(g_tables[old].empty());
    EXPECT_EQ(plain, last(p)[2].relayed);
    EXPECT_TRUE(IsRelayedAddress(plain));
}

TEST_F(SessionAddressTest, PublicMembersSeeEachOthersBroadcastsAtTheirRealAddresses) {
    // Two public members reach each other straight: their games meet at their real
    // addresses (a game may go on over TCP to where it found the other); a member behind
    // a router sees the public one at its relayed address.
    RelayProcess relay;
    uint32_t one = 0, two = 0, nat = 0;
    int32_t p1 = Member(relay, "s", "127.0.0.2", {}, {127, 0, 0, 2}, &one);
    int32_t p2 = Member(relay, "s", "127.0.0.4", {}, {127, 0, 0, 4}, &two);
    int32_t n = Member(relay, "s", "127.0.0.5", {}, {10, 97, 1, 2}, &nat);
    PumpFor(200);
    Send(p2, kRelayMessageType, RelayMessage("s", LinkMessage(771, {127, 0, 0, 4}, {6})));
    ASSERT_TRUE(PumpUntil([&] { return g_inbox[p1].size() && g_inbox[n].size(); }));
    EXPECT_EQ(LinkMessage(771, {127, 0, 0, 4}, {6}), g_inbox[p1].back());
    EXPECT_EQ(LinkMessage(771, Bytes(two), {6}), g_inbox[n].back());
}

MemberList List(const std::vector<uint8_t>& message) {
    MemberList list;
    EXPECT_TRUE(ReadMemberList(message.data(), message.size(), &list));
    return list;
}

std::string Names(const MemberList& list) {
    std::string names;
    for (size_t i = 0; i < list.listed_count; ++i) {
        if (i) names += ",";
        names += list.listed[i].name;
        if (list.listed[i].flags & kListedIsYou) names += "*";
    }
    return names;
}

TEST_F(RelayServiceTest, WhoIsInTheSessionIsToldOnJoiningAndOfEveryJoinAndLeave) {
    RelayProcess relay({"--clock-scale", "100"});
    auto join = [&](const char* session, const char* player, const char* ip, uint32_t flags) {
        int32_t id = Launcher(relay, nullptr, ip);
        std::vector<uint8_t> m(kJoinMessageSize);
        WriteJoinMessage(m.data(), session, flags, player);
        Send(id, kJoinMessageType, m);
        return id;
    };
    int32_t alice = join("friday", "alice", "127.0.0.2", kJoinFlagPresence);
    ASSERT_TRUE(PumpUntil([&] { return g_lists[alice].size() == 1; }));
    MemberList first = List(g_lists[alice][0]);
    EXPECT_EQ(kPresenceList, first.event);
    EXPECT_EQ(1, first.count);
    EXPECT_EQ("alice*", Names(first));
    // A name with control characters arrives cleaned; an older launcher's is "NoName".
    int32_t bob = join("friday",
                       "\x01"
                       "bob\x7f ",
                       "127.0.0.3", kJoinFlagPresence);
    int32_t older = join("friday", "NoName", "127.0.0.4", 0);
    ASSERT_TRUE(PumpUntil([&] { return g_lists[alice].size() == 3 && g_lists[bob].size() == 2; }));
    MemberList joined = List(g_lists[alice][1]);
    EXPECT_EQ(kPresenceJoined, joined.event);
    EXPECT_STREQ("bob", joined.subject);
    EXPECT_EQ("alice*,bob", Names(joined));
    EXPECT_EQ(kPresenceList, List(g_lists[bob][0]).event);
    EXPECT_EQ("alice,bob*", Names(List(g_lists[bob][0])));
    MemberList third = List(g_lists[alice][2]);
    EXPECT_STREQ("NoName", third.subject);
    EXPECT_EQ(3, third.count);
    EXPECT_TRUE(g_lists[older].empty());
    // The exact bytes of the list alice got when bob joined.
    std::vector<uint8_t> expected(MemberListSize(2), 0);
    expected[0] = kPresenceJoined;
    expected[2] = 2;
    std::memcpy(expected.data() + 4, "bob", 3);
    std::memcpy(expected.data() + 28, "alice", 5);
    expected[28 + 24] = kListedIsYou;
    std::memcpy(expected.data() + 56, "bob", 3);
    EXPECT_EQ(expected, g_lists[alice][1]);
    // Bob moves to another session: the others are told he left.
    Send(bob, kJoinMessageType, JoinMessage("saturday", kJoinFlagPresence));
    ASSERT_TRUE(PumpUntil([&] { return g_lists[alice].size() == 4; }));
    MemberList left = List(g_lists[alice][3]);
    EXPECT_EQ(kPresenceLeft, left.event);
    EXPECT_STREQ("NoName", left.subject);  // bob's second join named nobody
    EXPECT_EQ(2, left.count);
    ASSERT_TRUE(PumpUntil([&] { return g_lists[bob].size() == 3; }));
    EXPECT_EQ("NoName*", Names(List(g_lists[bob][2])));
    EXPECT_EQ(0, relay.Stop());
    EXPECT_EQ(7, relay.Stat("member_lists"));
}

TEST(MemberListMessage, RefusesWhatDoesNotHoldTogetherAndCleansNames) {
    MemberList list;
    list.event = kPresenceJoined;
    list.count = 3;
    std::memcpy(list.subject, "carol\x02", 7);
    list.listed_count = 2;
    std::memcpy(list.listed[0].name, "a", 1);
    std::memcpy(list.listed[1].name, "0123456789012345678901234", 23);
    uint8_t out[MemberListSize(2)];
    ASSERT_EQ(84u, WriteMemberList(out, list));
    MemberList back;
    ASSERT_TRUE(ReadMemberList(out, sizeof out, &back));
    EXPECT_STREQ("carol", back.subject);
    EXPECT_EQ(3, back.count);
    EXPECT_STREQ("01234567890123456789012", back.listed[1].name);
    EXPECT_FALSE(ReadMemberList(out, sizeof out - 1, &back));
    EXPECT_FALSE(ReadMemberList(out, 27, &back));
    out[0] = 4;  // no such event
    EXPECT_FALSE(ReadMemberList(out, sizeof out, &back));
    out[0] = 1;
    out[2] = 1;  // more entries than members
    EXPECT_FALSE(ReadMemberList(out, sizeof out, &back));
    char name[kJoinPlayerField];
    CleanPlayerName("  \tbob \x1b[31m  ", name);
    EXPECT_STREQ("bob [31m", name);
    CleanPlayerName("\x01\x02 ", name);
    EXPECT_STREQ("", name);
    CleanPlayerName("a-very-long-player-name-indeed", name);
    EXPECT_STREQ("a-very-long-player-name", name);
}
}  // namespace
}  // namespace ozlan::test
