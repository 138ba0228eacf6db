// Sending: fragmentation on the wire, message ids, resends, time-outs, heartbeats,
// acknowledgements and the pass loop.
#include "tests/support/transport_fixture.h"

namespace ozlan::test {
namespace {

struct FragmentCase {
    size_t size;
    std::vector<uint16_t> lens;
};

TEST_F(TransportTest, FragmentationBoundariesOnTheWire) {
    RawPeer peer;
    Endpoint* ep;
    int32_t id = ConnectedTo(peer, &ep);
    const FragmentCase cases[] = {
        {0, {0}}, {1, {1}}, {1399, {1399}}, {1400, {1400, 0}}, {3000, {1400, 1400, 200}}};
    for (const auto& c : cases) {
        std::vector<uint8_t> body = Pattern(c.size, uint32_t(c.size));
        ASSERT_EQ(0, TransportSend(id, body.data(), int32_t(body.size()), 8));
        TransportThink(0);
        auto sent = peer.Drain();
        ASSERT_EQ(c.lens.size(), sent.size()) << c.size;
        std::vector<uint8_t> joined;
        for (size_t k = 0; k < sent.size(); ++k) {
            EXPECT_EQ(sent[0].header.id, sent[k].header.id);
            EXPECT_EQ(8, sent[k].header.type);
            EXPECT_EQ(k + 1, sent[k].header.seq);
            EXPECT_EQ(c.lens.size(), sent[k].header.total);
            EXPECT_EQ(c.lens[k], sent[k].header.len);
            joined.insert(joined.end(), sent[k].payload.begin(), sent[k].payload.end());
        }
        EXPECT_EQ(body, joined);
    }
}

TEST_F(TransportTest, IdsRunAcrossConnectionsAndAcknowledgementsTakeOne) {
    RawPeer peer;
    Endpoint* ep = CreateEndpoint(0);
    int32_t a = Connect(ep, "127.0.0.1", peer.port());  // id 1 (connect)
    int32_t b = Connect(ep, "127.0.0.1", peer.port());  // id 2
    uint8_t x = 0;
    TransportSend(a, &x, 1, 8);  // id 3
    TransportSend(b, &x, 1, 8);  // id 4
    TransportThink(0);
    peer.Drain();
    // A user message from the peer is acknowledged with the next id (5).
    peer.SendTo(ep->local_port, MakeDatagram(40, 8, 1, 1, {1, 2}));
    ThinkWhenReadable(ep);
    TransportSend(a, &x, 1, 8);  // id 6
    TransportThink(0);
    auto sent = peer.Drain();
    ASSERT_EQ(2u, sent.size());
    EXPECT_EQ(MSG_ACK, sent[0].header.type);
    EXPECT_EQ(5u, sent[0].header.id);
    EXPECT_EQ(6u, sent[1].header.id);
}

TEST_F(TransportTest, SendOnUnknownIdFailsWithoutUsingAnId) {
    RawPeer peer;
    Endpoint* ep = CreateEndpoint(0);
    EXPECT_EQ(-1, TransportSend(0, "x", 1, 8));
    EXPECT_EQ(TRANSPORT_ERR_NO_CONNECTION, TransportLastError());
    int32_t id = Connect(ep, "127.0.0.1", peer.port());  // takes id 1
    EXPECT_EQ(0, TransportSend(id, "x", -5, 0));         // uses id 2, sends nothing
    EXPECT_EQ(0, TransportSend(id, "y", 1, 8));          // id 3
    TransportThink(0);
    auto sent = peer.Drain();
    ASSERT_EQ(2u, sent.size());
    EXPECT_EQ(1u, sent[0].header.id);
    EXPECT_EQ(3u, sent[1].header.id);
}

int g_timeouts = 0;
int32_t g_timed_out_id = 0;
void OnTimedOut(int32_t id, int32_t event, void*) {
    EXPECT_EQ(EVENT_TIMED_OUT, event);
    g_timed_out_id = id;
    ++g_timeouts;
}

TEST_F(TransportTest, UnansweredMessageIsResentTwiceThenTimesOut) {
    g_timeouts = 0;
    RawPeer peer;
    Endpoint* ep = CreateEndpoint(0);
    int32_t id = Connect(ep, "127.0.0.1", peer.port());
    SetEventCallback(id, EVENT_TIMED_OUT, OnTimedOut);
    TransportThink(0);
    ASSERT_EQ(1u, peer.Drain().size());

    FakeClock::Advance(10000);
    TransportThink(0);  // idle exactly 10000 ms: not yet
    EXPECT_TRUE(peer.Drain(30).empty());
    FakeClock::Advance(1);
    TransportThink(0);
    EXPECT_EQ(1u, peer.Drain().size());
    std::string port = std::to_string(ep->local_port);
    EXPECT_TRUE(
        LogCapture::Contains("Message 1 being resent (1 tries so far) on address 1. 72 "
                             "bytes, 1 of 1, 127.0.0.1:" +
                             port + "\n"));
    FakeClock::Advance(10001);
    TransportThink(0);
    EXPECT_EQ(1u, peer.Drain().size());
    EXPECT_TRUE(
        LogCapture::Contains("Message 1 being resent (2 tries so far) on address 1. 72 "
                             "bytes, 1 of 1, 127.0.0.1:" +
                             port + "\n"));
    FakeClock::Advance(9998);  // age 30000: not yet
    TransportThink(0);
    EXPECT_EQ(0, g_timeouts);
    FakeClock::Advance(1);
    TransportThink(0);
    EXPECT_EQ(1, g_timeouts);
    EXPECT_EQ(id, g_timed_out_id);
    EXPECT_TRUE(peer.Drain(30).empty());  // no third resend
    EXPECT_TRUE(
        LogCapture::Contains("Message 1 timed out on address 1. 72 bytes, 1 of 1, "
                             "127.0.0.1:" +
                             port + "\n"));
    EXPECT_EQ(-1, TransportSend(id, "x", 1, 8));
    EXPECT_EQ(TRANSPORT_ERR_NO_CONNECTION, TransportLastError());
}

TEST_F(TransportTest, UserMessagesAreResentAfterTheMeasuredRoundTrip) {
    RawPeer peer;
    Endpoint* ep;
    int32_t id = ConnectedTo(peer, &ep);  // its connect was acknowledged at once
    EXPECT_EQ(kMinResendIntervalMs, TransportResendIntervalMs(id));
    TransportSend(id, "lost", 4, 8);
    TransportThink(0);
    ASSERT_EQ(1u, peer.Drain().size());  // and never acknowledged
    FakeClock::Advance(100);
    TransportThink(0);
    EXPECT_TRUE(peer.Drain(30).empty());
    FakeClock::Advance(1);
    TransportThink(0);
    auto resent = peer.Drain();
    ASSERT_EQ(1u, resent.size());
    EXPECT_EQ(std::vector<uint8_t>({'l', 'o', 's', 't'}), resent[0].payload);
    // Each further try waits twice as long.
    FakeClock::Advance(200);
    TransportThink(0);
    EXPECT_TRUE(peer.Drain(30).empty());
    FakeClock::Advance(1);
    TransportThink(0);
    EXPECT_EQ(1u, peer.Drain().size());
    EXPECT_EQ(401, TransportNextDueMs(100000));  // the third try waits 400 ms
    std::vector<uint8_t> ack(8);
    WriteAckBody(ack.data(), resent[0].header.id, 8, 1);
    peer.SendTo(ep->local_port, MakeDatagram(9100, MSG_ACK, 1, 1, ack));
    ThinkWhenReadable(ep);
    EXPECT_EQ(0u, TransportPendingCount(id));
    // A resent message tells nothing of the round trip; a slow answer to a first send does.
    EXPECT_EQ(kMinResendIntervalMs, TransportResendIntervalMs(id));
    TransportSend(id, "slow", 4, 8);
    TransportThink(0);
    Datagram slow;
    ASSERT_TRUE(peer.Receive(&slow));
    FakeClock::Advance(800);
    WriteAckBody(ack.data(), slow.header.id, 8, 1);
    peer.SendTo(ep->local_port, MakeDatagram(9101, MSG_ACK, 1, 1, ack));
    ThinkWhenReadable(ep);
    EXPECT_GT(TransportResendIntervalMs(id), 800);
    EXPECT_LT(TransportResendIntervalMs(id), kResendIntervalMs);
}

TEST_F(TransportTest, ManyWaitingMessagesAreResentInOrderAndAcknowledgedOnesNever) {
    RawPeer peer;
    Endpoint* ep;
    int32_t id = ConnectedTo(peer, &ep);
    for (int i = 0; i < 2000; ++i) TransportSend(id, "m", 1, 8);
    TransportThink(0);
    std::vector<Datagram> first = peer.Drain(30);
    ASSERT_EQ(2000u, first.size());
    FakeClock::Advance(101);
    TransportThink(0);
    std::vector<Datagram> again = peer.Drain(30);
    ASSERT_EQ(2000u, again.size());
    for (size_t i = 0; i < again.size(); ++i) EXPECT_EQ(first[i].header.id, again[i].header.id);
    // Every other one acknowledged: only the rest go again, still in order.
    std::vector<uint32_t> acked, waiting;
    for (size_t i = 0; i < first.size(); ++i) {
        (i % 2 ? acked : waiting).push_back(first[i].header.id);
    }
    AcknowledgeInLists(peer, ep, acked);
    EXPECT_EQ(1000u, TransportPendingCount(id));
    FakeClock::Advance(201);
    TransportThink(0);
    std::vector<Datagram> third = peer.Drain(30);
    ASSERT_EQ(1000u, third.size());
    for (size_t i = 0; i < third.size(); ++i) EXPECT_EQ(waiting[i], third[i].header.id);
    EXPECT_EQ(401, TransportNextDueMs(100000));
    // Once all are acknowledged nothing is due at their times any more.
    AcknowledgeInLists(peer, ep, waiting);
    EXPECT_EQ(0u, TransportPendingCount(id));
    EXPECT_GT(TransportNextDueMs(100000), 401);
    FakeClock::Advance(401);
    TransportThink(0);
    EXPECT_TRUE(peer.Drain(30).empty());
}

TEST_F(TransportTest, OneTimeOutPerPassAndLaterMessagesStillFire) {
    g_timeouts = 0;
    RawPeer peer;
    Endpoint* ep;
    int32_t id = ConnectedTo(peer, &ep);
    SetEventCallback(id, EVENT_TIMED_OUT, OnTimedOut);
    TransportSend(id, "a", 1, 8);
    TransportSend(id, "b", 1, 8);
    TransportThink(0);
    FakeClock::Advance(30001);
    TransportThink(0);
    EXPECT_EQ(1, g_timeouts);
    TransportThink(0);
    EXPECT_EQ(2, g_timeouts);  // the connection is gone, its message still times out
    EXPECT_EQ(id, g_timed_out_id);
    peer.Drain(30);
    TransportThink(0);
    EXPECT_EQ(2, g_timeouts);
}

TEST_F(TransportTest, HeartbeatsStartAfterConfirmationAndCarryRemoteId) {
    RawPeer peer;
    Endpoint* ep = CreateEndpoint(0);
    int32_t id = Connect(ep, "127.0.0.1", peer.port());
    TransportThink(0);
    Datagram connect;
    ASSERT_TRUE(peer.Receive(&connect));
    // Unconfirmed: no heartbeat however long it waits (the connect is acknowledged).
    std::vector<uint8_t> ack(8);
    WriteAckBody(ack.data(), connect.header.id, MSG_CONNECT, 0);
    peer.SendTo(ep->local_port, MakeDatagram(1, MSG_ACK, 1, 1, ack));
    ThinkWhenReadable(ep);
    FakeClock::Advance(20000);
    TransportThink(0);
    EXPECT_TRUE(peer.Drain(30).empty());

    std::vector<uint8_t> confirm(8);
    PutU32(confirm.data(), uint32_t(id));
    PutU32(confirm.data() + 4, 0x01020304);
    peer.SendTo(ep->local_port, MakeDatagram(2, MSG_CONFIRM_CONNECT, 1, 1, confirm));
    ThinkWhenReadable(ep);
    peer.Drain(30);             // acknowledgement of the confirm
    FakeClock::Advance(10000);  // 30000 since creation
    TransportThink(0);
    EXPECT_FALSE(LogCapture::Contains("HEARTBEAT: sending heartbeat on address 1\n"));
    FakeClock::Advance(1);
    TransportThink(0);  // queued here ...
    EXPECT_TRUE(LogCapture::Contains("HEARTBEAT: sending heartbeat on address 1\n"));
    EXPECT_TRUE(peer.Drain(30).empty());
    TransportThink(0);  // ... sent here
    Datagram hb;
    ASSERT_TRUE(peer.Receive(&hb));
    EXPECT_EQ(MSG_HEARTBEAT, hb.header.type);
    EXPECT_EQ(std::vector<uint8_t>({0x04, 0x03, 0x02, 0x01}), hb.payload);
    // Next one 30000 ms later, not before.
    LogCapture::lines.clear();
    FakeClock::Advance(30000);
    TransportThink(0);
    EXPECT_EQ(0u, LogCapture::Count("HEARTBEAT: sending heartbeat on address 1\n"));
}

TEST_F(TransportTest, AcknowledgementRemovesOnlyTheEarliestFragmentOfItsId) {
    RawPeer peer;
    Endpoint* ep;
    int32_t id = ConnectedTo(peer, &ep);
    std::vector<uint8_t> body(1400, 7);
    TransportSend(id, body.data(), 1400, 8);
    TransportThink(0);
    auto sent = peer.Drain();
    ASSERT_EQ(2u, sent.size());
    EXPECT_EQ(2u, TransportPendingCount(id));
    // A plain acknowledgement (no fragment named) removes seq 1 only.
    std::vector<uint8_t> ack(8);
    WriteAckBody(ack.data(), sent[0].header.id, 8, 0);
    peer.SendTo(ep->local_port, MakeDatagram(50, MSG_ACK, 1, 1, ack));
    ThinkWhenReadable(ep);
    EXPECT_EQ(1u, TransportPendingCount(id));
    FakeClock::Advance(10001);
    TransportThink(0);
    auto resent = peer.Drain();
    ASSERT_EQ(1u, resent.size());
    EXPECT_EQ(2, resent[0].header.seq);
    // An acknowledgement naming the fragment removes exactly that one; one for an id
    // that is not outstanding changes nothing.
    WriteAckBody(ack.data(), 999, 8, 0);
    peer.SendTo(ep->local_port, MakeDatagram(51, MSG_ACK, 1, 1, ack));
    ThinkWhenReadable(ep);
    EXPECT_EQ(1u, TransportPendingCount(id));
    WriteAckBody(ack.data(), sent[0].header.id, 8, 2);
    peer.SendTo(ep->local_port, MakeDatagram(52, MSG_ACK, 1, 1, ack));
    ThinkWhenReadable(ep);
    EXPECT_EQ(0u, TransportPendingCount(id));
}

TEST_F(TransportTest, BudgetRunsPassesWithOneMillisecondPauses) {
    int64_t start = FakeClock::now_ms;
    TransportThink(0);
    EXPECT_EQ(start, FakeClock::now_ms);  // one pass, no pause
    TransportThink(100);
    EXPECT_GE(FakeClock::now_ms - start, 100);
    EXPECT_LE(FakeClock::now_ms - start, 101);
}

}  // namespace
}  // namespace ozlan::test
