// Two real transports talking over loopback: the handshake as both sides see it,
// and messages of every size in both directions.
#include <cstring>
#include <string>

#include "tests/support/transport_fixture.h"

namespace ozlan::test {
namespace {

std::vector<std::pair<int32_t, std::vector<uint8_t>>> g_received;
void Collect(const uint8_t* data, int32_t length, int32_t, int32_t id, void*) {
    g_received.emplace_back(id, std::vector<uint8_t>(data, data + length));
}
int32_t g_accepted = 0;

// The raw peer plays a fresh connecting process (connection id 1) that announces
// `announced_port`; one pass of the endpoint answers it.
void SendConnect(RawPeer& a, Endpoint* b, uint16_t announced_port) {
    ConnectBody body;
    std::strcpy(body.host, "127.0.0.1");
    body.port = announced_port;
    body.connection_id = 1;
    std::vector<uint8_t> bytes(kConnectBodySize);
    WriteConnectBody(bytes.data(), body);
    a.SendTo(b->local_port, MakeDatagram(1, MSG_CONNECT, 1, 1, bytes));
    SocketWaitReadable(b->socket, 2000);
    TransportThink(0);
}

int32_t g_verified = 0;

TEST_F(TransportTest, AnsweringSideConfirmsWithARandomIdAndIsVerifiedByItsAnswer) {
    // The peer plays a fresh connecting process: its connect carries id 1.
    RawPeer a;
    Endpoint* b = CreateEndpoint(0);
    g_verified = 0;
    SetVerifiedCallback([](int32_t id) { g_verified = id; });
    SendConnect(a, b, a.port());
    // One answer, no larger than the connect: the confirmation.
    auto answers = a.Drain();
    ASSERT_EQ(1u, answers.size());
    EXPECT_EQ(MSG_CONFIRM_CONNECT, answers[0].header.type);
    // Its id is not the counter's: a forged source cannot guess what to acknowledge.
    uint32_t confirm_id = answers[0].header.id;
    EXPECT_GT(confirm_id, 2u);
    EXPECT_EQ(std::vector<uint8_t>({1, 0, 0, 0, 1, 0, 0, 0}), answers[0].payload);
    std::string port = std::to_string(a.port());
    EXPECT_EQ(
        (std::vector<std::string>{
            "We have an unprocessed message: id:1, len:72, type:32400, seq:1 of 1\n",
            "CONNECT: The remote user '127.0.0.1:" + port + "' is using version (0,2)\n",
            "Connect() 127.0.0.1:" + port + " remote:1\n", "We received a connect message\n"}),
        LogCapture::lines);

    // Unverified: the same connect again gets the same confirmation, nothing more;
    // a user message gets no answer; nothing is resent by this side.
    SendConnect(a, b, a.port());
    a.SendTo(b->local_port, MakeDatagram(5, 8, 1, 1, {1}));
    SocketWaitReadable(b->socket, 200);
    TransportThink(0);
    FakeClock::Advance(20001);
    TransportThink(0);
    answers = a.Drain(50);
    ASSERT_EQ(1u, answers.size());
    EXPECT_EQ(confirm_id, answers[0].header.id);
    // A wrong answer changes nothing.
    EXPECT_FALSE(TransportConnectionVerified(1));
    std::vector<uint8_t> ack(8);
    WriteAckBody(ack.data(), confirm_id + 1, MSG_CONFIRM_CONNECT, 1);
    a.SendTo(b->local_port, MakeDatagram(2, MSG_ACK, 1, 1, ack));
    SocketWaitReadable(b->socket, 2000);
    TransportThink(0);
    EXPECT_FALSE(TransportConnectionVerified(1));
    EXPECT_EQ(0, g_verified);
    // The right answer verifies it; the connect is acknowledged; heartbeats follow.
    WriteAckBody(ack.data(), confirm_id, MSG_CONFIRM_CONNECT, 1);
    a.SendTo(b->local_port, MakeDatagram(3, MSG_ACK, 1, 1, ack));
    SocketWaitReadable(b->socket, 2000);
    TransportThink(0);
    EXPECT_TRUE(TransportConnectionVerified(1));
    EXPECT_EQ(1, g_verified);
    answers = a.Drain(50);
    ASSERT_EQ(1u, answers.size());
    EXPECT_EQ(MSG_ACK, answers[0].header.type);
    EXPECT_EQ(1u, GetU32(answers[0].payload.data()));
    EXPECT_EQ(MSG_CONNECT, GetU16(answers[0].payload.data() + 4));
    FakeClock::Advance(30001);
    TransportThink(0);
    TransportThink(0);  // queued in one pass, sent in the next
    bool heartbeat = false;
    for (const auto& d : a.Drain(50)) heartbeat |= d.header.type == MSG_HEARTBEAT;
    EXPECT_TRUE(heartbeat);
}

TEST_F(TransportTest, AnsweringSideAnswersWhereTheConnectCameFrom) {
    // Behind a router that rewrites ports, the port in the body is not the one that
    // answers can reach: the datagram's source is.
    RawPeer a;
    Endpoint* b = CreateEndpoint(0);
    SendConnect(a, b, uint16_t(a.port() == 3822 ? 3823 : 3822));  // what the launcher believes
    auto answers = a.Drain();
    ASSERT_EQ(1u, answers.size());
    EXPECT_EQ(MSG_CONFIRM_CONNECT, answers[0].header.type);
    std::vector<uint8_t> ack(8);
    WriteAckBody(ack.data(), answers[0].header.id, MSG_CONFIRM_CONNECT, 1);
    a.SendTo(b->local_port, MakeDatagram(2, MSG_ACK, 1, 1, ack));
    SocketWaitReadable(b->socket, 2000);
    TransportThink(0);
    EXPECT_TRUE(TransportConnectionVerified(1));
    SocketAddress remote;
    ASSERT_TRUE(TransportConnectionInfo(1, &remote, nullptr, nullptr));
    EXPECT_EQ(a.port(), HostPort(remote));
    // Its user messages are matched by that address too.
    SetDefaultHandler(1, [](const uint8_t*, int32_t, int32_t, int32_t, void*) { ++g_accepted; });
    g_accepted = 0;
    a.SendTo(b->local_port, MakeDatagram(7, 8, 1, 1, {1}));
    ThinkWhenReadable(b);
    EXPECT_EQ(1, g_accepted);
}

TEST_F(TransportTest, ConnectingSideAcknowledgesTheConfirmWithItsSecondId) {
    RawPeer b;
    Endpoint* a = CreateEndpoint(0);
    int32_t id = Connect(a, "127.0.0.1", b.port());
    TransportThink(0);
    Datagram connect;
    ASSERT_TRUE(b.Receive(&connect));
    EXPECT_EQ(1u, connect.header.id);
    std::vector<uint8_t> confirm(8);
    PutU32(confirm.data(), uint32_t(id));
    PutU32(confirm.data() + 4, 1);
    b.SendTo(a->local_port, MakeDatagram(1, MSG_CONFIRM_CONNECT, 1, 1, confirm));
    ThinkWhenReadable(a);
    Datagram ack;
    ASSERT_TRUE(b.Receive(&ack));
    EXPECT_EQ(2u, ack.header.id);
    EXPECT_EQ(1u, GetU32(ack.payload.data()));
    EXPECT_EQ(MSG_CONFIRM_CONNECT, GetU16(ack.payload.data() + 4));
    EXPECT_TRUE(LogCapture::Contains(
        "CONFIRM CONNECT: The remote user(address:1) confirms connection on our address 1\n"));
    int32_t remote_id = 0;
    ASSERT_TRUE(TransportConnectionInfo(id, nullptr, &remote_id, nullptr));
    EXPECT_EQ(1, remote_id);
}

void Pump(int passes) {
    for (int i = 0; i < passes; ++i) {
        TransportThink(0);
        SystemSleepMs(1);
    }
}

void AcceptOnConnected(int32_t id, int32_t, void*) {
    g_accepted = id;
}

TEST_F(TransportTest, TwoEndpointsInOneProcessExchangeEverySizeBothWays) {
    SetTransportLogSink(nullptr);
    g_received.clear();
    g_accepted = 0;
    Endpoint* a = CreateEndpoint(0);
    Endpoint* b = CreateEndpoint(0);
    int32_t a_to_b = Connect(a, "127.0.0.1", b->local_port);
    SetEventCallback(a_to_b, EVENT_CONNECTED, AcceptOnConnected);
    SetDefaultHandler(a_to_b, Collect);
    Pump(20);
    ASSERT_EQ(a_to_b, g_accepted);
    int32_t b_to_a = 0;
    TransportConnectionInfo(a_to_b, nullptr, &b_to_a, nullptr);
    SetDefaultHandler(b_to_a, Collect);

    for (size_t size : {0u, 1u, 1400u, 2132u, 100000u}) {
        std::vector<uint8_t> ab = Pattern(size, 1), ba = Pattern(size, 2);
        ASSERT_EQ(0, TransportSend(a_to_b, ab.data(), int32_t(size), 8));
        ASSERT_EQ(0, TransportSend(b_to_a, ba.data(), int32_t(size), 9));
        g_received.clear();
        for (int i = 0; i < 200 && g_received.size() < 2; ++i) Pump(1);
        ASSERT_EQ(2u, g_received.size()) << size;
        for (auto& [id, data] : g_received) EXPECT_EQ(id == b_to_a ? ab : ba, data) << size;
        Pump(5);
        EXPECT_EQ(0u, TransportPendingCount(a_to_b)) << size;
        EXPECT_EQ(0u, TransportPendingCount(b_to_a)) << size;
    }
}

TEST_F(TransportTest, UnacknowledgedMessagesGoOutAtOnceAndAreNeverAnsweredOrResent) {
    RawPeer peer;
    Endpoint* ep = nullptr;
    int32_t id = ConnectedTo(peer, &ep);
    g_received.clear();
    SetDefaultHandler(id, Collect);
    // Sent at once, before any pass: id, seq and total 0.
    // Larger than a fragment, up to a datagram of 1500 bytes: never cut.
    std::vector<uint8_t> body = Pattern(1489, 3);
    ASSERT_EQ(0, TransportSendDatagram(id, body.data(), 1488, 10));
    std::vector<uint8_t> raw;
    SocketAddress from;
    ASSERT_TRUE(peer.ReceiveRaw(&raw, &from));
    EXPECT_EQ(MakeDatagram(0, 10, 0, 0, std::vector<uint8_t>(body.begin(), body.end() - 1)), raw);
    // Too long for one datagram, or a control type: refused, nothing sent.
    EXPECT_EQ(0, TransportSendDatagram(id, body.data(), 1489, 10));
    EXPECT_EQ(TRANSPORT_ERR_ARGUMENTS, TransportLastError());
    EXPECT_EQ(0, TransportSendDatagram(id, body.data(), 4, MSG_ACK));
    EXPECT_EQ(-1, TransportSendDatagram(id + 50, body.data(), 4, 10));
    FakeClock::Advance(kResendIntervalMs + 1);
    TransportThink(0);
    EXPECT_TRUE(peer.Drain(50).empty());  // nothing refused was sent, nothing is resent
    EXPECT_EQ(0u, TransportPendingCount(id));

    // Arriving: handed over in the same pass, unanswered, once per copy.
    peer.SendTo(ep->local_port, MakeDatagram(0, 10, 0, 0, {7, 8, 9}));
    ThinkWhenReadable(ep);
    ASSERT_EQ(1u, g_received.size());
    EXPECT_EQ(std::vector<uint8_t>({7, 8, 9}), g_received[0].second);
    EXPECT_EQ(1u, GetTransportStats().datagrams_delivered);
    EXPECT_TRUE(peer.Drain(50).empty());
    // From an address with no connection: dropped.
    RawPeer stranger;
    stranger.SendTo(ep->local_port, MakeDatagram(0, 10, 0, 0, {1}));
    ThinkWhenReadable(ep);
    EXPECT_EQ(1u, g_received.size());
    EXPECT_EQ(1u, GetTransportStats().dropped_unknown_source);
}

TEST(TransportProcesses, PeerInAnotherProcessEchoesEverySize) {
    TransportReset();
    SetTransportLogSink(nullptr);
    g_received.clear();
    g_accepted = 0;
    Endpoint* ep = CreateEndpoint(0);
    ASSERT_NE(nullptr, ep);
#ifdef _WIN32
    std::string peer = ProgramFolder() + "\\transport_echo_peer.exe";
#else
    std::string peer = ProgramFolder() + "/transport_echo_peer";
#endif
    intptr_t child = SpawnProcess(peer, {"127.0.0.1", std::to_string(ep->local_port)});
    ASSERT_NE(0, child);
    // The peer connects to us; our side of the link is the lowest new id.
    int32_t link = 0;
    for (int i = 0; i < 5000 && link == 0; ++i) {
        SocketWaitReadable(ep->socket, 10);
        TransportThink(0);
        if (TransportConnectionInfo(1, nullptr, nullptr, nullptr)) link = 1;
    }
    ASSERT_EQ(1, link);
    SetDefaultHandler(link, Collect);
    for (size_t size : {0u, 1u, 1400u, 2132u, 100000u}) {
        std::vector<uint8_t> body = Pattern(size, uint32_t(size));
        g_received.clear();
        ASSERT_EQ(0, TransportSend(link, body.data(), int32_t(size), 8));
        for (int i = 0; i < 5000 && g_received.empty(); ++i) {
            SocketWaitReadable(ep->socket, 10);
            TransportThink(0);
        }
        ASSERT_EQ(1u, g_received.size()) << size;
        EXPECT_EQ(body, g_received[0].second) << size;
    }
    const char quit[] = "quit";
    TransportSend(link, quit, 4, 99);
    for (int i = 0; i < 50; ++i) {
        SocketWaitReadable(ep->socket, 10);
        TransportThink(0);
    }
    EXPECT_EQ(0, WaitProcess(child));
    TransportReset();
}

}  // namespace
}  // namespace ozlan::test

