// The relay list a launcher is given, and the order every launcher of a session puts
// it in without talking to the others.
#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <string>

#include "session/relay_link.h"

namespace ozlan::test {
namespace {

std::vector<RelayAddress> Parse(const char* text, std::string* error = nullptr) {
    std::vector<RelayAddress> relays;
    char reason[200] = {};
    bool ok = ParseRelayList(text, 3669, &relays, reason, sizeof reason);
    if (error) *error = ok ? "" : reason;
    return relays;
}

std::string Text(const RelayAddress& a) {
    return std::string(a.text) + ":" + std::to_string(a.port);
}

TEST(RelayList, EntriesWithAndWithoutPortsInTheirOrderWithoutDuplicates) {
    ASSERT_TRUE(SocketStartup());  // names are looked up
    std::vector<RelayAddress> relays =
        Parse("10.0.0.1, 10.0.0.2:4000,10.0.0.1:3669,127.0.0.1:4000");
    ASSERT_EQ(3u, relays.size());
    EXPECT_EQ("10.0.0.1:3669", Text(relays[0]));
    EXPECT_EQ("10.0.0.2:4000", Text(relays[1]));
    EXPECT_EQ("127.0.0.1:4000", Text(relays[2]));
    EXPECT_EQ(4000, relays[1].port);
    uint8_t expected[4] = {10, 0, 0, 2};
    EXPECT_EQ(0, std::memcmp(expected, &relays[1].ip, 4));
    EXPECT_EQ(1u, Parse("localhost").size());
}

TEST(RelayList, BadEntriesAreRefusedWithTheirReason) {
    std::string error;
    for (const char* bad : {"", "a,,b", "10.0.0.1:", "10.0.0.1:0", "10.0.0.1:65536", "10.0.0.1:12x",
                            ":3669", "no-such-host.invalid"}) {
        EXPECT_TRUE(Parse(bad, &error).empty()) << bad;
        EXPECT_FALSE(error.empty()) << bad;
    }
    Parse("10.0.0.1,no-such-host.invalid:5", &error);
    EXPECT_EQ("cannot resolve the relay service's name 'no-such-host.invalid'", error);
    Parse("10.0.0.1:99999", &error);
    EXPECT_EQ("bad relay port in '10.0.0.1:99999'", error);
    std::string longest(kRelayListTextSize, 'a');
    EXPECT_TRUE(Parse(longest.c_str(), &error).empty());
}

TEST(RelayList, EveryLauncherOfASessionOrdersTheRelaysAlike) {
    std::vector<RelayAddress> one = Parse("10.0.0.1,10.0.0.2,10.0.0.3");
    std::vector<RelayAddress> other = Parse("10.0.0.3,10.0.0.1,10.0.0.2");
    OrderRelaysForSession("friday-night", &one);
    OrderRelaysForSession("friday-night", &other);
    for (size_t i = 0; i < one.size(); ++i) EXPECT_EQ(Text(one[i]), Text(other[i]));
    // The figures every launcher computes (docs/protocol.md), pinned so that versions
    // agree: 10.0.0.2 scores highest for this session, then 10.0.0.1, then 10.0.0.3.
    EXPECT_EQ("10.0.0.2:3669", Text(one[0]));
    EXPECT_EQ("10.0.0.1:3669", Text(one[1]));
    EXPECT_EQ(0xE3A81B8ED6813432ull, RendezvousScore("friday-night", one[0]));
    EXPECT_EQ(0x92CE7D31A823FE41ull, RendezvousScore("friday-night", one[1]));
}

TEST(RelayList, SessionsSpreadEvenlyAndARemovedRelayMovesOnlyItsOwn) {
    std::vector<RelayAddress> three = Parse("10.0.0.1,10.0.0.2,10.0.0.3");
    std::vector<RelayAddress> two = Parse("10.0.0.1,10.0.0.2");
    std::map<std::string, int> first_choice;
    int moved = 0;
    for (int n = 0; n < 3000; ++n) {
        std::string name = "session-" + std::to_string(n);
        std::vector<RelayAddress> a = three, b = two;
        OrderRelaysForSession(name.c_str(), &a);
        OrderRelaysForSession(name.c_str(), &b);
        ++first_choice[Text(a[0])];
        // Without 10.0.0.3, its sessions go elsewhere and no other session moves.
        if (Text(a[0]) != "10.0.0.3:3669") moved += Text(a[0]) != Text(b[0]);
    }
    for (const auto& [relay, count] : first_choice) {
        EXPECT_GT(count, 850) << relay;
        EXPECT_LT(count, 1150) << relay;
    }
    EXPECT_EQ(0, moved);
}

}  // namespace
}  // namespace ozlan::test
