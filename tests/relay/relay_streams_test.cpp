// Streams through the real relay process: who is offered them, a stream opened,
// accepted, carried both ways and closed, as from each end's relayed address; what is
// refused or dropped; a sender over the window and a member that leaves reset the
// other end; the cap on a member's streams.
#include "tests/relay/relay_fixture.h"

namespace ozlan::test {
namespace {

class RelayStreamsTest : public RelayServiceTest {
  protected:
    void StreamTo(int32_t from, StreamHeader h, const std::vector<uint8_t>& data = {}) {
        uint8_t m[kStreamMaxMessage];
        size_t n = WriteStreamMessage(m, h, data.data(), data.size());
        ASSERT_GT(n, 0u);
        Send(from, kStreamMessageType, std::vector<uint8_t>(m, m + n));
    }
    // The next stream message `to` received (its header; data into *data).
    bool Next(int32_t to, StreamHeader* h, std::vector<uint8_t>* data = nullptr) {
        size_t& seen = seen_[to];
        if (!PumpUntil([&] { return g_streams[to].size() > seen; })) return false;
        const std::vector<uint8_t>& m = g_streams[to][seen++];
        const uint8_t* bytes;
        size_t size;
        if (!ParseStreamMessage(m.data(), m.size(), h, &bytes, &size)) return false;
        if (data) data->assign(bytes, bytes + size);
        return true;
    }
    static StreamHeader Header(StreamKind kind, uint32_t id, uint32_t peer, bool acceptor,
                               uint32_t count = 0) {
        StreamHeader h;
        h.kind = kind;
        h.id = id;
        h.peer = peer;
        h.from_acceptor = acceptor;
        h.count = count;
        h.port = 4000;
        h.source_port = 50000;
        return h;
    }
    std::map<int32_t, size_t> seen_;
};

TEST_F(RelayStreamsTest, OfferedToStreamingLaunchersAndCarriedBothWaysAsFromTheOtherEnd) {
    RelayProcess relay;
    uint32_t a_address = 0, b_address = 0, c_address = 0;
    int32_t a =
        RelayingLauncher(relay, "s", "127.0.0.2", {10, 97, 1, 2}, &a_address, kJoinFlagStreams);
    int32_t b =
        RelayingLauncher(relay, "s", "127.0.0.3", {10, 97, 2, 2}, &b_address, kJoinFlagStreams);
    int32_t c = RelayingLauncher(relay, "s", "127.0.0.4", {10, 97, 3, 2}, &c_address);
    ASSERT_TRUE(PumpUntil([&] { return !g_offers[a].empty() && !g_offers[b].empty(); }));
    uint32_t window = 0, streams = 0;
    ASSERT_TRUE(ParseStreamOffer(g_offers[a][0].data(), g_offers[a][0].size(), &window, &streams));
    EXPECT_EQ(65536u, window);
    EXPECT_EQ(16u, streams);
    EXPECT_TRUE(g_offers[c].empty());  // it did not ask

    // Open, accepted, data both ways with credit, an orderly close from each side.
    StreamTo(a, Header(StreamKind::Open, 7, b_address, false));
    StreamHeader h;
    ASSERT_TRUE(Next(b, &h));
    EXPECT_EQ(StreamKind::Open, h.kind);
    EXPECT_EQ(a_address, h.peer);
    EXPECT_EQ(4000, h.port);
    EXPECT_EQ(50000, h.source_port);
    StreamTo(b, Header(StreamKind::Accepted, 7, a_address, true));
    ASSERT_TRUE(Next(a, &h));
    EXPECT_EQ(StreamKind::Accepted, h.kind);
    EXPECT_TRUE(h.from_acceptor);
    EXPECT_EQ(b_address, h.peer);
    std::vector<uint8_t> bytes = Pattern(kStreamMaxData, 3), got;
    StreamTo(a, Header(StreamKind::Data, 7, b_address, false, 0), bytes);
    ASSERT_TRUE(Next(b, &h, &got));
    EXPECT_EQ(bytes, got);
    StreamTo(b, Header(StreamKind::Credit, 7, a_address, true, uint32_t(bytes.size())));
    ASSERT_TRUE(Next(a, &h));
    EXPECT_EQ(StreamKind::Credit, h.kind);
    EXPECT_EQ(kStreamMaxData, h.count);
    StreamTo(b, Header(StreamKind::Data, 7, a_address, true, 0), {1, 2, 3});
    ASSERT_TRUE(Next(a, &h, &got));
    EXPECT_EQ(std::vector<uint8_t>({1, 2, 3}), got);
    StreamTo(a, Header(StreamKind::Shutdown, 7, b_address, false, uint32_t(bytes.size())));
    StreamTo(b, Header(StreamKind::Shutdown, 7, a_address, true, 3));
    ASSERT_TRUE(Next(b, &h));
    EXPECT_EQ(StreamKind::Shutdown, h.kind);
    ASSERT_TRUE(Next(a, &h));
    EXPECT_EQ(StreamKind::Shutdown, h.kind);
    // Closed both ways: the stream is gone, and more data for it goes nowhere.
    StreamTo(a, Header(StreamKind::Data, 7, b_address, false, uint32_t(bytes.size())), {9});
    PumpFor(200);
    EXPECT_EQ(seen_[b], g_streams[b].size());
    relay.Stop();
    EXPECT_EQ(1, relay.Stat("streams_opened"));
    EXPECT_EQ(kStreamMaxData + 3, size_t(relay.Stat("stream_bytes")));
    EXPECT_EQ(1, relay.Stat("unknown_stream"));
}

TEST_F(RelayStreamsTest, RefusedWhereNothingCarriesItResetOverTheWindowAndWhenAMemberLeaves) {
    RelayProcess relay;
    uint32_t a_address = 0, b_address = 0, c_address = 0, d_address = 0;
    int32_t a =
        RelayingLauncher(relay, "s", "127.0.0.2", {10, 97, 1, 2}, &a_address, kJoinFlagStreams);
    int32_t b =
        RelayingLauncher(relay, "s", "127.0.0.3", {10, 97, 2, 2}, &b_address, kJoinFlagStreams);
    RelayingLauncher(relay, "s", "127.0.0.4", {10, 97, 3, 2}, &c_address);
    int32_t d =
        RelayingLauncher(relay, "other", "127.0.0.5", {10, 97, 4, 2}, &d_address, kJoinFlagStreams);
    // To a member that carries no stream, and to an address nobody holds: refused at once.
    StreamHeader h;
    StreamTo(a, Header(StreamKind::Open, 1, c_address, false));
    ASSERT_TRUE(Next(a, &h));
    EXPECT_EQ(StreamKind::Refused, h.kind);
    EXPECT_EQ(c_address, h.peer);
    EXPECT_TRUE(h.from_acceptor);
    StreamTo(a, Header(StreamKind::Open, 2, RelayedAddress(900), false));
    ASSERT_TRUE(Next(a, &h));
    EXPECT_EQ(StreamKind::Refused, h.kind);
    // Another session's member: dropped.
    StreamTo(a, Header(StreamKind::Open, 3, d_address, false));
    PumpFor(200);
    EXPECT_TRUE(g_streams[d].empty());

    // A sender that ignores the window: both ends are reset, each as from the other.
    StreamTo(a, Header(StreamKind::Open, 4, b_address, false));
    ASSERT_TRUE(Next(b, &h));
    std::vector<uint8_t> bytes = Pattern(kStreamMaxData, 5);
    uint32_t offset = 0;
    for (; offset + kStreamMaxData <= 65536; offset += uint32_t(kStreamMaxData)) {
        StreamTo(a, Header(StreamKind::Data, 4, b_address, false, offset), bytes);
    }
    StreamTo(a, Header(StreamKind::Data, 4, b_address, false, offset), bytes);
    ASSERT_TRUE(PumpUntil([&] {
        return !g_streams[a].empty() &&
               g_streams[a].back()[0] == (uint8_t(StreamKind::Reset) | kStreamFromAcceptor);
    }));
    ASSERT_TRUE(PumpUntil([&] { return g_streams[b].back()[0] == uint8_t(StreamKind::Reset); }));

    // A member that leaves: the other end of its stream is reset.
    StreamTo(b, Header(StreamKind::Open, 5, a_address, false));
    ASSERT_TRUE(PumpUntil([&] { return g_streams[a].back()[0] == uint8_t(StreamKind::Open); }));
    Send(b, kJoinMessageType, JoinMessage("elsewhere", kJoinFlagRelayedTraffic | kJoinFlagStreams));
    ASSERT_TRUE(PumpUntil([&] { return g_streams[a].back()[0] == uint8_t(StreamKind::Reset); }));
    relay.Stop();
    EXPECT_EQ(1, relay.Stat("stream_window"));
}

TEST_F(RelayStreamsTest, AMemberHoldsAtMostItsShareOfStreams) {
    RelayProcess relay;
    uint32_t a_address = 0, b_address = 0;
    int32_t a =
        RelayingLauncher(relay, "s", "127.0.0.2", {10, 97, 1, 2}, &a_address, kJoinFlagStreams);
    int32_t b =
        RelayingLauncher(relay, "s", "127.0.0.3", {10, 97, 2, 2}, &b_address, kJoinFlagStreams);
    for (uint32_t id = 1; id <= 17; ++id)
        StreamTo(a, Header(StreamKind::Open, id, b_address, false));
    ASSERT_TRUE(PumpUntil([&] { return g_streams[b].size() == 16 && g_streams[a].size() == 1; }));
    StreamHeader h;
    ASSERT_TRUE(Next(a, &h));
    EXPECT_EQ(StreamKind::Refused, h.kind);
    EXPECT_EQ(17u, h.id);
    relay.Stop();
    EXPECT_EQ(1, relay.Stat("stream_limit"));
    EXPECT_EQ(16, relay.Stat("streams_opened"));
}

}  // namespace
}  // namespace ozlan::test
