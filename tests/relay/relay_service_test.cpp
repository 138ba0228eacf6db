// The relay service as a real process, with launchers made of transports in this
// test (and raw UDP peers where a launcher must misbehave).
#include "tests/relay/relay_fixture.h"

#include <signal.h>

#include <set>

namespace ozlan::test {
namespace {

TEST_F(RelayServiceTest, BroadcastReachesEveryOtherMemberOfItsSessionOnce) {
    RelayProcess relay;
    ASSERT_TRUE(relay.running());
    int32_t a1 = Launcher(relay, "alpha");
    int32_t a2 = Launcher(relay, "alpha");
    int32_t a3 = Launcher(relay, "alpha");
    int32_t b1 = Launcher(relay, "beta");
    std::vector<uint8_t> link = LinkMessage(900, {10, 0, 0, 5}, Pattern(2048));
    Send(a1, kRelayMessageType, RelayMessage("alpha", link));
    PumpUntil([&] { return g_inbox[a2].size() && g_inbox[a3].size(); });
    PumpFor(200);
    ASSERT_EQ(1u, g_inbox[a2].size());
    ASSERT_EQ(1u, g_inbox[a3].size());
    EXPECT_EQ(link, g_inbox[a2][0]);  // a usable address passes unchanged
    EXPECT_EQ(link, g_inbox[a3][0]);
    EXPECT_TRUE(g_inbox[a1].empty());
    EXPECT_TRUE(g_inbox[b1].empty());
    EXPECT_EQ(0, relay.Stop());
    EXPECT_EQ(2, relay.Stat("sessions"));
    EXPECT_EQ(4, relay.Stat("members"));
    EXPECT_EQ(1, relay.Stat("in"));
    EXPECT_EQ(2, relay.Stat("out"));
}

TEST_F(RelayServiceTest, UnusableAddressesAreStampedWithTheSendersSource) {
    RelayProcess relay;
    int32_t sender = Launcher(relay, "s", "127.0.0.2");
    int32_t receiver = Launcher(relay, "s", "127.0.0.3");
    const std::vector<std::vector<uint8_t>> unusable = {
        {0, 0, 0, 0}, {255, 255, 255, 255}, {127, 0, 0, 1}, {127, 1, 2, 3}};
    for (const auto& ip : unusable) {
        Send(sender, kRelayMessageType, RelayMessage("s", LinkMessage(770, ip, {1, 2, 3})));
    }
    ASSERT_TRUE(PumpUntil([&] { return g_inbox[receiver].size() == unusable.size(); }));
    for (const auto& got : g_inbox[receiver]) {
        EXPECT_EQ(LinkMessage(770, {127, 0, 0, 2}, {1, 2, 3}), got);
    }
}

TEST_F(RelayServiceTest, MembersElsewhereSeeTheSenderWhereTheRelaySeesIt) {
    RelayProcess relay;
    // The sender stamps the private address its router hides; one member shares the
    // sender's public address (the same home network), one is elsewhere.
    int32_t sender = Launcher(relay, "s", "127.0.0.2");
    int32_t neighbour = Launcher(relay, "s", "127.0.0.2");
    int32_t elsewhere = Launcher(relay, "s", "127.0.0.3");
    Send(sender, kRelayMessageType, RelayMessage("s", LinkMessage(770, {10, 97, 1, 2}, {5})));
    ASSERT_TRUE(PumpUntil([&] { return g_inbox[neighbour].size() && g_inbox[elsewhere].size(); }));
    EXPECT_EQ(LinkMessage(770, {10, 97, 1, 2}, {5}), g_inbox[neighbour][0]);
    EXPECT_EQ(LinkMessage(770, {127, 0, 0, 2}, {5}), g_inbox[elsewhere][0]);
}

// The relayed address a launcher's link (from `source`) is offered first: where its
// address and port hash to.
uint32_t PreferredAddressOf(int32_t link, const char* source) {
    Endpoint* endpoint = nullptr;
    TransportConnectionInfo(link, nullptr, nullptr, &endpoint);
    uint32_t ip = 0;
    ResolveIPv4(source, &ip);
    uint16_t port = endpoint->local_port;
    return RelayedAddress(PreferredRelayedIndex(ip, uint16_t((port >> 8) | (port << 8))));
}

TEST_F(RelayServiceTest, RelayedAddressesAreOfferedOnlyToLaunchersThatAskAndAreUnique) {
    RelayProcess relay;
    // Two launchers behind one router (one public address, two ports), one elsewhere.
    uint32_t first = 0, second = 0, third = 0;
    int32_t a = RelayingLauncher(relay, "s", "127.0.0.2", {10, 97, 1, 2}, &first);
    RelayingLauncher(relay, "s", "127.0.0.2", {10, 97, 1, 3}, &second);
    RelayingLauncher(relay, "t", "127.0.0.3", {10, 97, 2, 2}, &third);
    int32_t older = Launcher(relay, "s", "127.0.0.4");
    PumpFor(100);
    EXPECT_TRUE(g_addresses[older].empty());  // a launcher that did not ask learns nothing
    // Each where its address and port hash to (all three differ).
    EXPECT_EQ(PreferredAddressOf(a, "127.0.0.2"), first);
    EXPECT_NE(first, second);
    EXPECT_NE(second, third);
    EXPECT_NE(first, third);
    for (uint32_t address : {first, second, third}) EXPECT_TRUE(IsRelayedAddress(address));
    // The answer: relayed address, the address and port seen, two zero bytes.
    Endpoint* endpoint = nullptr;
    TransportConnectionInfo(a, nullptr, nullptr, &endpoint);
    std::vector<uint8_t> expected = Bytes(first);
    expected.insert(expected.end(), {127, 0, 0, 2, uint8_t(endpoint->local_port),
                                     uint8_t(endpoint->local_port >> 8), 0, 0});
    EXPECT_EQ(expected, g_addresses[a][0]);
    // The generator skips host parts 0 and 255 and covers the whole range.
    EXPECT_EQ(std::vector<uint8_t>({198, 18, 0, 254}), Bytes(RelayedAddress(253)));
    EXPECT_EQ(std::vector<uint8_t>({198, 18, 1, 1}), Bytes(RelayedAddress(254)));
    EXPECT_EQ(std::vector<uint8_t>({198, 19, 255, 254}),
              Bytes(RelayedAddress(kRelayedAddressCount - 1)));
    EXPECT_TRUE(IsRelayedAddress(RelayedAddress(kRelayedAddressCount - 1)));
    for (uint32_t index : {0u, 253u, 254u, 65535u, kRelayedAddressCount - 1}) {
        EXPECT_EQ(index, RelayedAddressIndex(RelayedAddress(index)));
    }
    uint32_t outside = 0;
    for (auto b : std::vector<std::vector<uint8_t>>{
             {198, 20, 0, 1}, {198, 17, 255, 1}, {198, 18, 0, 0}, {198, 18, 3, 255}}) {
        std::memcpy(&outside, b.data(), 4);
        EXPECT_FALSE(IsRelayedAddress(outside));
    }
}

TEST_F(RelayServiceTest, AnAddressGoesBackWhenItsLauncherLeavesAndTheSameSocketGetsItAgain) {
    RelayProcess relay({"--clock-scale", "100"});
    uint32_t first = 0, again = 0, other = 0;
    int32_t a = RelayingLauncher(relay, "s", "127.0.0.2", {10, 0, 0, 2}, &first);
    RelayingLauncher(relay, "s", "127.0.0.3", {10, 0, 0, 3}, &other);
    Endpoint* endpoint = nullptr;
    TransportConnectionInfo(a, nullptr, nullptr, &endpoint);
    uint16_t port = endpoint->local_port;
    TransportReset();  // both launchers are gone without a word; the relay times them out
    SetTransportLogSink(nullptr);
    std::this_thread::sleep_for(std::chrono::milliseconds(1000));
    relay.Stop();
    EXPECT_EQ(0, relay.Stat("links"));
    // The same launcher socket (a restarted relay, or another relay, sees the same)
    // gets the same relayed address.
    RelayProcess restarted({"--clock-scale", "100"});
    g_connected.clear();
    g_addresses.clear();
    uint32_t bind_ip = 0;
    ResolveIPv4("127.0.0.2", &bind_ip);
    Endpoint* same_socket = CreateEndpoint(port, bind_ip);
    ASSERT_NE(nullptr, same_socket);
    int32_t back = Connect(same_socket, "127.0.0.1", restarted.port());
    SetDefaultHandler(back, Inbox);
    SetEventCallback(back, EVENT_CONNECTED, Connected);
    ASSERT_TRUE(PumpUntil([&] { return g_connected[back]; }));
    Send(back, kJoinMessageType, JoinMessage("s", kJoinFlagRelayedTraffic));
    ASSERT_TRUE(PumpUntil([&] { return !g_addresses[back].empty(); }));
    std::memcpy(&again, g_addresses[back][0].data(), 4);
    EXPECT_NE(first, other);
    EXPECT_EQ(first, again);
}

TEST_F(RelayServiceTest, AGamesDatagramReachesOnlyTheMemberItNamesInTheSendersSession) {
    RelayProcess relay;
    uint32_t a_address = 0, b_address = 0, c_address = 0;
    int32_t a = RelayingLauncher(relay, "s", "127.0.0.2", {10, 97, 1, 2}, &a_address);
    int32_t b = RelayingLauncher(relay, "s", "127.0.0.3", {10, 97, 2, 2}, &b_address);
    int32_t c = RelayingLauncher(relay, "other", "127.0.0.4", {10, 97, 3, 2}, &c_address);
    int32_t older = Launcher(relay, "s", "127.0.0.5");
    auto datagram = [](uint32_t to, const std::vector<uint8_t>& payload) {
        std::vector<uint8_t> m = LinkMessage(4000, Bytes(to), payload);
        SetLinkSourcePort(m.data(), 27901);
        return m;
    };
    std::vector<uint8_t> to_b = datagram(b_address, Pattern(kDirectMaxPayload, 9));
    ASSERT_EQ(0, TransportSendDatagram(a, to_b.data(), int32_t(to_b.size()), kDirectMessageType));
    ASSERT_TRUE(PumpUntil([&] { return !g_directs[b].empty(); }));
    // As from a's relayed address; port, source port and payload as they were.
    std::vector<uint8_t> expected = to_b;
    StampLinkAddress(expected.data(), expected.size(), a_address);
    EXPECT_EQ(expected, g_directs[b][0]);
    // Another session's member, an address nobody holds, a malformed one, and a
    // launcher that never asked: nothing arrives anywhere.
    std::vector<uint8_t> to_c = datagram(c_address, {1});
    TransportSendDatagram(a, to_c.data(), int32_t(to_c.size()), kDirectMessageType);
    std::vector<uint8_t> to_nobody = datagram(RelayedAddress(900), {2});
    TransportSendDatagram(a, to_nobody.data(), int32_t(to_nobody.size()), kDirectMessageType);
    std::vector<uint8_t> no_magic = datagram(b_address, {3});
    no_magic[0] = 0;
    TransportSendDatagram(a, no_magic.data(), int32_t(no_magic.size()), kDirectMessageType);
    std::vector<uint8_t> from_older = datagram(b_address, {4});
    TransportSendDatagram(older, from_older.data(), int32_t(from_older.size()), kDirectMessageType);
    PumpFor(200);
    EXPECT_EQ(1u, g_directs[b].size());
    EXPECT_TRUE(g_directs[c].empty());
    EXPECT_TRUE(g_inbox[b].empty() && g_inbox[c].empty());
    // Nothing is resent: the relay holds no message for anybody.
    EXPECT_EQ(0u, TransportPendingCount(a));
    relay.Stop();
    EXPECT_EQ(3, relay.Stat("direct_in"));
    EXPECT_EQ(1, relay.Stat("direct_out"));
    EXPECT_EQ(1, relay.Stat("other_session"));
    EXPECT_EQ(1, relay.Stat("no_destination"));
    EXPECT_EQ(1, relay.Stat("malformed_relay"));
    EXPECT_EQ(1, relay.Stat("not_joined"));
}

TEST_F(RelayServiceTest, EachMemberSeesABroadcastsSenderWhereItCanReachIt) {
    RelayProcess relay;
    uint32_t nat_address = 0, unused = 0;
    // The sender behind a router (it says 10.97.1.2, the relay sees 127.0.0.2).
    int32_t sender = RelayingLauncher(relay, "s", "127.0.0.2", {10, 97, 1, 2}, &nat_address);
    int32_t same_router = RelayingLauncher(relay, "s", "127.0.0.2", {10, 97, 1, 3}, &unused);
    int32_t public_one = RelayingLauncher(relay, "s", "127.0.0.3", {127, 0, 0, 3}, &unused);
    int32_t other_router = RelayingLauncher(relay, "s", "127.0.0.4", {10, 97, 4, 2}, &unused);
    int32_t older = Launcher(relay, "s", "127.0.0.5");
    Send(sender, kRelayMessageType, RelayMessage("s", LinkMessage(770, {10, 97, 1, 2}, {5})));
    ASSERT_TRUE(PumpUntil([&] {
        return g_inbox[same_router].size() && g_inbox[public_one].size() &&
               g_inbox[other_router].size() && g_inbox[older].size();
    }));
    EXPECT_EQ(LinkMessage(770, {10, 97, 1, 2}, {5}), g_inbox[same_router][0]);  // direct
    EXPECT_EQ(LinkMessage(770, Bytes(nat_address), {5}), g_inbox[public_one][0]);
    EXPECT_EQ(LinkMessage(770, Bytes(nat_address), {5}), g_inbox[other_router][0]);
    EXPECT_EQ(LinkMessage(770, {127, 0, 0, 2}, {5}), g_inbox[older][0]);  // as before
    // A sender that stamped no address of its own: the one behind the same router gets
    // its relayed address (the router's would not lead back to it), the older launcher
    // the address the relay sees.
    Send(sender, kRelayMessageType, RelayMessage("s", LinkMessage(770, {0, 0, 0, 0}, {9})));
    ASSERT_TRUE(PumpUntil([&] { return g_inbox[same_router].size() == 2; }));
    EXPECT_EQ(LinkMessage(770, Bytes(nat_address), {9}), g_inbox[same_router][1]);
    ASSERT_TRUE(PumpUntil([&] { return g_inbox[older].size() == 2; }));
    EXPECT_EQ(LinkMessage(770, {127, 0, 0, 2}, {9}), g_inbox[older][1]);

    // Two players that both have the address the relay sees keep the direct path.
    uint32_t also_public = 0;
    int32_t second_public = RelayingLauncher(relay, "s", "127.0.0.6", {127, 0, 0, 6}, &also_public);
    Send(second_public, kRelayMessageType,
         RelayMessage("s", LinkMessage(771, {127, 0, 0, 6}, {6})));
    ASSERT_TRUE(PumpUntil([&] { return g_inbox[public_one].size() == 3; }));
    EXPECT_EQ(LinkMessage(771, {127, 0, 0, 6}, {6}), g_inbox[public_one][2]);
    EXPECT_EQ(LinkMessage(771, Bytes(also_public), {6}), g_inbox[sender].back());
}

TEST_F(RelayServiceTest, TheSendersGamePortPassesOnlyWhenItsHeaderSaysSo) {
    RelayProcess relay;
    int32_t sender = Launcher(relay, "s", "127.0.0.2");
    int32_t receiver = Launcher(relay, "s", "127.0.0.2");  // the address stays as stamped
    std::vector<uint8_t> link = LinkMessage(27910, {10, 0, 0, 5}, {7, 7});
    SetLinkSourcePort(link.data(), 27901);
    Send(sender, kRelayMessageType, RelayMessage("s", link, kRelayFlagSourcePort));
    Send(sender, kRelayMessageType, RelayMessage("s", link));  // leftover bytes 6-7
    ASSERT_TRUE(PumpUntil([&] { return g_inbox[receiver].size() == 2; }));
    EXPECT_EQ(link, g_inbox[receiver][0]);
    EXPECT_EQ(27901, LinkSourcePort(g_inbox[receiver][0].data()));
    EXPECT_EQ(LinkMessage(27910, {10, 0, 0, 5}, {7, 7}), g_inbox[receiver][1]);
}

TEST_F(RelayServiceTest, AJoinMovesALauncherAndEmptySessionsDisappear) {
    RelayProcess relay;
    int32_t a1 = Launcher(relay, "alpha");
    int32_t a2 = Launcher(relay, "alpha");
    int32_t a3 = Launcher(relay, "alpha");
    Send(a2, kJoinMessageType, JoinMessage("beta"));
    Send(a2, kJoinMessageType, JoinMessage("gamma"));
    Send(a1, kRelayMessageType, RelayMessage("alpha", LinkMessage(1, {10, 0, 0, 1}, {7})));
    PumpUntil([&] { return g_inbox[a3].size() == 1; });
    PumpFor(100);
    EXPECT_EQ(1u, g_inbox[a3].size());
    EXPECT_TRUE(g_inbox[a2].empty());
    relay.Stop();
    EXPECT_EQ(2, relay.Stat("sessions"));  // alpha and gamma; beta emptied
    EXPECT_EQ(3, relay.Stat("members"));
}

// A launcher that answers the handshake and joins by hand, then goes silent.
struct SilentLauncher {
    RawPeer peer{0};
    int32_t relay_side = 0;
    std::vector<Datagram> received;

