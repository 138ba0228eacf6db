// A launcher's link timings (connects resent sooner and never given up, heartbeats only
// after silence), the receiving side's hook for sources it does not know, and dropping
// a connection with everything it holds.
#include <cstring>

#include "tests/support/transport_fixture.h"

namespace ozlan::test {
namespace {

LinkTimings LauncherLike() {
    LinkTimings t;
    t.connect_first_resend_ms = 250;
    t.connect_max_resend_ms = 2000;
    t.connect_timeout_ms = 0;
    t.unmeasured_resend_ms = 1000;
    t.heartbeat_ms = 10000;
    t.heartbeat_when_silent = true;
    return t;
}

int g_timed_out = 0;
void CountTimeOut(int32_t, int32_t, void*) {
    ++g_timed_out;
}

TEST_F(TransportTest, AConnectIsResentFrom250MsDoublingTo2SecondsUntilItsOwnerStops) {
    g_timed_out = 0;
    RawPeer peer;
    Endpoint* ep = CreateEndpoint(0);
    int32_t id = ConnectWithTimings(ep, "127.0.0.1", peer.port(), LauncherLike());
    SetEventCallback(id, EVENT_TIMED_OUT, CountTimeOut);
    TransportThink(0);
    ASSERT_EQ(1u, peer.Drain().size());
    // Resent when idle longer than 250, 500, 1000, 2000, 2000 ... ms.
    int64_t gaps[] = {250, 500, 1000, 2000, 2000, 2000};
    for (int64_t gap : gaps) {
        FakeClock::Advance(gap);
        TransportThink(0);
        EXPECT_TRUE(peer.Drain(20).empty()) << "early at " << gap;
        FakeClock::Advance(1);
        TransportThink(0);
        std::vector<Datagram> sent = peer.Drain();
        ASSERT_EQ(1u, sent.size()) << "after " << gap;
        EXPECT_EQ(MSG_CONNECT, sent[0].header.type);
    }
    // Never given up by the transport: a minute later it is still being sent.
    for (int i = 0; i < 30; ++i) {
        FakeClock::Advance(2001);
        TransportThink(0);
    }
    EXPECT_EQ(0, g_timed_out);
    EXPECT_EQ(30u, peer.Drain().size());
    // Its owner stops waiting: the connection goes, and nothing more is sent.
    EXPECT_TRUE(TransportDropConnection(id));
    EXPECT_FALSE(TransportDropConnection(id));
    FakeClock::Advance(5000);
    TransportThink(0);
    EXPECT_TRUE(peer.Drain(30).empty());
    EXPECT_EQ(-1, TransportSend(id, "x", 1, 8));
    EXPECT_EQ(0, g_timed_out);
}

TEST_F(TransportTest, AConnectWithATimeOutOfItsOwnGivesUpThen) {
    g_timed_out = 0;
    RawPeer peer;
    Endpoint* ep = CreateEndpoint(0);
    LinkTimings t = LauncherLike();
    t.connect_timeout_ms = 10000;
    int32_t id = ConnectWithTimings(ep, "127.0.0.1", peer.port(), t);
    SetEventCallback(id, EVENT_TIMED_OUT, CountTimeOut);
    TransportThink(0);
    for (int i = 0; i < 5; ++i) {
        FakeClock::Advance(2000);
        TransportThink(0);
    }
    EXPECT_EQ(0, g_timed_out);  // exactly 10000 ms old
    FakeClock::Advance(1);
    TransportThink(0);
    EXPECT_EQ(1, g_timed_out);
}

TEST_F(TransportTest, AHeartbeatFollowsTenSecondsOfSilenceAndNothingSooner) {
    RawPeer peer;
    Endpoint* ep = CreateEndpoint(0);
    int32_t id = ConnectWithTimings(ep, "127.0.0.1", peer.port(), LauncherLike());
    TransportThink(0);
    Datagram connect;
    ASSERT_TRUE(peer.Receive(&connect));
    std::vector<uint8_t> confirm(8);
    PutU32(confirm.data(), uint32_t(id));
    PutU32(confirm.data() + 4, 77);
    peer.SendTo(ep->local_port, MakeDatagram(9000, MSG_CONFIRM_CONNECT, 1, 1, confirm));
    std::vector<uint8_t> ack(8);
    WriteAckBody(ack.data(), connect.header.id, MSG_CONNECT, 1);
    peer.SendTo(ep->local_port, MakeDatagram(9001, MSG_ACK, 1, 1, ack));
    ThinkWhenReadable(ep);
    TransportThink(0);
    peer.Drain(30);  // the acknowledgement of the confirmation: the last datagram sent
    auto heartbeats = [&] {
        size_t n = 0;
        for (const Datagram& d : peer.Drain(20)) n += d.header.type == MSG_HEARTBEAT;
        return n;
    };
    // Traffic every 6 s keeps the link from being silent: no heartbeat in 60 s.
    for (int i = 0; i < 10; ++i) {
        FakeClock::Advance(6000);
        TransportSendDatagram(id, "game", 4, 10);
        TransportThink(0);
        EXPECT_EQ(0u, heartbeats()) << i;
    }
    // Then silence: one heartbeat once 10 s have passed, and one per 10 s after it.
    FakeClock::Advance(10000);
    TransportThink(0);
    TransportThink(0);
    EXPECT_EQ(0u, heartbeats());
    FakeClock::Advance(1);
    TransportThink(0);
    TransportThink(0);
    EXPECT_EQ(1u, heartbeats());
    FakeClock::Advance(9999);
    TransportThink(0);
    TransportThink(0);
    EXPECT_EQ(0u, heartbeats());
    FakeClock::Advance(2);
    TransportThink(0);
    TransportThink(0);
    EXPECT_EQ(1u, heartbeats());
}

TEST_F(TransportTest, UserMessagesBeforeAMeasuredRoundTripAreResentAfterTheLinksOwnWait) {
    RawPeer peer;
    Endpoint* ep = CreateEndpoint(0);
    int32_t id = ConnectWithTimings(ep, "127.0.0.1", peer.port(), LauncherLike());
    TransportThink(0);
    FakeClock::Advance(300);  // the connect went twice: no round trip measured
    TransportThink(0);
    std::vector<uint8_t> confirm(8);
    PutU32(confirm.data(), uint32_t(id));
    PutU32(confirm.data() + 4, 77);
    peer.SendTo(ep->local_port, MakeDatagram(9000, MSG_CONFIRM_CONNECT, 1, 1, confirm));
    ThinkWhenReadable(ep);
    EXPECT_EQ(1000, TransportResendIntervalMs(id));
}

struct UnknownSeen {
    SocketAddress from;
    MessageHeader header;
    size_t size = 0;
    int count = 0;
};
UnknownSeen g_unknown;
void RecordUnknown(Endpoint*, const SocketAddress& from, const MessageHeader& header, size_t size) {
    g_unknown.from = from;
    g_unknown.header = header;
    g_unknown.size = size;
    ++g_unknown.count;
}

TEST_F(TransportTest, DatagramsFromUnknownSourcesReachTheHookAndANoticeCanAnswerThem) {
    g_unknown = {};
    Endpoint* ep = CreateEndpoint(0);
    SetUnknownSourceCallback(RecordUnknown);
    RawPeer stranger;
    // A heartbeat for a link this side never had, an acknowledgement, a user message.
    stranger.SendTo(ep->local_port, MakeDatagram(5, MSG_HEARTBEAT, 1, 1, U32Body(3)));
    ThinkWhenReadable(ep);
    EXPECT_EQ(1, g_unknown.count);
    EXPECT_EQ(MSG_HEARTBEAT, g_unknown.header.type);
    EXPECT_EQ(16u, g_unknown.size);
    EXPECT_EQ(stranger.port(), HostPort(g_unknown.from));
    stranger.SendTo(ep->local_port, MakeDatagram(6, 8, 1, 1, Pattern(30)));
    ThinkWhenReadable(ep);
    EXPECT_EQ(2, g_unknown.count);
    EXPECT_EQ(42u, g_unknown.size);
    // Malformed datagrams and connects do not reach it; a connect makes a link, after
    // which the source is known.
    stranger.SendTo(ep->local_port, std::vector<uint8_t>(5, 0));
    ThinkWhenReadable(ep);
    EXPECT_EQ(2, g_unknown.count);
    std::vector<uint8_t> connect(kConnectBodySize);
    ConnectBody body;
    std::strcpy(body.host, "relay");
    body.port = stranger.port();
    body.connection_id = 4;
    WriteConnectBody(connect.data(), body);
    stranger.SendTo(ep->local_port, MakeDatagram(7, MSG_CONNECT, 1, 1, connect));
    ThinkWhenReadable(ep);
    stranger.SendTo(ep->local_port, MakeDatagram(8, 8, 1, 1, Pattern(3)));
    ThinkWhenReadable(ep);
    EXPECT_EQ(2, g_unknown.count);
    // The answer to such a source: an empty unacknowledged message, 12 bytes.
    RawPeer other;
    EXPECT_EQ(0, TransportSendDatagramTo(ep, Loopback(other.port()), nullptr, 0, 11));
    std::vector<uint8_t> notice;
    SocketAddress from;
    ASSERT_TRUE(other.ReceiveRaw(&notice, &from));
    EXPECT_EQ(std::vector<uint8_t>({0, 0, 0, 0, 11, 0, 0, 0, 0, 0, 0, 0}), notice);
    EXPECT_EQ(-1, TransportSendDatagramTo(ep, Loopback(other.port()), nullptr, 0, MSG_ACK));
}

std::vector<std::string> g_delivered;
void Deliver(const uint8_t* data, int32_t length, int32_t, int32_t, void*) {
    g_delivered.emplace_back(reinterpret_cast<const char*>(data), size_t(length));
}

TEST_F(TransportTest, ADroppedConnectionTakesItsQueueAndItsHalfGatheredMessagesAlong) {
    g_delivered.clear();
    RawPeer peer;
    Endpoint* ep = nullptr;
    int32_t id = ConnectedTo(peer, &ep);
    SetDefaultHandler(id, Deliver);
    // The first fragment of a two-fragment message, queued and unacknowledged messages.
    peer.SendTo(ep->local_port, MakeDatagram(50, 8, 1, 2, Pattern(1400)));
    ThinkWhenReadable(ep);
    TransportSend(id, "sent", 4, 8);
    TransportThink(0);
    TransportSend(id, "queued", 6, 8);
    EXPECT_EQ(2u, TransportPendingCount(id));
    ASSERT_TRUE(TransportDropConnection(id));
    EXPECT_EQ(0u, TransportPendingCount(id));
    peer.Drain(30);
    // The second fragment finds nothing to complete; nothing goes out or is resent.
    peer.SendTo(ep->local_port, MakeDatagram(50, 8, 2, 2, Pattern(10)));
    ThinkWhenReadable(ep);
    FakeClock::Advance(20000);
    TransportThink(0);
    EXPECT_TRUE(g_delivered.empty());
    EXPECT_TRUE(peer.Drain(30).empty());
}

TEST_F(TransportTest, AConnectRepeatedAfterItsLinkIsProvenIsAcknowledgedNotLinkedAgain) {
    // The answering side's acknowledgement of a connect was lost: the connecting side
    // repeats its connect, once the link is proven.
    Endpoint* ep = CreateEndpoint(0);
    RawPeer launcher;
    ConnectBody body;
    std::strcpy(body.host, "relay");
    body.port = launcher.port();
    body.connection_id = 4;
    std::vector<uint8_t> bytes(kConnectBodySize);
    WriteConnectBody(bytes.data(), body);
    launcher.SendTo(ep->local_port, MakeDatagram(7, MSG_CONNECT, 1, 1, bytes));
    ThinkWhenReadable(ep);
    Datagram confirm;
    ASSERT_TRUE(launcher.Receive(&confirm));
    ASSERT_EQ(MSG_CONFIRM_CONNECT, confirm.header.type);
    std::vector<uint8_t> ack(8);
    WriteAckBody(ack.data(), confirm.header.id, MSG_CONFIRM_CONNECT, 1);
    launcher.SendTo(ep->local_port, MakeDatagram(8, MSG_ACK, 1, 1, ack));
    ThinkWhenReadable(ep);
    TransportThink(0);
    launcher.Drain(30);  // the connect's acknowledgement, lost on its way
    launcher.SendTo(ep->local_port, MakeDatagram(7, MSG_CONNECT, 1, 1, bytes));
    ThinkWhenReadable(ep);
    TransportThink(0);
    std::vector<Datagram> answers = launcher.Drain(50);
    ASSERT_EQ(1u, answers.size());
    EXPECT_EQ(MSG_ACK, answers[0].header.type);
    EXPECT_EQ(7u, GetU32(answers[0].payload.data()));
    int32_t second = 0;
    EXPECT_FALSE(TransportConnectionInfo(2, nullptr, &second, nullptr)) << "a second link";
}

}  // namespace
}  // namespace ozlan::test
