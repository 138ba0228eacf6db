// The link keeper with three real relay services: a relay that dies without a word is
// left for the next within seconds, and a link that waited on its session's second relay
// goes back to the first once it is there again. Real processes on loopback.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "protocol/wire.h"
#include "session/relay_link.h"
#include "tests/support/relay_process.h"
#include "transport/transport.h"

namespace ozlan::test {
namespace {

int g_addresses = 0;  // address messages: the relay took a join
std::string g_session = "watched";

void OnMessage(const uint8_t*, int32_t, int32_t type, int32_t, void*) {
    if (uint32_t(type) == kAddressMessageType) ++g_addresses;
}

void SendJoin(RelayLinkState& link, int32_t, bool) {
    uint8_t join[kJoinMessageSize];
    WriteJoinMessage(join, g_session.c_str(), kJoinFlagRelayedTraffic);
    RelayLinkSendJoin(link, join, sizeof join, kJoinMessageType);
}

class RelayWatchTest : public ::testing::Test {
  protected:
    void SetUp() override {
        TransportReset();
        SetTransportLogSink(nullptr);
        g_addresses = 0;
        g_session = "watched";
    }
    void TearDown() override {
        RelayLinkForget(link_);
        TransportReset();
    }
    // The relays in the order the session puts them.
    std::vector<RelayAddress> Ordered(const std::vector<uint16_t>& ports) {
        std::vector<RelayAddress> list;
        for (uint16_t port : ports) {
            RelayAddress a;
            ResolveIPv4("127.0.0.1", &a.ip);
            a.port = port;
            std::snprintf(a.text, sizeof a.text, "127.0.0.1");
            list.push_back(a);
        }
        OrderRelaysForSession(g_session.c_str(), &list);
        return list;
    }
    void Begin(const std::vector<RelayAddress>& relays) {
        ASSERT_NE(0, RelayLinkBegin(link_, CreateEndpoint(0), relays, OnMessage, SendJoin));
    }
    // Ticks the keeper and passes the transport until done() or `ms` are up.
    template <class Done>
    bool RunUntil(Done done, int ms) {
        auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        while (!done()) {
            if (std::chrono::steady_clock::now() > end) return false;
            RelayLinkTick(link_);
            TransportThink(0);
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        return true;
    }
    uint16_t CurrentPort() const { return link_.relays[link_.current].port; }

    RelayLinkState link_;
};

TEST_F(RelayWatchTest, ARelayThatDiesWithoutAWordIsLeftForTheNextWithinSeconds) {
    RelayProcess a, b, c;
    std::vector<RelayAddress> relays = Ordered({a.port(), b.port(), c.port()});
    Begin(relays);
    ASSERT_TRUE(RunUntil([] { return g_addresses == 1; }, 5000));
    RelayProcess* first = nullptr;
    for (RelayProcess* r : {&a, &b, &c}) {
        if (r->port() == relays[0].port) first = r;
    }
    ASSERT_EQ(relays[0].port, CurrentPort());
    // The game sends something; the relay is gone: no acknowledgement comes.
    first->Kill();
    auto killed = std::chrono::steady_clock::now();
    uint8_t message[kRelayHeaderSize + kLinkHeaderSize];
    WriteRelayHeader(message, g_session.c_str(), uint32_t(kLinkHeaderSize));
    WriteLinkHeader(message + kRelayHeaderSize, 4000);
    RelayLinkSend(link_, message, sizeof message);
    ASSERT_TRUE(RunUntil([] { return g_addresses == 2; }, 10000));
    auto moved_ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                        std::chrono::steady_clock::now() - killed)
                        .count();
    EXPECT_LT(moved_ms, kSilentRelayMs + 2000);
    EXPECT_GE(moved_ms, kSilentRelayMs);  // not before it was silent that long
    EXPECT_EQ(relays[1].port, CurrentPort());
    EXPECT_EQ(1u, link_.silent_moves);
    EXPECT_TRUE(RelayLinkJoined(link_));
}

// A relay in the list whose connect cannot even start (here port 0, as a name that no
// longer resolves): it takes its probe's time, then the next relay is asked.
TEST_F(RelayWatchTest, ARelayThatCannotBeAskedIsPassedOverForTheNext) {
    RelayProcess a, c;
    std::vector<RelayAddress> relays = Ordered({a.port(), c.port()});
    RelayAddress unreachable = relays[0];
    unreachable.port = 0;
    relays.insert(relays.begin() + 1, unreachable);
    Begin(relays);
    ASSERT_TRUE(RunUntil([] { return g_addresses == 1; }, 5000));
    RelayProcess* first = a.port() == relays[0].port ? &a : &c;
    first->Kill();
    auto killed = std::chrono::steady_clock::now();
    uint8_t message[kRelayHeaderSize + kLinkHeaderSize];
    WriteRelayHeader(message, g_session.c_str(), uint32_t(kLinkHeaderSize));
    WriteLinkHeader(message + kRelayHeaderSize, 4000);
    RelayLinkSend(link_, message, sizeof message);  // the game sends: nothing answers
    ASSERT_TRUE(RunUntil([] { return g_addresses == 2; }, 12000));
    auto moved_ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                        std::chrono::steady_clock::now() - killed)
                        .count();
    EXPECT_GE(moved_ms, kSilentRelayMs + kSilentProbeWaitMs);
    EXPECT_LT(moved_ms, kSilentRelayMs + kSilentProbeWaitMs + 2000);
    EXPECT_EQ(relays[2].port, CurrentPort());
}

TEST_F(RelayWatchTest, ALinkOnItsSessionsSecondRelayGoesBackToTheFirstOnceItIsThere) {
    uint16_t first_port = FreeUdpPort();
    RelayProcess b, c;
    // A session that puts the relay that is down first.
    std::vector<RelayAddress> relays;
    for (int n = 0; relays.empty() || relays[0].port != first_port; ++n) {
        g_session = "watched-" + std::to_string(n);
        relays = Ordered({first_port, b.port(), c.port()});
    }
    Begin(relays);
    // The first does not answer: after its wait the link is on the second.
    ASSERT_TRUE(RunUntil([] { return g_addresses == 1; }, 8000));
    EXPECT_EQ(relays[1].port, CurrentPort());
    RelayProcess a(first_port, {});
    auto back = std::chrono::steady_clock::now();
    ASSERT_TRUE(RunUntil([] { return g_addresses == 2; }, 12000));
    auto moved_ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                        std::chrono::steady_clock::now() - back)
                        .count();
    EXPECT_LE(moved_ms, kHomeProbeMaxMs + 1000);
    EXPECT_EQ(first_port, CurrentPort());
    EXPECT_EQ(1u, link_.home_moves);
    // And it stays there.
    RunUntil([] { return false; }, 1500);
    EXPECT_EQ(first_port, CurrentPort());
    EXPECT_EQ(2, g_addresses);
}

}  // namespace
}  // namespace ozlan::test