namespace ozlan::test {
namespace {

std::vector<uint8_t> Concat(std::vector<std::vector<uint8_t>> parts) {
    std::vector<uint8_t> all;
    for (auto& p : parts) all.insert(all.end(), p.begin(), p.end());
    return all;
}

std::vector<uint8_t> Bundle(const std::vector<uint8_t>& records) {
    std::vector<uint8_t> b = MakeDatagram(0, kBundleType, 0, 0, records);
    PutU16(b.data() + 8, 0);  // total 0: one datagram of records
    return b;
}

std::vector<uint8_t> AckList(const std::vector<uint8_t>& bodies) {
    return MakeDatagram(0, kAckListType, 0, 0, bodies);
}

TEST_F(TransportTest, BundlesCarryWhatOnePassSendsAndAreReadRecordByRecord) {
    RawPeer peer;
    Endpoint* ep = nullptr;
    int32_t id = ConnectedTo(peer, &ep);
    g_received.clear();
    SetDefaultHandler(id, Collect);
    // Without bundles: one datagram per message.
    TransportSend(id, "ab", 2, 8);
    TransportSend(id, "c", 1, 9);
    TransportThink(0);
    EXPECT_EQ(2u, peer.Drain(50).size());
    // With them: what one pass sends goes in one datagram, each message with its own
    // header, in order; nothing waits for more.
    SetConnectionBundles(id, true);
    TransportSend(id, "ab", 2, 8);
    TransportSend(id, "c", 1, 9);
    TransportSend(id, nullptr, 0, 17);
    TransportThink(0);
    std::vector<uint8_t> got;
    SocketAddress from;
    ASSERT_TRUE(peer.ReceiveRaw(&got, &from));
    Datagram first;
    ASSERT_TRUE(ParseHeader(got.data(), got.size(), &first.header));
    EXPECT_EQ(kBundleType, first.header.type);
    uint32_t n = GetU32(got.data() + 12);  // the first record's id
    std::vector<uint8_t> expected =
        Bundle(Concat({MakeDatagram(n, 8, 1, 1, {'a', 'b'}), MakeDatagram(n + 1, 9, 1, 1, {'c'}),
                       MakeDatagram(n + 2, 17, 1, 1, {})}));
    EXPECT_EQ(expected, got);
    EXPECT_EQ(3u, GetTransportStats().bundled);
    EXPECT_TRUE(peer.Drain(50).empty());

    // A bundle from the peer: both messages delivered in order, and their two
    // acknowledgements go back as one acknowledgement list of 8-byte bodies once the
    // clock has moved on a millisecond (what arrives meanwhile joins the list).
    peer.SendTo(
        ep->local_port,
        Bundle(Concat({MakeDatagram(500, 8, 1, 1, {1, 2}), MakeDatagram(501, 8, 1, 1, {3})})));
    ThinkWhenReadable(ep);
    ASSERT_EQ(2u, g_received.size());
    EXPECT_EQ(std::vector<uint8_t>({1, 2}), g_received[0].second);
    EXPECT_EQ(std::vector<uint8_t>({3}), g_received[1].second);
    EXPECT_TRUE(peer.Drain(30).empty());
    EXPECT_EQ(1, TransportNextDueMs(1000));
    FakeClock::Advance(1);
    TransportThink(0);
    ASSERT_TRUE(peer.ReceiveRaw(&got, &from));
    std::vector<uint8_t> ack500(8), ack501(8);
    WriteAckBody(ack500.data(), 500, 8, 1);
    WriteAckBody(ack501.data(), 501, 8, 1);
    EXPECT_EQ(AckList(Concat({ack500, ack501})), got);

    // A record that overruns the bundle, or a bundle inside a bundle: the whole bundle
    // is dropped, nothing of it delivered.
    uint64_t malformed = GetTransportStats().dropped_malformed;
    std::vector<uint8_t> overrun =
        Bundle(Concat({MakeDatagram(502, 8, 1, 1, {4}), MakeDatagram(503, 8, 1, 1, {5})}));
    PutU16(overrun.data() + 12 + 13 + 10, 2);  // the second record claims one byte more
    peer.SendTo(ep->local_port, overrun);
    peer.SendTo(
        ep->local_port,
        Bundle(Concat({MakeDatagram(504, 8, 1, 1, {6}), Bundle(MakeDatagram(505, 8, 1, 1, {7}))})));
    ThinkWhenReadable(ep);
    TransportThink(0);
    EXPECT_EQ(2u, g_received.size());
    EXPECT_EQ(malformed + 2, GetTransportStats().dropped_malformed);
}

TEST_F(TransportTest, ABundleFillsUpToTheDatagramSizeAndAcknowledgementsAndResendsShareThem) {
    RawPeer peer;
    Endpoint* ep = nullptr;
    int32_t id = ConnectedTo(peer, &ep);
    SetConnectionBundles(id, true);
    // Ten 300-byte messages: four fit a 1412-byte bundle (4 x 312 + 12), so three
    // datagrams, none over 1412 bytes.
    std::vector<uint8_t> body(300, 0x5A);
    for (int i = 0; i < 10; ++i) TransportSend(id, body.data(), int32_t(body.size()), 8);
    TransportThink(0);
    auto sent = peer.Drain(50);
    std::vector<uint8_t> got;
    ASSERT_EQ(3u, sent.size());
    for (const Datagram& d : sent) {
        EXPECT_EQ(kBundleType, d.header.type);
        EXPECT_LE(kHeaderSize + d.payload.size(), kMaxDatagram);
    }
    EXPECT_EQ(4u * 312u, sent[0].payload.size());
    EXPECT_EQ(2u * 312u, sent[2].payload.size());
    // Unacknowledged, all ten go again after the resend interval, bundled as well.
    FakeClock::Advance(TransportResendIntervalMs(id) + 1);
    TransportThink(0);
    EXPECT_EQ(3u, peer.Drain(50).size());
    EXPECT_EQ(10u, GetTransportStats().resends);

    // An acknowledgement list from the peer settles all ten at once (a list whose body
    // is no whole number of 8-byte bodies settles nothing and is counted).
    uint32_t first = GetU32(sent[0].payload.data());  // the first record's id
    std::vector<uint8_t> bodies(10 * kAckBodySize);
    for (uint32_t i = 0; i < 10; ++i) WriteAckBody(&bodies[i * kAckBodySize], first + i, 8, 1);
    uint64_t malformed = GetTransportStats().dropped_malformed;
    peer.SendTo(ep->local_port, AckList(std::vector<uint8_t>(bodies.begin(), bodies.end() - 4)));
    peer.SendTo(ep->local_port, Bundle(AckList(bodies)));
    ThinkWhenReadable(ep);
    TransportThink(0);
    EXPECT_EQ(malformed + 1, GetTransportStats().dropped_malformed);
    EXPECT_EQ(0u, TransportPendingCount(id));
    FakeClock::Advance(TransportResendIntervalMs(id) * 4);
    TransportThink(0);
    EXPECT_TRUE(peer.Drain(50).empty());
}

TEST_F(TransportTest, ABurstsDatagramsLeaveTogetherAtItsEndBundledWhereThePeerReadsThem) {
    RawPeer peer;
    Endpoint* ep = nullptr;
    int32_t id = ConnectedTo(peer, &ep);
    // Without bundles each datagram leaves at once, burst or not.
    TransportBeginBurst();
    TransportSendDatagram(id, "a", 1, 10);
    EXPECT_EQ(1u, peer.Drain(30).size());
    TransportEndBurst();
    // With them nothing leaves before the outermost end, and then all in one bundle.
    SetConnectionBundles(id, true);
    TransportBeginBurst();
    TransportSendDatagram(id, "b", 1, 10);
    TransportBeginBurst();
    TransportSendDatagram(id, "cd", 2, 10);
    TransportEndBurst();
    EXPECT_TRUE(peer.Drain(30).empty());
    TransportSendDatagram(id, "e", 1, 10);
    TransportEndBurst();
    std::vector<uint8_t> got;
    SocketAddress from;
    ASSERT_TRUE(peer.ReceiveRaw(&got, &from));
    EXPECT_EQ(
        Bundle(Concat({MakeDatagram(0, 10, 0, 0, {'b'}), MakeDatagram(0, 10, 0, 0, {'c', 'd'}),
                       MakeDatagram(0, 10, 0, 0, {'e'})})),
        got);
    EXPECT_EQ(0u, TransportPendingCount(id));
    // The largest datagrams fit no bundle: each leaves alone and whole, between the
    // bundles of what is around it.
    std::vector<uint8_t> largest = Pattern(1488, 5);
    TransportBeginBurst();
    TransportSendDatagram(id, "g", 1, 10);
    for (int i = 0; i < 3; ++i) TransportSendDatagram(id, largest.data(), 1488, 10);
    TransportSendDatagram(id, "h", 1, 10);
    TransportEndBurst();
    std::vector<Datagram> burst = peer.Drain(30);
    ASSERT_EQ(5u, burst.size());
    EXPECT_EQ(std::vector<uint8_t>{'g'}, burst[0].payload);
    for (int i = 1; i <= 3; ++i) {
        EXPECT_EQ(10, burst[i].header.type);
        EXPECT_EQ(largest, burst[i].payload);
    }
    EXPECT_EQ(std::vector<uint8_t>{'h'}, burst[4].payload);
    // An end without a beginning changes nothing.
    TransportEndBurst();
    TransportSendDatagram(id, "f", 1, 10);
    EXPECT_EQ(1u, peer.Drain(30).size());
}

// The peer acknowledges one message.
void AcknowledgeFromPeer(RawPeer& peer, Endpoint* ep, uint32_t message_id) {
    std::vector<uint8_t> ack(kAckBodySize);
    WriteAckBody(ack.data(), message_id, 8, 1);
    peer.SendTo(ep->local_port, MakeDatagram(9200 + message_id, MSG_ACK, 1, 1, ack));
}

TEST_F(TransportTest, AResendWaitsWhileOlderMessagesAreAnsweredAndNotOnceALaterOneIs) {
    RawPeer peer;
    Endpoint* ep = nullptr;
    int32_t id = ConnectedTo(peer, &ep);
    for (int i = 0; i < 3; ++i) TransportSend(id, "m", 1, 8);
    TransportThink(0);
    std::vector<Datagram> sent = peer.Drain(30);
    ASSERT_EQ(3u, sent.size());
    // A slow peer: the first answer comes late, just before the other two are due.
    FakeClock::Advance(100);
    AcknowledgeFromPeer(peer, ep, sent[0].header.id);
    ThinkWhenReadable(ep);
    FakeClock::Advance(1);
    TransportThink(0);
    EXPECT_TRUE(peer.Drain(30).empty());
    EXPECT_EQ(2u, GetTransportStats().resends_postponed);
    // The second answered in turn; the third, with answers flowing, still waits.
    FakeClock::Advance(40);
    AcknowledgeFromPeer(peer, ep, sent[1].header.id);
    ThinkWhenReadable(ep);
    FakeClock::Advance(45);
    TransportThink(0);
    EXPECT_TRUE(peer.Drain(30).empty());
    EXPECT_EQ(3u, GetTransportStats().resends_postponed);
    // Silence for longer than 50 ms: it is lost, and goes again.
    FakeClock::Advance(51);
    TransportThink(0);
    std::vector<Datagram> again = peer.Drain(30);
    ASSERT_EQ(1u, again.size());
    EXPECT_EQ(sent[2].header.id, again[0].header.id);
    EXPECT_EQ(1u, GetTransportStats().resends);
    AcknowledgeFromPeer(peer, ep, sent[2].header.id);
    ThinkWhenReadable(ep);

    // An answer to a later message means an earlier one is lost: it goes when due.
    int64_t interval = TransportResendIntervalMs(id);
    TransportSend(id, "lost", 4, 8);
    TransportThink(0);
    FakeClock::Advance(10);
    TransportSend(id, "later", 5, 8);
    TransportThink(0);
    sent = peer.Drain(30);
    ASSERT_EQ(2u, sent.size());
    FakeClock::Advance(interval - 10 + 1);
    AcknowledgeFromPeer(peer, ep, sent[1].header.id);
    ThinkWhenReadable(ep);
    again = peer.Drain(30);
    ASSERT_EQ(1u, again.size());
    EXPECT_EQ(sent[0].header.id, again[0].header.id);
    EXPECT_EQ(3u, GetTransportStats().resends_postponed);
}

TEST_F(TransportTest, TwoHundredAcknowledgementsOfOnePassTakeTwoListsOf173And27) {
    RawPeer peer;
    Endpoint* ep = nullptr;
    int32_t id = ConnectedTo(peer, &ep);
    SetConnectionBundles(id, true);
    for (uint32_t i = 0; i < 200; ++i) {
        peer.SendTo(ep->local_port, MakeDatagram(700 + i, 8, 1, 1, {uint8_t(i)}));
    }
    // Loopback: all 200 wait in the socket already, and one pass reads them.
    TransportThink(0);
    auto sent = peer.Drain(50);
    ASSERT_EQ(2u, sent.size());
    EXPECT_EQ(kAckListType, sent[0].header.type);
    EXPECT_EQ(173u * kAckBodySize, sent[0].payload.size());
    EXPECT_EQ(kAckListType, sent[1].header.type);
    EXPECT_EQ(27u * kAckBodySize, sent[1].payload.size());
    EXPECT_EQ(700u + 173u, GetU32(sent[1].payload.data()));
    EXPECT_EQ(899u, GetU32(sent[1].payload.data() + 26 * kAckBodySize));
}

TEST_F(TransportTest, ABundlingPeerHas128KBUnansweredAtMostAndTheRestFollowsInOrder) {
    RawPeer peer;
    Endpoint* ep = nullptr;
    int32_t id = ConnectedTo(peer, &ep);
    SetConnectionBundles(id, true);
    // 100 one-datagram messages of 1399 bytes: 93 fit the window (130,107 bytes), 7 wait.
    std::vector<uint8_t> body(1399, 0x42);
    for (int i = 0; i < 100; ++i) TransportSend(id, body.data(), int32_t(body.size()), 8);
    TransportThink(0);
    std::vector<Datagram> sent = peer.Drain(50);
    ASSERT_EQ(93u, sent.size());
    uint32_t first = sent[0].header.id;
    for (uint32_t i = 0; i < 93; ++i) EXPECT_EQ(first + i, sent[i].header.id);
    EXPECT_EQ(100u, TransportPendingCount(id));
    EXPECT_TRUE(TransportMessageOutstanding(id, first + 99));
    // Waiting messages are no reason for a pass (the next is the first resend's); a
    // pass without answers sends none of them.
    EXPECT_EQ(kMinResendIntervalMs + 1, TransportNextDueMs(1000));
    TransportThink(0);
    EXPECT_TRUE(peer.Drain(30).empty());
    // Three answered: the next three go, in order; the fourth would overrun the window.
    AcknowledgeInLists(peer, ep, {first, first + 1, first + 2});
    sent = peer.Drain(50);
    ASSERT_EQ(3u, sent.size());
    for (uint32_t i = 0; i < 3; ++i) EXPECT_EQ(first + 93 + i, sent[i].header.id);
    // Everything answered: the last four go; nothing is sent twice.
    std::vector<uint32_t> rest;
    for (uint32_t i = 3; i < 96; ++i) rest.push_back(first + i);
    AcknowledgeInLists(peer, ep, rest);
    sent = peer.Drain(50);
    ASSERT_EQ(4u, sent.size());
    for (uint32_t i = 0; i < 4; ++i) EXPECT_EQ(first + 96 + i, sent[i].header.id);
    EXPECT_EQ(4u, TransportPendingCount(id));
    EXPECT_EQ(0u, GetTransportStats().resends);
    // To a peer that does not read bundles everything goes at once.
    SetConnectionBundles(id, false);
    for (int i = 0; i < 100; ++i) TransportSend(id, body.data(), int32_t(body.size()), 8);
    TransportThink(0);
    EXPECT_EQ(100u, peer.Drain(50).size());
}

}  // namespace
}  // namespace ozlan::test