    // `prove`: answer each confirmation (a launcher at a real address does; a forged
    // source cannot).
    void Connect(uint16_t relay_port, int32_t my_id, int times = 1, bool prove = true) {
        ConnectBody body;
        std::strcpy(body.host, "127.0.0.1");
        body.port = peer.port();
        body.connection_id = my_id;
        std::vector<uint8_t> bytes(kConnectBodySize);
        WriteConnectBody(bytes.data(), body);
        for (int i = 0; i < times; ++i) {
            peer.SendTo(relay_port, MakeDatagram(uint32_t(100 + i), MSG_CONNECT, 1, 1, bytes));
        }
        // Each confirmation is answered at once, before the relay resends it.
        if (!prove) return;
        Datagram d;
        for (int confirmed = 0; confirmed < times && peer.Receive(&d, 2000);) {
            if (d.header.type == MSG_CONFIRM_CONNECT) {
                relay_side = GetI32(d.payload.data() + 4);
                Ack(relay_port, d);
                ++confirmed;
            }
        }
    }
    void Ack(uint16_t relay_port, const Datagram& d) {
        std::vector<uint8_t> ack(8);
        WriteAckBody(ack.data(), d.header.id, d.header.type, d.header.seq);
        peer.SendTo(relay_port, MakeDatagram(9999, MSG_ACK, 1, 1, ack));
    }
    void SendUser(uint16_t relay_port, uint32_t id, uint16_t type,
                  const std::vector<uint8_t>& body) {
        peer.SendTo(relay_port, MakeDatagram(id, type, 1, 1, body));
    }
};

TEST_F(RelayServiceTest, ASourceThatNeverAnswersGetsNoMoreBytesThanItSentAndNoSessionTraffic) {
    // What a forged source looks like to the relay: connects, joins and sends, but
    // never acknowledges the confirmation (it never sees it).
    RelayProcess relay({"--clock-scale", "100"});  // its 30 s of resends in 300 ms
    RawPeer forged;
    ConnectBody body;
    std::strcpy(body.host, "127.0.0.1");
    body.port = forged.port();
    body.connection_id = 1;
    std::vector<uint8_t> connect(kConnectBodySize);
    WriteConnectBody(connect.data(), body);
    size_t sent = 0;
    auto send = [&](const std::vector<uint8_t>& datagram) {
        forged.SendTo(relay.port(), datagram);
        sent += datagram.size();
    };
    send(MakeDatagram(1, MSG_CONNECT, 1, 1, connect));
    send(MakeDatagram(2, kJoinMessageType, 1, 1, JoinMessage("alpha")));
    // The least it can send: one connect (84 bytes), answered by one confirmation.
    RawPeer connect_only;
    body.port = connect_only.port();
    WriteConnectBody(connect.data(), body);
    connect_only.SendTo(relay.port(), MakeDatagram(1, MSG_CONNECT, 1, 1, connect));
    int32_t a1 = Launcher(relay, "alpha");
    int32_t a2 = Launcher(relay, "alpha");
    send(MakeDatagram(3, kRelayMessageType, 1, 1,
                      RelayMessage("alpha", LinkMessage(5, {10, 0, 0, 9}, {1}))));
    for (int i = 0; i < 5; ++i) {
        Send(a1, kRelayMessageType, RelayMessage("alpha", LinkMessage(5, {10, 0, 0, 9}, {2})));
    }
    PumpFor(600);  // past the relay's last resend and the link's time-out
    size_t received = 0;
    for (const auto& d : forged.Drain(100)) {
        received += kHeaderSize + d.payload.size();
        EXPECT_EQ(MSG_CONFIRM_CONNECT, d.header.type);  // the one answer to its connect
    }
    EXPECT_LE(received, sent);
    size_t connect_only_received = 0;
    for (const auto& d : connect_only.Drain(50)) {
        connect_only_received += kHeaderSize + d.payload.size();
    }
    EXPECT_GT(connect_only_received, 0u);
    EXPECT_LE(connect_only_received, kHeaderSize + kConnectBodySize);
    EXPECT_EQ(5u, g_inbox[a2].size());  // the real session works meanwhile
    relay.Stop();
    EXPECT_EQ(2, relay.Stat("members"));
    EXPECT_EQ(2, relay.Stat("links"));  // both unanswered links expired
}

TEST_F(RelayServiceTest, UnprovenLinksAreCappedInAllAndPerSourceAndRealLaunchersGetIn) {
    RelayProcess relay({"--max-unverified", "4", "--max-unverified-per-source", "2"});
    // Connects that never answer the confirmation, from four addresses: 127.0.0.10
    // sends three (the third is refused), the others two each (the oldest make room).
    std::vector<SocketHandle> sockets;
    auto connect_from = [&](const char* ip, int32_t id) {
        uint32_t bind_ip = 0;
        ResolveIPv4(ip, &bind_ip);
        SocketHandle s = SocketOpenUdp();
        SocketBind(s, 0, bind_ip);
        uint16_t port = 0;
        SocketLocalPort(s, &port);
        ConnectBody body;
        std::strcpy(body.host, "127.0.0.1");
        body.port = port;
        body.connection_id = id;
        std::vector<uint8_t> bytes(kConnectBodySize);
        WriteConnectBody(bytes.data(), body);
        std::vector<uint8_t> datagram = MakeDatagram(1, MSG_CONNECT, 1, 1, bytes);
        SocketSendTo(s, datagram.data(), datagram.size(), Loopback(relay.port()));
        sockets.push_back(s);
    };
    for (int i = 1; i <= 3; ++i) connect_from("127.0.0.10", i);
    for (const char* ip : {"127.0.0.11", "127.0.0.12", "127.0.0.13"}) {
        connect_from(ip, 1);
        connect_from(ip, 2);
    }
    PumpFor(200);
    // A launcher that answers gets in, joins and relays.
    int32_t a1 = Launcher(relay, "alpha", "127.0.0.2");
    int32_t a2 = Launcher(relay, "alpha", "127.0.0.3");
    Send(a1, kRelayMessageType, RelayMessage("alpha", LinkMessage(5, {10, 0, 0, 9}, {1})));
    EXPECT_TRUE(PumpUntil([&] { return g_inbox[a2].size() == 1; }));
    for (SocketHandle s : sockets) SocketClose(s);
    relay.Stop();
    EXPECT_EQ(1, relay.Stat("source_limit"));
    // 8 taken and 4 dropped to keep 4; the first launcher's connect dropped one more
    // (it was unproven itself until it answered), the second found room.
    EXPECT_EQ(5, relay.Stat("unverified_dropped"));
    EXPECT_EQ(5, relay.Stat("links"));  // 3 unproven, 2 launchers
    EXPECT_EQ(2, relay.Stat("members"));
}

TEST_F(RelayServiceTest, OneSourceAddressCannotSendMoreThanItsRate) {
    RelayProcess relay({"--max-messages-per-source", "20"});
    int32_t busy = Launcher(relay, "s", "127.0.0.2");
    int32_t other = Launcher(relay, "s", "127.0.0.3");
    int32_t receiver = Launcher(relay, "s", "127.0.0.4");
    std::vector<uint8_t> message = RelayMessage("s", LinkMessage(5, {10, 0, 0, 9}, {1}));
    for (int i = 0; i < 50; ++i) {
        TransportSend(busy, message.data(), int32_t(message.size()), kRelayMessageType);
    }
    Send(other, kRelayMessageType, RelayMessage("s", LinkMessage(5, {10, 0, 0, 8}, {2})));
    PumpFor(300);
    size_t from_busy = 0, from_other = 0;
    for (const auto& m : g_inbox[receiver]) ++(m[kLinkHeaderSize] == 1 ? from_busy : from_other);
    EXPECT_GE(from_busy, 20u);
    EXPECT_LE(from_busy, 40u);  // at most one more second's worth
    EXPECT_EQ(1u, from_other);  // the other address is not held back
    relay.Stop();
    EXPECT_EQ(int64_t(50 - from_busy), relay.Stat("source_rate"));
}

TEST_F(RelayServiceTest, RepeatedConnectDoesNotDuplicateBroadcasts) {
    RelayProcess relay;
    SilentLauncher twice;
    twice.Connect(relay.port(), 1, 2);  // the connect and its resend
    twice.SendUser(relay.port(), 200, kJoinMessageType, JoinMessage("alpha"));
    int32_t a1 = Launcher(relay, "alpha");
    twice.peer.Drain(100);
    Send(a1, kRelayMessageType, RelayMessage("alpha", LinkMessage(5, {10, 0, 0, 9}, {1})));
    // It acknowledges nothing, so copies are resent: count messages, not copies.
    std::set<uint32_t> relays;
    for (auto& d : twice.peer.Drain(300)) {
        if (d.header.type == kRelayMessageType) relays.insert(d.header.id);
    }
    EXPECT_EQ(1u, relays.size());
    relay.Stop();
    EXPECT_EQ(2, relay.Stat("members"));
    EXPECT_EQ(2, relay.Stat("links"));  // the repeated connect was confirmed again, not linked
}

TEST_F(RelayServiceTest, SilentLauncherTimesOutAndLeaves) {
    RelayProcess relay({"--clock-scale", "100"});  // 30 s of protocol time in 300 ms
    SilentLauncher silent;
    silent.Connect(relay.port(), 1);
    silent.SendUser(relay.port(), 200, kJoinMessageType, JoinMessage("alpha"));
    int32_t a1 = Launcher(relay, "alpha");
    Send(a1, kRelayMessageType, RelayMessage("alpha", LinkMessage(5, {10, 0, 0, 9}, {1})));
    PumpFor(1500);  // a1 keeps answering heartbeats; the silent one does not
    Send(a1, kRelayMessageType, RelayMessage("alpha", LinkMessage(5, {10, 0, 0, 9}, {2})));
    PumpFor(50);
    relay.Stop();
    EXPECT_EQ(1, relay.Stat("members"));
    EXPECT_EQ(1, relay.Stat("links"));
    EXPECT_EQ(2, relay.Stat("in"));
    EXPECT_EQ(1, relay.Stat("out"));  // only the first broadcast had a receiver
}

TEST_F(RelayServiceTest, MalformedMessagesAreDroppedAndCounted) {
    RelayProcess relay;
    int32_t a1 = Launcher(relay, nullptr);
    int32_t a2 = Launcher(relay, "alpha");
    std::vector<uint8_t> link = LinkMessage(5, {10, 0, 0, 9}, {1, 2});
    Send(a1, kRelayMessageType, RelayMessage("alpha", link));  // not joined
    std::vector<uint8_t> short_join = JoinMessage("alpha");
    short_join.pop_back();
    Send(a1, kJoinMessageType, short_join);
    std::vector<uint8_t> unterminated(kJoinMessageSize, 'x');
    Send(a1, kJoinMessageType, unterminated);
    Send(a1, kJoinMessageType, JoinMessage(""));
    Send(a1, kJoinMessageType, JoinMessage("alpha"));
    std::vector<uint8_t> wrong_length = RelayMessage("alpha", link);
    WriteLe32(wrong_length.data() + 68, uint32_t(link.size() + 1));
    Send(a1, kRelayMessageType, wrong_length);
    Send(a1, kRelayMessageType,
         RelayMessage("alpha", {0xF9, 0xF9, 0xF9, 0xF9, 1, 2, 3, 4, 5, 6, 7}));
    std::vector<uint8_t> no_magic = link;
    no_magic[0] = 0;
    Send(a1, kRelayMessageType, RelayMessage("alpha", no_magic));
    Send(a1, kRelayMessageType,
         RelayMessage("alpha", Pattern(2100)));  // longer than a link message
    Send(a1, 5, {1, 2, 3});
    RawPeer stranger;
    stranger.SendTo(relay.port(), {1, 2, 3, 4, 5});
    PumpFor(100);
    EXPECT_TRUE(g_inbox[a2].empty());
    relay.Stop();
    EXPECT_EQ(1, relay.Stat("not_joined"));
    EXPECT_EQ(3, relay.Stat("malformed_join"));
    EXPECT_EQ(4, relay.Stat("malformed_relay"));
    EXPECT_EQ(1, relay.Stat("other_type"));
    EXPECT_EQ(1, relay.Stat("bad_datagram"));
    EXPECT_EQ(0, relay.Stat("out"));
    EXPECT_EQ(1, relay.Stat("sessions"));
}

TEST_F(RelayServiceTest, CapsAreEnforced) {
    RelayProcess relay({"--max-members", "2", "--max-sessions", "1", "--max-connections", "3"});
    int32_t a1 = Launcher(relay, "alpha");
    Launcher(relay, "alpha");
    int32_t a3 = Launcher(relay, "alpha");            // session full
    Send(a3, kJoinMessageType, JoinMessage("beta"));  // no room for a second session
    uint32_t ip = 0;
    ResolveIPv4("127.0.0.2", &ip);
    int32_t a4 = Connect(CreateEndpoint(0, ip), "127.0.0.1", relay.port());
    SetEventCallback(a4, EVENT_CONNECTED, Connected);
    PumpFor(300);
    EXPECT_FALSE(g_connected[a4]);
    Send(a1, kRelayMessageType, RelayMessage("alpha", LinkMessage(5, {10, 0, 0, 9}, {1})));
    relay.Stop();
    EXPECT_EQ(1, relay.Stat("member_limit"));
    EXPECT_EQ(1, relay.Stat("session_limit"));
    EXPECT_GE(relay.Stat("connection_limit"), 1);
    EXPECT_EQ(2, relay.Stat("members"));
    EXPECT_EQ(1, relay.Stat("out"));
}

TEST_F(RelayServiceTest, BadCommandLinesAreRejected) {
    struct Case {
        std::vector<std::string> args;
        int code;
        const char* says;
    };
    const Case cases[] = {
        {{"--port", "abc"}, 2, "--port: needs a number from 1 to 65535, got 'abc'"},
        {{"--port", "0"}, 2, "--port: needs a number"},
        {{"--port", "70000"}, 2, "--port: needs a number"},
        {{"--port"}, 2, "--port: 1 required"},
        {{"--max-members", "-3"}, 2, "--max-members: needs a number"},
        {{"--bind", "nowhere.invalid"}, 2, "--bind: needs an IPv4 address"},
        {{"--metrics", "127.0.0.1"}, 2, "--metrics: needs ADDR:PORT"},
        {{"--metrics", "127.0.0.1:0"}, 2, "--metrics: needs ADDR:PORT"},
        {{"--session-range", "10.0.0.0/25"}, 2, "--session-range: needs A.B.C.D/N with N from 8"},
        {{"--session-range", "10.0.0.1/24"}, 2, "--session-range: needs A.B.C.D/N"},
        {{"--session-range", "10.0.0.0"}, 2, "--session-range: needs A.B.C.D/N"},
        {{"--frobnicate"}, 2, "not expected: --frobnicate"},
        {{"--help"}, 0, "usage: ozrelay"},
        {{"--help"}, 0, "--metrics ADDR:PORT"},
        {{"--version"}, 0, "ozrelay " OZLAN_VERSION},
    };
    for (const auto& c : cases) {
        RelayProcess relay(c.args, false);
        EXPECT_EQ(c.code, relay.Wait()) << c.args[0];
        EXPECT_NE(std::string::npos, relay.Output().find(c.says)) << relay.Output();
    }
    RawPeer busy;
    RelayProcess relay({"--port", std::to_string(busy.port()), "--bind", "127.0.0.1"}, false);
    EXPECT_EQ(1, relay.Wait());
    EXPECT_NE(std::string::npos,
              relay.Output().find("cannot open UDP port " + std::to_string(busy.port()) +
                                  ": [-4] unable to bind to socket"));
}

TEST_F(RelayServiceTest, InterruptStopsCleanlyWithAFinalStatsLine) {
    RelayProcess relay({"--stats-interval", "1"});
    std::this_thread::sleep_for(std::chrono::milliseconds(1200));
    EXPECT_NE(std::string::npos, relay.Output().find("ozrelay: sessions=0 members=0"));
    EXPECT_EQ(0, relay.Stop());
    EXPECT_NE(std::string::npos, relay.Output().find("ozrelay: stopped; sessions=0"));
}

// Notices the relay sends (types 11 and 12), by receiving link.
std::map<int32_t, std::vector<uint32_t>> g_notices;
void NoticeInbox(const uint8_t* data, int32_t length, int32_t type, int32_t id, void* zero) {
    if (type == int32_t(kNoLinkNoticeType) || type == int32_t(kGoingAwayNoticeType)) {
        g_notices[id].push_back(uint32_t(type));
    }
    Inbox(data, length, type, id, zero);
}

TEST_F(RelayServiceTest, AnUnknownSourceGetsOneShortNoticeASecondAndNoticesGoUnanswered) {
    RelayProcess relay;
    RawPeer stranger;
    auto notices = [&](int quiet_ms) {
        std::vector<std::vector<uint8_t>> got;
        std::vector<uint8_t> d;
        SocketAddress from;
        while (stranger.ReceiveRaw(&d, &from, quiet_ms)) got.push_back(d);
        return got;
    };
    // A heartbeat of a link the relay does not have: 12 bytes back, type 11, empty.
    stranger.SendTo(relay.port(), MakeDatagram(5, MSG_HEARTBEAT, 1, 1, U32Body(9)));
    std::vector<std::vector<uint8_t>> got = notices(50);
    ASSERT_EQ(1u, got.size());
    EXPECT_EQ(std::vector<uint8_t>({0, 0, 0, 0, 11, 0, 0, 0, 0, 0, 0, 0}), got[0]);
    // More at once go unanswered (a second may turn meanwhile: one more at most); a
    // second later one gets one again.
    for (int i = 0; i < 10; ++i) {
        stranger.SendTo(relay.port(), MakeDatagram(uint32_t(6 + i), 8, 1, 1, Pattern(40)));
    }
    size_t extra = notices(30).size();
    EXPECT_LE(extra, 1u);
    std::this_thread::sleep_for(std::chrono::milliseconds(1100));
    stranger.SendTo(relay.port(), MakeDatagram(30, 8, 1, 1, {}));  // 12 bytes: as large
    EXPECT_EQ(1u, notices(50).size());
    // Shorter than a header, or a notice itself (two relays must not answer each
    // other): nothing.
    std::this_thread::sleep_for(std::chrono::milliseconds(1100));
    stranger.SendTo(relay.port(), std::vector<uint8_t>(11, 0));
    stranger.SendTo(relay.port(), MakeDatagram(0, uint16_t(kNoLinkNoticeType), 0, 0, {}));
    stranger.SendTo(relay.port(), MakeDatagram(0, uint16_t(kGoingAwayNoticeType), 0, 0, {}));
    EXPECT_TRUE(notices(50).empty());
    // A launcher with a link gets none.
    int32_t a1 = Launcher(relay, "alpha");
    SetDefaultHandler(a1, NoticeInbox);
    Send(a1, kRelayMessageType, RelayMessage("alpha", LinkMessage(5, {10, 0, 0, 9}, {1})));
    PumpFor(100);
    EXPECT_TRUE(g_notices[a1].empty());
    relay.Stop();
    EXPECT_EQ(long(2 + extra), relay.Stat("notices"));
    EXPECT_EQ(long(10 - extra), relay.Stat("notice_rate"));
}

TEST_F(RelayServiceTest, AStoppingRelayTellsEveryProvenLinkTwiceAndNoOtherSource) {
    RelayProcess relay;
    int32_t a1 = Launcher(relay, "alpha");
    int32_t a2 = Launcher(relay, "beta", "127.0.0.3");
    SetDefaultHandler(a1, NoticeInbox);
    SetDefaultHandler(a2, NoticeInbox);
    // An unproven source: its connect was confirmed, never answered.
    SilentLauncher unproven;
    unproven.Connect(relay.port(), 1, 1, false);
    unproven.peer.Drain(100);
    EXPECT_EQ(0, relay.Stop());
    PumpFor(100);
    EXPECT_EQ(std::vector<uint32_t>({kGoingAwayNoticeType, kGoingAwayNoticeType}), g_notices[a1]);
    EXPECT_EQ(std::vector<uint32_t>({kGoingAwayNoticeType, kGoingAwayNoticeType}), g_notices[a2]);
    EXPECT_TRUE(unproven.peer.Drain(50).empty());
    EXPECT_NE(std::string::npos, relay.Output().find("ozrelay: stopping; told 2 launchers"));
}

TEST_F(RelayServiceTest, ALauncherConnectingAgainFromItsSocketReplacesItsLinkAndKeepsItsAddress) {
    RelayProcess relay;
    uint32_t first_address = 0, other_address = 0;
    int32_t old_link = RelayingLauncher(relay, "alpha", "127.0.0.2", {10, 1, 1, 1}, &first_address);
    int32_t other = RelayingLauncher(relay, "alpha", "127.0.0.3", {10, 1, 1, 2}, &other_address);
    // The launcher lost its link (it thinks) and connects again from the same socket.
    Endpoint* ep = nullptr;
    TransportConnectionInfo(old_link, nullptr, nullptr, &ep);
    TransportDropConnection(old_link);
    int32_t link = Connect(ep, "127.0.0.1", relay.port());
    SetDefaultHandler(link, Inbox);
    SetEventCallback(link, EVENT_CONNECTED, Connected);
    ASSERT_TRUE(PumpUntil([&] { return g_connected[link]; }));
    Send(link, kJoinMessageType, JoinMessage("alpha", kJoinFlagRelayedTraffic));
    ASSERT_TRUE(PumpUntil([&] { return !g_addresses[link].empty(); }));
    uint32_t again;
    std::memcpy(&again, g_addresses[link][0].data(), 4);
    EXPECT_EQ(first_address, again) << "the games know this player by its relayed address";
    // One broadcast of the other member reaches it once, on its new link.
    Send(other, kRelayMessageType, RelayMessage("alpha", LinkMessage(5, {10, 1, 1, 2}, {7})));
    ASSERT_TRUE(PumpUntil([&] { return !g_inbox[link].empty(); }));
    PumpFor(100);
    EXPECT_EQ(1u, g_inbox[link].size());
    relay.Stop();
    EXPECT_EQ(2, relay.Stat("members"));
    EXPECT_EQ(2, relay.Stat("links"));
    EXPECT_EQ(1, relay.Stat("replaced"));
}

TEST_F(RelayServiceTest, ARestartedRelayGivesARejoiningLauncherTheRelayedAddressItHad) {
    uint16_t port = FreeUdpPort();
    uint32_t had = 0, taken = 0, other = 0;
    {
        RelayProcess relay(port, {});
        RelayingLauncher(relay, "alpha", "127.0.0.2", {10, 1, 1, 1}, &other);
        RelayingLauncher(relay, "alpha", "127.0.0.3", {10, 1, 1, 2}, &taken);
        RelayingLauncher(relay, "alpha", "127.0.0.4", {10, 1, 1, 3}, &had);
        relay.Stop();
    }
    TransportReset();
    g_addresses.clear();
    g_connected.clear();
    RelayProcess relay(port, {});
    // Back from another socket (a launcher restarted): it is offered another address,
    // and asks for the one it had.
    uint32_t offered = 0;
    int32_t rejoined = RelayingLauncher(relay, "alpha", "127.0.0.4", {10, 1, 1, 3}, &offered);
    ASSERT_NE(had, offered) << "a new socket: another address";
    std::vector<uint8_t> ask(8);
    std::memcpy(ask.data(), std::vector<uint8_t>({10, 1, 1, 3}).data(), 4);
    std::memcpy(ask.data() + 4, &had, 4);
    Send(rejoined, kAddressMessageType, ask);
    ASSERT_TRUE(PumpUntil([&] { return g_addresses[rejoined].size() == 2; }));
    uint32_t now_holds;
    std::memcpy(&now_holds, g_addresses[rejoined][1].data(), 4);
    EXPECT_EQ(had, now_holds);
    // One that asks for an address somebody holds keeps the one it was offered.
    uint32_t second = 0;
    int32_t late = RelayingLauncher(relay, "alpha", "127.0.0.3", {10, 1, 1, 2}, &second);
    std::memcpy(ask.data() + 4, &had, 4);
    Send(late, kAddressMessageType, ask);
    PumpFor(100);
    EXPECT_EQ(1u, g_addresses[late].size());
    relay.Stop();
    EXPECT_EQ(1, relay.Stat("kept_address"));
}

std::vector<uint8_t> PrivateJoin(const char* name, uint8_t fill, uint32_t flags = 0) {
    std::vector<uint8_t> m(kPrivateJoinMessageSize);
    std::vector<uint8_t> verifier(kVerifierSize, fill);
    WritePrivateJoinMessage(m.data(), name, flags, verifier.data());
    return m;
}

TEST_F(RelayServiceTest, APrivateSessionTakesOnlyItsOwnVerifierAndStrangersGetNothing) {
    RelayProcess relay;
    int32_t a = Launcher(relay, nullptr, "127.0.0.2");
    Send(a, kJoinMessageType, PrivateJoin("friday", 7, kJoinFlagRelayedTraffic));
    int32_t b = Launcher(relay, nullptr, "127.0.0.3");
    Send(b, kJoinMessageType, PrivateJoin("friday", 7));
    int32_t wrong = Launcher(relay, nullptr, "127.0.0.4");
    Send(wrong, kJoinMessageType, PrivateJoin("friday", 8, kJoinFlagRelayedTraffic));
    int32_t none = Launcher(relay, nullptr, "127.0.0.5");
    Send(none, kJoinMessageType, JoinMessage("friday", kJoinFlagRelayedTraffic));
    int32_t open = Launcher(relay, "lobby", "127.0.0.6");
    int32_t into_open = Launcher(relay, nullptr, "127.0.0.7");
    Send(into_open, kJoinMessageType, PrivateJoin("lobby", 7));
    // Malformed: the flag without the verifier, or a verifier without the flag.
    std::vector<uint8_t> short_join = JoinMessage("friday", kJoinFlagVerifier);
    Send(into_open, kJoinMessageType, short_join);
    std::vector<uint8_t> long_join = PrivateJoin("friday", 7);
    WriteLe32(long_join.data() + kJoinFlagsOffset, 0);
    Send(into_open, kJoinMessageType, long_join);
    ASSERT_TRUE(PumpUntil([&] {
        return g_answers[a].size() == 1 && g_answers[b].size() == 1 &&
               g_answers[wrong].size() == 1 && g_answers[none].size() == 1 &&
               g_answers[into_open].size() == 1;
    }));
    EXPECT_EQ(kJoinAccepted, g_answers[a][0]);
    EXPECT_EQ(kJoinAccepted, g_answers[b][0]);
    EXPECT_EQ(kJoinWrongPassword, g_answers[wrong][0]);
    EXPECT_EQ(kJoinNeedsPassword, g_answers[none][0]);
    EXPECT_EQ(kJoinSessionIsOpen, g_answers[into_open][0]);
    EXPECT_TRUE(g_answers[open].empty());  // an open join as before: no answer
    // The refused get no relayed address, no broadcast, and reach nobody.
    EXPECT_EQ(1u, g_addresses[a].size());
    EXPECT_TRUE(g_addresses[wrong].empty());
    EXPECT_TRUE(g_addresses[none].empty());
    Send(a, kRelayMessageType, RelayMessage("friday", LinkMessage(5, {10, 0, 0, 9}, {1})));
    Send(wrong, kRelayMessageType, RelayMessage("friday", LinkMessage(5, {10, 0, 0, 8}, {2})));
    Send(none, kRelayMessageType, RelayMessage("friday", LinkMessage(5, {10, 0, 0, 7}, {3})));
    ASSERT_TRUE(PumpUntil([&] { return !g_inbox[b].empty(); }));
    PumpFor(100);
    EXPECT_EQ(1u, g_inbox[b].size());
    EXPECT_TRUE(g_inbox[a].empty());
    EXPECT_TRUE(g_inbox[wrong].empty());
    EXPECT_TRUE(g_inbox[none].empty());
    relay.Stop();
    EXPECT_EQ(3, relay.Stat("members"));
    EXPECT_EQ(1, relay.Stat("wrong_password"));
    EXPECT_EQ(1, relay.Stat("needs_password"));
    EXPECT_EQ(1, relay.Stat("session_open"));
    EXPECT_EQ(2, relay.Stat("malformed_join"));
    EXPECT_EQ(2, relay.Stat("not_joined"));
}

TEST_F(RelayServiceTest, AnAddressRefusedFiveTimesInAMinuteIsIgnoredForTheRestOfIt) {
    RelayProcess relay({"--clock-scale", "100"});  // a minute in 600 ms
    int32_t owner = Launcher(relay, nullptr, "127.0.0.2");
    Send(owner, kJoinMessageType, PrivateJoin("friday", 7));
    int32_t guesser = Launcher(relay, nullptr, "127.0.0.3");
    for (uint8_t guess = 10; guess < 16; ++guess) {
        Send(guesser, kJoinMessageType, PrivateJoin("friday", guess));
    }
    ASSERT_TRUE(PumpUntil([&] { return g_answers[guesser].size() == 6; }));
    // The sixth guess is not looked at: the answer says so, and how long the minute lasts
    // (in whole seconds of the relay's clock, up to 60).
    int too_many = g_answers[guesser].back();
    EXPECT_EQ(kJoinTooManyTries, too_many >> 8);
    EXPECT_GE(too_many & 0xFF, 1);
    EXPECT_LE(too_many & 0xFF, 60);
    PumpFor(700);                                               // the links stay answered meanwhile
    Send(guesser, kJoinMessageType, PrivateJoin("friday", 7));  // the right one, a minute on
    ASSERT_TRUE(PumpUntil([&] { return g_answers[guesser].size() == 7; }));
    EXPECT_EQ(kJoinAccepted, g_answers[guesser].back());
    relay.Stop();
    EXPECT_EQ(5, relay.Stat("wrong_password"));
    EXPECT_EQ(1, relay.Stat("ignored"));
    EXPECT_EQ(2, relay.Stat("members"));
}

TEST_F(RelayServiceTest, BundlesGoOnlyToLaunchersThatAskAndCarryEverything) {
    RelayProcess relay;
    int32_t sender = Launcher(relay, nullptr, "127.0.0.2");
    int32_t bundled = Launcher(relay, nullptr, "127.0.0.3");
    int32_t plain = Launcher(relay, nullptr, "127.0.0.4");
    Send(sender, kJoinMessageType, JoinMessage("s", kJoinFlagBundles));
    Send(bundled, kJoinMessageType, JoinMessage("s", kJoinFlagBundles));
    Send(plain, kJoinMessageType, JoinMessage("s"));
    ASSERT_TRUE(PumpUntil([&] { return g_bundle_answers[sender] && g_bundle_answers[bundled]; }));
    // A second join is not answered again; a launcher that did not ask is never told.
    Send(bundled, kJoinMessageType, JoinMessage("s", kJoinFlagBundles));
    PumpFor(200);
    EXPECT_EQ(1, g_bundle_answers[bundled]);
    EXPECT_EQ(0, g_bundle_answers[plain]);
    // 300 broadcasts sent in bursts (bundled both ways): every one reaches both others
    // once, in order.
    uint64_t bundled_before = GetTransportStats().bundled;
    for (int i = 0; i < 300; ++i) {
        std::vector<uint8_t> link = LinkMessage(770, {10, 0, 0, 5}, {uint8_t(i), uint8_t(i >> 8)});
        std::vector<uint8_t> m = RelayMessage("s", link);
        TransportSend(sender, m.data(), int32_t(m.size()), kRelayMessageType);
        if (i % 50 == 49) TransportThink(0);
    }
    ASSERT_TRUE(
        PumpUntil([&] { return g_inbox[bundled].size() == 300 && g_inbox[plain].size() == 300; }));
    for (int i = 0; i < 300; ++i) {
        EXPECT_EQ(uint8_t(i), g_inbox[bundled][size_t(i)][12]);
        EXPECT_EQ(uint8_t(i), g_inbox[plain][size_t(i)][12]);
    }
    EXPECT_GT(GetTransportStats().bundled, bundled_before + 200);  // the sender's side
    EXPECT_EQ(0, relay.Stop());
    EXPECT_EQ(300, relay.Stat("in"));
    EXPECT_EQ(600, relay.Stat("out"));
}

}  // namespace
}  // namespace ozlan::test
