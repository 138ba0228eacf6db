// Receive path: control messages, matching by address, the bucket and delivery.
#include <string>

#include "tests/support/transport_fixture.h"

namespace ozlan::test {
namespace {

struct Delivery {
    std::vector<uint8_t> data;
    int32_t type;
    int32_t connection_id;
};
std::vector<Delivery> g_delivered;
void Record(const uint8_t* data, int32_t length, int32_t type, int32_t id, void* zero) {
    EXPECT_EQ(nullptr, zero);
    g_delivered.push_back({std::vector<uint8_t>(data, data + length), type, id});
}

class ReceiveTest : public TransportTest {
  protected:
    void SetUp() override {
        TransportTest::SetUp();
        g_delivered.clear();
        id_ = ConnectedTo(peer_, &ep_);
        SetDefaultHandler(id_, Record);
    }
    void Send(const std::vector<uint8_t>& datagram) { peer_.SendTo(ep_->local_port, datagram); }
    RawPeer peer_;
    Endpoint* ep_ = nullptr;
    int32_t id_ = 0;
};

TEST_F(ReceiveTest, SingleFragmentIsDeliveredAndAcknowledgedInOnePass) {
    Send(MakeDatagram(300, 8, 1, 1, {1, 2, 3}));
    ThinkWhenReadable(ep_);
    ASSERT_EQ(1u, g_delivered.size());
    EXPECT_EQ(std::vector<uint8_t>({1, 2, 3}), g_delivered[0].data);
    EXPECT_EQ(8, g_delivered[0].type);
    EXPECT_EQ(id_, g_delivered[0].connection_id);
    Datagram ack;
    ASSERT_TRUE(peer_.Receive(&ack));
    EXPECT_EQ(MSG_ACK, ack.header.type);
    EXPECT_EQ(std::vector<uint8_t>({0x2C, 0x01, 0, 0, 8, 0, 1, 0}), ack.payload);
    EXPECT_TRUE(LogCapture::Contains(
        "We have an unprocessed message: id:300, len:3, type:8, seq:1 of 1\n"));
    EXPECT_TRUE(LogCapture::Contains("Adding recceived message to the bucket\n"));
}

TEST_F(ReceiveTest, UserMessagesFromAnotherAddressOrPortAreDropped) {
    RawPeer other;
    other.SendTo(ep_->local_port, MakeDatagram(1, 8, 1, 1, {1}));
    ThinkWhenReadable(ep_);
    EXPECT_TRUE(g_delivered.empty());
    EXPECT_TRUE(other.Drain(30).empty());  // not acknowledged either
    EXPECT_EQ(1u, GetTransportStats().dropped_unknown_source);
}

TEST_F(ReceiveTest, LowestIdWinsWhenConnectionsShareAnAddress) {
    int32_t second = Connect(ep_, "127.0.0.1", peer_.port());
    SetDefaultHandler(second, Record);
    TransportThink(0);
    peer_.Drain(30);
    Send(MakeDatagram(1, 8, 1, 1, {9}));
    ThinkWhenReadable(ep_);
    ASSERT_EQ(1u, g_delivered.size());
    EXPECT_EQ(id_, g_delivered[0].connection_id);
}

TEST_F(ReceiveTest, FragmentsInOnePassAreJoinedInSeqOrder) {
    std::vector<uint8_t> first = Pattern(1400, 1), second = Pattern(5, 2);
    Send(MakeDatagram(7, 8, 2, 2, second));
    Send(MakeDatagram(7, 8, 1, 2, first));
    ThinkWhenReadable(ep_);
    ASSERT_EQ(1u, g_delivered.size());
    std::vector<uint8_t> whole = first;
    whole.insert(whole.end(), second.begin(), second.end());
    EXPECT_EQ(whole, g_delivered[0].data);
    // Every fragment is acknowledged, each naming its seq.
    auto acks = peer_.Drain();
    ASSERT_EQ(2u, acks.size());
    EXPECT_EQ(2, GetU16(acks[0].payload.data() + 6));
    EXPECT_EQ(1, GetU16(acks[1].payload.data() + 6));
}

TEST_F(ReceiveTest, FragmentsInSeparatePassesWaitForTheWholeMessage) {
    std::vector<uint8_t> body = Pattern(3000, 3);
    auto part = [&](uint16_t seq) {
        size_t from = size_t(seq - 1) * 1400, to = std::min<size_t>(body.size(), seq * 1400u);
        return MakeDatagram(11, 8, seq, 3,
                            std::vector<uint8_t>(body.begin() + from, body.begin() + to));
    };
    Send(part(3));
    ThinkWhenReadable(ep_);
    Send(part(1));
    ThinkWhenReadable(ep_);
    EXPECT_TRUE(g_delivered.empty());  // never a partial message
    FakeClock::Advance(20000);
    Send(part(1));  // a resend of a fragment already held is answered again
    ThinkWhenReadable(ep_);
    EXPECT_TRUE(LogCapture::Contains("the exact message is already in the message bucket\n"));
    Send(part(2));
    ThinkWhenReadable(ep_);
    ASSERT_EQ(1u, g_delivered.size());
    EXPECT_EQ(body, g_delivered[0].data);
    EXPECT_EQ(4u, peer_.Drain().size());  // four acknowledgements
}

TEST_F(ReceiveTest, IncompleteMessageIsDroppedThirtySecondsAfterItsFirstFragment) {
    Send(MakeDatagram(12, 8, 1, 2, Pattern(1400)));
    ThinkWhenReadable(ep_);
    FakeClock::Advance(30001);
    TransportThink(0);
    EXPECT_EQ(1u, GetTransportStats().dropped_expired);
    Send(MakeDatagram(12, 8, 2, 2, {1}));  // opens a new entry, still incomplete
    ThinkWhenReadable(ep_);
    EXPECT_TRUE(g_delivered.empty());
}

TEST_F(ReceiveTest, DuplicateInOnePassIsDeliveredOnce) {
    auto d = MakeDatagram(13, 8, 1, 1, {4, 5});
    Send(d);
    Send(d);
    ThinkWhenReadable(ep_);
    EXPECT_EQ(1u, g_delivered.size());
    EXPECT_EQ(1u, LogCapture::Count("the exact message is already in the message bucket\n"));
}

TEST_F(ReceiveTest, ResentCopiesOfDeliveredMessagesAreAcknowledgedNotDeliveredAgain) {
    // Ids run across the wrap-around; the copies come after their first delivery.
    const uint32_t ids[] = {0xFFFFFFFEu, 0xFFFFFFFFu, 0u, 1u};
    for (uint32_t id : ids) {
        Send(MakeDatagram(id, 8, 1, 1, {uint8_t(id)}));
        ThinkWhenReadable(ep_);
    }
    ASSERT_EQ(4u, g_delivered.size());
    peer_.Drain(50);
    for (uint32_t id : {0xFFFFFFFFu, 0u, 0xFFFFFFFEu}) {
        Send(MakeDatagram(id, 8, 1, 1, {uint8_t(id)}));
        ThinkWhenReadable(ep_);
        Datagram ack;
        ASSERT_TRUE(peer_.Receive(&ack)) << id;  // the sender lacks our first answer
        EXPECT_EQ(MSG_ACK, ack.header.type);
        EXPECT_EQ(id, GetU32(ack.payload.data()));
    }
    EXPECT_EQ(4u, g_delivered.size());
    EXPECT_EQ(3u, LogCapture::Count("the message was already delivered\n"));
    // A message that arrives late but was never delivered is new.
    Send(MakeDatagram(0xFFFFFFF0u, 8, 1, 1, {9}));
    ThinkWhenReadable(ep_);
    EXPECT_EQ(5u, g_delivered.size());
    // So is a whole resent multi-fragment message.
    auto first = MakeDatagram(2, 8, 1, 2, Pattern(1400));
    auto second = MakeDatagram(2, 8, 2, 2, {7});
    Send(first);
    Send(second);
    ThinkWhenReadable(ep_);
    EXPECT_EQ(6u, g_delivered.size());
    Send(first);
    Send(second);
    ThinkWhenReadable(ep_);
    TransportThink(0);
    EXPECT_EQ(6u, g_delivered.size());
}

TEST_F(ReceiveTest, DeliveredIdsAreRememberedForSecondsHoweverManyFollow) {
    // 3,000 messages within one moment of the clock: more than the first 1,024 the
    // connection remembers, and a copy of the first comes back after all of them.
    for (uint32_t id = 5000; id < 8000; id += 500) {
        for (uint32_t k = id; k < id + 500; ++k) Send(MakeDatagram(k, 8, 1, 1, {1}));
        for (int pass = 0; pass < 50 && g_delivered.size() < id + 500 - 5000; ++pass) {
            ThinkWhenReadable(ep_, 200);
        }
    }
    ASSERT_EQ(3000u, g_delivered.size());
    FakeClock::Advance(2999);
    for (uint32_t id : {5000u, 6500u, 7999u}) Send(MakeDatagram(id, 8, 1, 1, {1}));
    ThinkWhenReadable(ep_);
    TransportThink(0);
    EXPECT_EQ(3000u, g_delivered.size());
    EXPECT_EQ(3u, LogCapture::Count("the message was already delivered\n"));
}

TEST_F(ReceiveTest, ManyDatagramsInOnePassKeepTheirOrderAcrossBatches) {
    // More than one receive batch and one send batch of 64.
    for (uint32_t id = 1000; id < 1200; ++id) {
        Send(MakeDatagram(id, 8, 1, 1, {uint8_t(id), uint8_t(id >> 8)}));
    }
    for (int pass = 0; pass < 50 && g_delivered.size() < 200; ++pass) ThinkWhenReadable(ep_, 200);
    ASSERT_EQ(200u, g_delivered.size());
    for (uint32_t i = 0; i < 200; ++i) {
        uint32_t id = 1000 + i;
        EXPECT_EQ(std::vector<uint8_t>({uint8_t(id), uint8_t(id >> 8)}), g_delivered[i].data);
    }
    auto acks = peer_.Drain();
    ASSERT_EQ(200u, acks.size());
    for (uint32_t i = 0; i < 200; ++i) {
        EXPECT_EQ(MSG_ACK, acks[i].header.type);
        EXPECT_EQ(1000 + i, GetU32(acks[i].payload.data()));
    }
    // And the other way: 200 queued messages leave in order.
    for (uint32_t i = 0; i < 200; ++i) TransportSend(id_, &i, 4, 8);
    TransportThink(0);
    auto sent = peer_.Drain();
    ASSERT_EQ(200u, sent.size());
    for (uint32_t i = 0; i < 200; ++i) EXPECT_EQ(i, GetU32(sent[i].payload.data()));
}

TEST_F(ReceiveTest, EmptyMessagesAndEmptyFragments) {
    Send(MakeDatagram(14, 8, 1, 1, {}));
    ThinkWhenReadable(ep_);
    ASSERT_EQ(1u, g_delivered.size());
    EXPECT_TRUE(g_delivered[0].data.empty());
    Send(MakeDatagram(15, 8, 1, 2, {}));
    Send(MakeDatagram(15, 8, 2, 2, {}));
    ThinkWhenReadable(ep_);
    EXPECT_EQ(1u, g_delivered.size());  // a multi-fragment message with no bytes
}

TEST_F(ReceiveTest, MalformedDatagramsAreDroppedUnread) {
    Send({1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11});  // shorter than a header
    auto bad_len = MakeDatagram(16, 8, 1, 1, {1, 2, 3});
    PutU16(bad_len.data() + 10, 4);  // claims one byte more than arrived
    Send(bad_len);
    Send(MakeDatagram(17, 8, 0, 1, {1}));  // seq 0
    Send(MakeDatagram(18, 8, 3, 2, {1}));  // seq beyond total
    ThinkWhenReadable(ep_);
    TransportThink(0);
    EXPECT_TRUE(g_delivered.empty());
    EXPECT_TRUE(peer_.Drain(30).empty());
    EXPECT_EQ(4u, GetTransportStats().dropped_malformed);
}

TEST_F(ReceiveTest, ControlMessagesWithWrongLengthAreIgnored) {
    RawPeer stranger;
    for (size_t n : {71u, 73u}) {
        std::vector<uint8_t> body(73, 0);
        PutU16(body.data() + 66, 5000);
        PutU32(body.data() + 68, 3);
        body.resize(n);
        stranger.SendTo(ep_->local_port, MakeDatagram(1, MSG_CONNECT, 1, 1, body));
    }
    Send(MakeDatagram(2, MSG_HEARTBEAT, 1, 1, {1, 0, 0}));
    ThinkWhenReadable(ep_);
    TransportThink(0);
    EXPECT_TRUE(stranger.Drain(30).empty());
    EXPECT_TRUE(peer_.Drain(30).empty());
    EXPECT_EQ(-1, TransportSend(id_ + 1, "x", 1, 8));  // no connection was made
    EXPECT_EQ(id_ + 1, Connect(ep_, "127.0.0.1", 5000));
}

int g_events[4];
void CountEvent(int32_t, int32_t event, void*) {
    ++g_events[event];
}

TEST_F(ReceiveTest, PeerCloseIsAnsweredAndConfirmDisconnectRemoves) {
    for (int& e : g_events) e = 0;
    SetEventCallback(id_, EVENT_PEER_CLOSE, CountEvent);
    SetEventCallback(id_, EVENT_DISCONNECTED, CountEvent);
    Send(MakeDatagram(20, MSG_PEERCLOSE, 1, 1, U32Body(uint32_t(id_))));
    ThinkWhenReadable(ep_);
    EXPECT_EQ(1, g_events[EVENT_PEER_CLOSE]);
    EXPECT_TRUE(LogCapture::Contains(
        "PEERCLOSE: The remote user is asking use to close our connection at address " +
        std::to_string(id_) + "\n"));
    auto answers = peer_.Drain();
    ASSERT_EQ(2u, answers.size());
    EXPECT_EQ(MSG_CONFIRM_DISCONNECT, answers[0].header.type);
    EXPECT_EQ(U32Body(77), answers[0].payload);  // the peer's id
    EXPECT_EQ(MSG_ACK, answers[1].header.type);
    EXPECT_EQ(0, TransportSend(id_, "x", 1, 8));  // still in the table

    Send(MakeDatagram(21, MSG_CONFIRM_DISCONNECT, 1, 1, U32Body(uint32_t(id_))));
    ThinkWhenReadable(ep_);
    EXPECT_EQ(1, g_events[EVENT_DISCONNECTED]);
    EXPECT_EQ(-1, TransportSend(id_, "x", 1, 8));
    // Sent anyway: the queued message keeps its connection. No acknowledgement.
    for (const auto& d : peer_.Drain(50)) EXPECT_NE(MSG_ACK, d.header.type);
}

TEST_F(ReceiveTest, PeerCloseForUnknownConnectionGetsNoAnswer) {
    Send(MakeDatagram(22, MSG_PEERCLOSE, 1, 1, U32Body(999)));
    ThinkWhenReadable(ep_);
    EXPECT_TRUE(peer_.Drain(30).empty());
}

TEST_F(ReceiveTest, HeartbeatsAreAcknowledgedAndUnknownIdsSetMinusEight) {
    Send(MakeDatagram(23, MSG_HEARTBEAT, 1, 1, U32Body(uint32_t(id_))));
    ThinkWhenReadable(ep_);
    EXPECT_TRUE(LogCapture::Contains(
        "HEARTBEAT RECEIVED: The remote user sent us a heartbeat message (remote address: " +
        std::to_string(id_) + ")\n"));
    Datagram ack;
    ASSERT_TRUE(peer_.Receive(&ack));
    EXPECT_EQ(MSG_ACK, ack.header.type);
    EXPECT_EQ(23u, GetU32(ack.payload.data()));
    EXPECT_EQ(MSG_HEARTBEAT, GetU16(ack.payload.data() + 4));
    Send(MakeDatagram(24, MSG_HEARTBEAT, 1, 1, U32Body(555)));
    ThinkWhenReadable(ep_);
    EXPECT_EQ(TRANSPORT_ERR_NO_CONNECTION, TransportLastError());
}

TEST_F(ReceiveTest, BucketLimitsRefuseFragmentsWithoutAcknowledging) {
    TransportLimits limits;
    limits.max_incomplete_per_connection = 2;
    SetTransportLimits(limits);
    for (uint32_t id = 30; id < 33; ++id) Send(MakeDatagram(id, 8, 1, 2, Pattern(1400, id)));
    ThinkWhenReadable(ep_);
    TransportThink(0);
    EXPECT_EQ(2u, peer_.Drain().size());
    EXPECT_EQ(1u, GetTransportStats().dropped_bucket_full);
    // Completing one frees room for the next.
    Send(MakeDatagram(30, 8, 2, 2, {1}));
    ThinkWhenReadable(ep_);
    EXPECT_EQ(1u, g_delivered.size());
}

}  // namespace
}  // namespace ozlan::test
