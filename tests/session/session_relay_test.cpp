// The session library with the relay service: broadcasts both ways, the game's datagrams
// for relayed players, member tables as the proxy's routes, relays that forget, stop or
// fall silent, and private joins.
#include "tests/session/session_fixture.h"

namespace ozlan::test {
namespace {

uint32_t StampedAddress() {
    char host[128] = {};
    gethostname(host, sizeof host);
    char local[kLocalAddressSize];
    std::snprintf(local, sizeof local, "%s", host);
    if (hostent* entry = gethostbyname(host)) {
        PickLocalAddress(reinterpret_cast<const uint8_t* const*>(entry->h_addr_list),
                         entry->h_length, local, sizeof local);
    }
    return uint32_t(inet_addr(local));
}

TEST_F(SessionLibraryTest, RelayCarriesBroadcastsBothWays) {
    JoinTransportPeer();
    ASSERT_EQ(1u, pre_launch_(game_folder_.c_str(), "arena"));
    RawPeer game(900);    // the game's socket on the broadcast's port
    RawPeer client(905);  // a game socket that queries from a port of its own
    PumpFor(100);
    g_peer_inbox.clear();

    // Outbound: the proxy's link message reaches the relay service behind the header.
    uint32_t stamp = StampedAddress();
    for (size_t size : {size_t(12), size_t(100), size_t(2060)}) {
        std::vector<uint8_t> link(size, 0x41);
        WriteLinkHeader(link.data(), 900);
        client.SendTo(kRelayPort, link);
        client.SendTo(kRelayPort, std::vector<uint8_t>(size, 0x42));  // no magic: dropped
        g_peer_inbox.clear();
        ASSERT_TRUE(Pump([] { return !g_peer_inbox.empty(); })) << size;
        PumpFor(50);
        ASSERT_EQ(1u, g_peer_inbox.size());
        const auto& m = g_peer_inbox[0].data;
        EXPECT_EQ(8, g_peer_inbox[0].type);
        ASSERT_EQ(72 + size, m.size());
        EXPECT_STREQ("arena", reinterpret_cast<const char*>(m.data()));
        // The game socket's own port travels in bytes 6-7, flagged in the header.
        EXPECT_EQ(kRelayFlagSourcePort, GetU32(m.data() + 64));
        EXPECT_EQ(size, GetU32(m.data() + 68));
        StampLinkAddress(link.data(), size, stamp);
        SetLinkSourcePort(link.data(), 905);
        EXPECT_EQ(link, std::vector<uint8_t>(m.begin() + 72, m.end()));
    }

    // Inbound: sent from port 3668 to 127.0.0.1 at the port the header names.
    std::vector<uint8_t> link(112, 0x55);
    WriteLinkHeader(link.data(), 900);
    TransportSend(g_peer_link, link.data(), int32_t(link.size()), 8);
    std::vector<uint8_t> twelve(link.begin(), link.begin() + 12);
    TransportSend(g_peer_link, twelve.data(), 12, 8);  // too short
    TransportSend(g_peer_link, link.data(), 112, 9);   // another type
    std::vector<uint8_t> thirteen(link.begin(), link.begin() + 13);
    TransportSend(g_peer_link, thirteen.data(), 13, 8);
    std::vector<std::vector<uint8_t>> delivered;
    Pump([&] {
        std::vector<uint8_t> d;
        SocketAddress from;
        while (game.ReceiveRaw(&d, &from, 0)) {
            EXPECT_EQ(kRelayPort, HostPort(from));
            EXPECT_EQ(Loopback(0).ip, from.ip);
            delivered.push_back(d);
        }
        return delivered.size() >= 2;
    });
    PumpFor(100);
    ASSERT_EQ(2u, delivered.size());
    EXPECT_EQ(link, delivered[0]);
    EXPECT_EQ(thirteen, delivered[1]);
}

TEST_F(SessionLibraryTest, RelayedTrafficMovesWithoutTheTimer) {
    JoinTransportPeer();
    ASSERT_EQ(1u, pre_launch_(game_folder_.c_str(), "arena"));
    RawPeer game(900);
    PumpFor(100);
    g_peer_inbox.clear();
    // From here on this thread dispatches no window messages: the library's timer
    // never fires, and only its relay thread can move anything.
    auto run_own_transport = [](auto done) {
        auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(500);
        while (!done() && std::chrono::steady_clock::now() < end) {
            TransportThink(0);
            Sleep(1);
        }
        return done();
    };
    std::vector<uint8_t> link(40, 0x66);
    WriteLinkHeader(link.data(), 900);
    for (int i = 0; i < 20; ++i) {
        TransportSend(g_peer_link, link.data(), int32_t(link.size()), 8);
    }
    int delivered = 0;
    EXPECT_TRUE(run_own_transport([&] {
        std::vector<uint8_t> d;
        SocketAddress from;
        while (game.ReceiveRaw(&d, &from, 0)) delivered += d == link;
        return delivered == 20;
    })) << delivered
        << " of 20 reached the game";
    for (int i = 0; i < 20; ++i) game.SendTo(kRelayPort, link);
    EXPECT_TRUE(run_own_transport([] { return g_peer_inbox.size() == 20; }))
        << g_peer_inbox.size() << " of 20 reached the relay service";
    // Every message was acknowledged at once: nothing waits for a resend.
    EXPECT_TRUE(run_own_transport([] { return TransportPendingCount(g_peer_link) == 0; }));
}

// The relayed address the launcher gives a proxy that asks from `proxy`; false
// without an answer.
bool AskOwnAddress(RawPeer& proxy, uint32_t* address) {
    std::vector<uint8_t> query(kLinkHeaderSize);
    WriteOwnAddressQuery(query.data());
    proxy.SendTo(kRelayPort, query);
    std::vector<uint8_t> answer;
    SocketAddress from;
    if (!proxy.ReceiveRaw(&answer, &from, 1000) || answer.size() != kLinkHeaderSize) return false;
    EXPECT_EQ(kRelayPort, HostPort(from));
    *address = LinkAddress(answer.data());
    return true;
}

std::vector<uint8_t> AddressMessage(const std::vector<uint8_t>& relayed,
                                    const std::vector<uint8_t>& seen) {
    std::vector<uint8_t> m = relayed;
    m.insert(m.end(), seen.begin(), seen.end());
    m.insert(m.end(), {0x34, 0x12, 0, 0});
    return m;
}

TEST_F(SessionLibraryTest, BehindARouterGamesDatagramsForRelayedPlayersTravelUnacknowledged) {
    JoinTransportPeer();
    ASSERT_EQ(1u, pre_launch_(game_folder_.c_str(), "arena"));
    RawPeer game(900);
    RawPeer client(905);
    ASSERT_TRUE(Pump([] { return !g_peer_inbox.empty(); }));
    // The join asks for relayed traffic.
    EXPECT_EQ(
        kJoinFlagRelayedTraffic | kJoinFlagSessionAddresses | kJoinFlagPresence | kJoinFlagBundles,
        GetU32(g_peer_inbox[0].data.data() + kJoinFlagsOffset));
    ASSERT_EQ(1u, g_peer_networks.size());
    // Before the relay service answers, the proxy is told there is no relayed address.
    uint32_t asked = 1;
    ASSERT_TRUE(AskOwnAddress(client, &asked));
    EXPECT_EQ(0u, asked);

    // The relay service sees this launcher at another address: it sits behind a router.
    g_peer_inbox.clear();
    std::vector<uint8_t> answer = AddressMessage({198, 18, 0, 7}, {203, 0, 113, 9});
    TransportSend(g_peer_link, answer.data(), int32_t(answer.size()), kAddressMessageType);
    ASSERT_TRUE(Pump([] { return !g_peer_inbox.empty(); }));
    EXPECT_EQ(int32_t(kAddressMessageType), g_peer_inbox[0].type);
    uint32_t stamp = StampedAddress();
    EXPECT_EQ(std::vector<uint8_t>(reinterpret_cast<uint8_t*>(&stamp),
                                   reinterpret_cast<uint8_t*>(&stamp) + 4),
              g_peer_inbox[0].data);
    ASSERT_TRUE(AskOwnAddress(client, &asked));
    EXPECT_EQ(Ip(198, 18, 0, 7), asked);

    // Out: a datagram for a relayed player goes unacknowledged, unstamped, with the
    // game socket's port; one too long for a single message does not go at all.
    g_peer_inbox.clear();
    std::vector<uint8_t> to_player(kDirectMaxMessage, 0x61);
    WriteLinkHeader(to_player.data(), 4000);
    StampLinkAddress(to_player.data(), to_player.size(), Ip(198, 18, 0, 9));
    client.SendTo(kRelayPort, to_player);
    std::vector<uint8_t> too_long(kDirectMaxMessage + 1, 0x62);
    std::memcpy(too_long.data(), to_player.data(), kLinkHeaderSize);
    client.SendTo(kRelayPort, too_long);
    ASSERT_TRUE(Pump([] { return !g_peer_inbox.empty(); }));
    PumpFor(100);
    ASSERT_EQ(1u, g_peer_inbox.size());
    EXPECT_EQ(int32_t(kDirectMessageType), g_peer_inbox[0].type);
    SetLinkSourcePort(to_player.data(), 905);
    EXPECT_EQ(to_player, g_peer_inbox[0].data);
    EXPECT_EQ(1u, GetTransportStats().datagrams_delivered);

    // In: a relayed player's datagram reaches the game's port from 3668.
    std::vector<uint8_t> from_player(60, 0x63);
    WriteLinkHeader(from_player.data(), 900);
    StampLinkAddress(from_player.data(), from_player.size(), Ip(198, 18, 0, 9));
    TransportSendDatagram(g_peer_link, from_player.data(), int32_t(from_player.size()),
                          kDirectMessageType);
    std::vector<uint8_t> got;
    ASSERT_TRUE(Pump([&] {
        SocketAddress from;
        return game.ReceiveRaw(&got, &from, 0);
    }));
    EXPECT_EQ(from_player, got);
}

TEST_F(SessionLibraryTest, TheRelaysMemberTableBecomesTheProxysRoutes) {
    JoinTransportPeer();
    ASSERT_EQ(1u, pre_launch_(game_folder_.c_str(), "arena"));
    RawPeer client(905);
    ASSERT_TRUE(Pump([] { return !g_peer_inbox.empty(); }));
    // A session address (private) behind a router, and two members: one public whom
    // only the relay reaches from here, one behind the same router.
    std::vector<uint8_t> answer = AddressMessage({172, 20, 7, 1}, {203, 0, 113, 9});
    TransportSend(g_peer_link, answer.data(), int32_t(answer.size()), kAddressMessageType);
    MemberAddresses members[2] = {
        {Ip(172, 20, 7, 2), Ip(203, 0, 2, 2), Ip(203, 0, 2, 2), kMemberThroughRelay},
        {Ip(172, 20, 7, 3), Ip(203, 0, 113, 9), Ip(10, 97, 1, 3), kMemberSameRouter}};
    uint8_t table[MembersMessageSize(2)];
    WriteMembersMessage(table, members, 2);
    TransportSend(g_peer_link, table, int32_t(sizeof table), kMembersMessageType);
    std::vector<uint8_t> routes;
    ASSERT_TRUE(Pump([&] {
        std::vector<uint8_t> query(kLinkHeaderSize);
        WriteOwnAddressQuery(query.data());
        client.SendTo(kRelayPort, query);
        SocketAddress from;
        return client.ReceiveRaw(&routes, &from, 100) && routes.size() > kLinkHeaderSize;
    }));
    // The header with the relayed address, then three routes: the public member's
    // relayed and real addresses through the launcher, the neighbour's relayed one
    // straight to its own.
    const std::vector<uint8_t> expected = {0xF9, 0xF9, 0xF9, 0xF9, 0,   0,  0, 0, 172, 20, 7, 1,
                                           172,  20,   7,    2,    172, 20, 7, 2, 1,   0,  0, 0,
                                           203,  0,    2,    2,    172, 20, 7, 2, 1,   0,  0, 0,
                                           172,  20,   7,    3,    10,  97, 1, 3, 2,   0,  0, 0};
    EXPECT_EQ(expected, routes);
    // The proxy's datagram for the public member's relayed address goes as a direct
    // message; the relay's next table replaces the routes.
    // (The launcher's own-address answer may still be on its way: only the direct
    // message counts here.)
    std::vector<uint8_t> to_player(40, 0x61);
    WriteLinkHeader(to_player.data(), 4000);
    StampLinkAddress(to_player.data(), to_player.size(), Ip(172, 20, 7, 2));
    client.SendTo(kRelayPort, to_player);
    SetLinkSourcePort(to_player.data(), 905);
    ASSERT_TRUE(Pump([&] {
        return std::any_of(g_peer_inbox.begin(), g_peer_inbox.end(), [&](const Received& r) {
            return r.type == int32_t(kDirectMessageType) && r.data == to_player;
        });
    }));
    WriteMembersMessage(table, members, 0);
    TransportSend(g_peer_link, table, int32_t(kMembersHeaderSize), kMembersMessageType);
    ASSERT_TRUE(Pump([&] {
        std::vector<uint8_t> query(kLinkHeaderSize);
        WriteOwnAddressQuery(query.data());
        client.SendTo(kRelayPort, query);
        SocketAddress from;
        return client.ReceiveRaw(&routes, &from, 100) && routes.size() == kLinkHeaderSize;
    }));
}

TEST_F(SessionLibraryTest, ThePlayersNameGoesInTheJoinAndWhoIsThereComesBackAsLines) {
    auto set_name = Bind<OZLanSetPlayerNameFn>(module_, "OZLanSetPlayerName");
    auto next_event = Bind<OZLanNextEventFn>(module_, "OZLanNextEvent");
    auto members = Bind<OZLanMembersFn>(module_, "OZLanMembers");
    EXPECT_EQ(Address(module_, "OZLanSetPlayerName"), Address(module_, MAKEINTRESOURCEA(8)));
    EXPECT_EQ(Address(module_, "OZLanMembers"), Address(module_, MAKEINTRESOURCEA(10)));
    EXPECT_EQ(0u, set_name("\x01 \t"));  // nothing left of it
    EXPECT_EQ(1u, set_name(" alice\x07 "));
    JoinTransportPeer();
    ASSERT_EQ(1u, pre_launch_(game_folder_.c_str(), "arena"));
    ASSERT_TRUE(Pump([] { return !g_peer_inbox.empty(); }));
    EXPECT_STREQ("alice", reinterpret_cast<const char*>(g_peer_inbox[0].data.data() + 68));
    EXPECT_NE(0u, GetU32(g_peer_inbox[0].data.data() + 64) & kJoinFlagPresence);
    char line[256];
    EXPECT_EQ(0u, next_event(line, sizeof line));
    // The list on joining, then bob (reached through the relay), then bob leaves.
    auto send = [](uint8_t event, const char* subject,
                   std::vector<std::pair<const char*, uint8_t>> listed, uint16_t count) {
        static MemberList list;
        list = MemberList{};
        list.event = event;
        list.count = count;
        std::snprintf(list.subject, sizeof list.subject, "%s", subject);
        for (auto& [name, flags] : listed) {
            std::snprintf(list.listed[list.listed_count].name, kJoinPlayerField, "%s", name);
            list.listed[list.listed_count++].flags = flags;
        }
        std::vector<uint8_t> m(MemberListSize(list.listed_count));
        WriteMemberList(m.data(), list);
        TransportSend(g_peer_link, m.data(), int32_t(m.size()), kMemberListType);
    };
    send(kPresenceList, "alice", {{"alice", kListedIsYou}}, 1);
    send(kPresenceJoined, "bob", {{"alice", kListedIsYou}, {"bob", kListedThroughRelay}}, 2);
    send(kPresenceList, "bob", {{"alice", kListedIsYou}, {"bob", 0}}, 2);  // bob is direct now
    std::vector<std::string> lines;
    ASSERT_TRUE(Pump([&] {
        while (next_event(line, sizeof line)) lines.push_back(line);
        return lines.size() == 2;
    }));
    EXPECT_EQ("1 player in session 'arena': alice", lines[0]);
    EXPECT_EQ("bob joined session 'arena' (2 players: alice, bob)", lines[1]);
    char list[256];
    ASSERT_TRUE(
        Pump([&] { return members(list, sizeof list) == 2 && std::strstr(list, "direct"); }));
    EXPECT_STREQ("alice\tyou\nbob\tdirect\n", list);
    send(kPresenceTimedOut, "bob", {{"alice", kListedIsYou}}, 1);
    ASSERT_TRUE(Pump([&] { return next_event(line, sizeof line) == 1; }));
    EXPECT_STREQ("bob left (1 player)", line);
    EXPECT_EQ(1u, members(list, sizeof list));
    // A malformed list changes nothing.
    std::vector<uint8_t> bad(kMemberListHeaderSize + 3, 0);
    TransportSend(g_peer_link, bad.data(), int32_t(bad.size()), kMemberListType);
    PumpFor(100);
    EXPECT_EQ(0u, next_event(line, sizeof line));
    EXPECT_EQ(1u, members(list, sizeof list));
}

TEST_F(SessionLibraryTest, WithRelayedTrafficOffOrNoRouterTheGameKeepsItsOwnAddress) {
    // A launcher on the address the relay service sees tells its games no relayed
    // address: other players reach the machine's own.
    JoinTransportPeer();
    ASSERT_EQ(1u, pre_launch_(game_folder_.c_str(), "arena"));
    RawPeer client(905);
    PumpFor(100);
    uint32_t stamp = StampedAddress();
    std::vector<uint8_t> answer = AddressMessage({198, 18, 0, 7}, {});
    std::memcpy(answer.data() + 4, &stamp, 4);
    answer.resize(kAddressMessageSize);
    TransportSend(g_peer_link, answer.data(), int32_t(answer.size()), kAddressMessageType);
    PumpFor(100);
    uint32_t asked = 1;
    ASSERT_TRUE(AskOwnAddress(client, &asked));
    EXPECT_EQ(0u, asked);
    end_();
    FreeLibrary(module_);
    TransportReset();
    SetTransportLogSink(nullptr);
    g_peer_link = 0;

    // Switched off: the join asks for nothing, and an offer is neither answered nor used.
    SetEnvironmentVariableA("OZLAN_RELAYED_TRAFFIC", "off");
    module_ = LoadLibraryA((lib_folder_ + "\\OZLAN.dll").c_str());
    init_ = Bind<OZLanInitFn>(module_, "OZLanInit");
    pre_launch_ = Bind<OZLanPreLaunchFn>(module_, "OZLanPreLaunch");
    end_ = Bind<OZLanEndSessionFn>(module_, "OZLanEndSession");
    JoinTransportPeer();
    SetEnvironmentVariableA("OZLAN_RELAYED_TRAFFIC", nullptr);
    g_peer_inbox.clear();
    ASSERT_EQ(1u, pre_launch_(game_folder_.c_str(), "arena"));
    RawPeer game(900);
    ASSERT_TRUE(Pump([] { return !g_peer_inbox.empty(); }));
    EXPECT_EQ(kJoinFlagPresence | kJoinFlagBundles,
              GetU32(g_peer_inbox[0].data.data() + kJoinFlagsOffset));
    g_peer_inbox.clear();
    answer = AddressMessage({198, 18, 0, 7}, {203, 0, 113, 9});
    TransportSend(g_peer_link, answer.data(), int32_t(answer.size()), kAddressMessageType);
    std::vector<uint8_t> from_player(60, 0x63);
    WriteLinkHeader(from_player.data(), 900);
    TransportSendDatagram(g_peer_link, from_player.data(), int32_t(from_player.size()),
                          kDirectMessageType);
    PumpFor(200);
    EXPECT_TRUE(g_peer_inbox.empty());
    ASSERT_TRUE(AskOwnAddress(client, &asked));
    EXPECT_EQ(0u, asked);
    std::vector<uint8_t> got;
    SocketAddress from;
    EXPECT_FALSE(game.ReceiveRaw(&got, &from, 100));
}

struct ScriptedRelay {
    RawPeer peer;
    uint16_t library_port = 0;
    std::vector<Datagram> arrived;  // everything but acknowledgements

    // Waits (pumping through `pump`) for the next connect; its connection id.
    template <class PumpFn>
    int32_t AwaitConnect(PumpFn pump, int ms = 3000) {
        Datagram d;
        int32_t id = 0;
        pump(
            [&] {
                while (peer.Receive(&d, 0)) {
                    if (d.header.type == MSG_CONNECT) {
                        library_port = HostPort(d.from);
                        id = GetI32(d.payload.data() + 68);
                        return true;
                    }
                }
                return false;
            },
            ms);
        return id;
    }
    void Confirm(int32_t library_id, int32_t relay_id) {
        std::vector<uint8_t> confirm(8);
        PutU32(confirm.data(), uint32_t(library_id));
        PutU32(confirm.data() + 4, uint32_t(relay_id));
        peer.SendTo(library_port,
                    MakeDatagram(uint32_t(1000 + relay_id), MSG_CONFIRM_CONNECT, 1, 1, confirm));
    }
    void Acknowledge(const Datagram& m) {
        std::vector<uint8_t> ack(8);
        WriteAckBody(ack.data(), m.header.id, m.header.type, m.header.seq);
        peer.SendTo(library_port, MakeDatagram(next_id++, MSG_ACK, 1, 1, ack));
    }
    void Send(uint16_t type, const std::vector<uint8_t>& body) {
        peer.SendTo(library_port, MakeDatagram(next_id++, type, 1, 1, body));
    }
    void Notice(uint32_t type) {
        peer.SendTo(library_port, MakeDatagram(0, uint16_t(type), 0, 0, {}));
    }
    // Takes in what arrived, acknowledging it; true once `count` user messages of `type`
    // are there.
    bool Collect(uint16_t type, size_t count) {
        Datagram d;
        while (peer.Receive(&d, 0)) {
            if (d.header.type == MSG_ACK) continue;
            Acknowledge(d);
            bool again = std::any_of(arrived.begin(), arrived.end(), [&](const Datagram& a) {
                return a.header.id == d.header.id && a.header.type == d.header.type;
            });
            if (!again) arrived.push_back(d);
        }
        return Count(type) >= count;
    }
    size_t Count(uint16_t type) const {
        return size_t(std::count_if(arrived.begin(), arrived.end(),
                                    [type](const Datagram& a) { return a.header.type == type; }));
    }
    uint32_t next_id = 500;
};

TEST_F(SessionLibraryTest, ALinkTheRelayForgotIsJoinedAgainWithWhatTheGameSentMeanwhile) {
    auto pump = [this](auto done, int ms) { return Pump(done, ms); };
    auto is_joined = Bind<OZLanIsJoinedFn>(module_, "OZLanIsJoined");
    ScriptedRelay relay;
    ASSERT_EQ(1u, init_("127.0.0.1", relay.peer.port()));
    int32_t first = relay.AwaitConnect(pump);
    ASSERT_NE(0, first);
    uint16_t library_port = relay.library_port;
    relay.Confirm(first, 7);
    ASSERT_TRUE(Pump([&] { return is_joined() == 1; }));
    ASSERT_EQ(1u, pre_launch_(game_folder_.c_str(), "arena"));
    ASSERT_TRUE(Pump([&] { return relay.Collect(kJoinMessageType, 1); }));
    // The relay gives a relayed address; the library answers with its own address.
    relay.Send(uint16_t(kAddressMessageType), AddressMessage({198, 18, 0, 7}, {203, 0, 113, 9}));
    ASSERT_TRUE(Pump([&] { return relay.Collect(uint16_t(kAddressMessageType), 1); }));
    EXPECT_EQ(kOwnAddressMessageSize, relay.arrived.back().payload.size());
    relay.arrived.clear();

    // The relay restarted: it knows the link no more and says so.
    relay.Notice(kNoLinkNoticeType);
    ASSERT_TRUE(Pump([&] { return is_joined() == 0; }, 1000));
    RawPeer game(905);
    for (uint8_t n : {uint8_t(1), uint8_t(2)}) {
        std::vector<uint8_t> link(20, n);
        WriteLinkHeader(link.data(), 900);
        game.SendTo(kRelayPort, link);
    }
    auto lost = std::chrono::steady_clock::now();
    int32_t second = relay.AwaitConnect(pump, 2000);
    auto waited = std::chrono::steady_clock::now() - lost;
    ASSERT_NE(0, second);
    EXPECT_NE(first, second);
    EXPECT_EQ(library_port, relay.library_port);  // the same socket, so the same router mapping
    EXPECT_LT(waited, std::chrono::milliseconds(600)) << "the first try comes within 250 ms";
    EXPECT_EQ(0u, is_joined());
    // A late notice while connecting speaks of the old link: the attempt goes on.
    relay.Notice(kNoLinkNoticeType);
    PumpFor(100);
    relay.Confirm(second, 8);
    ASSERT_TRUE(Pump([&] { return relay.Collect(kRelayMessageType, 2); }));
    for (const Datagram& d : relay.arrived) {
        if (d.header.type == MSG_CONNECT) {
            EXPECT_EQ(second, GetI32(d.payload.data() + 68));
        }
    }
    EXPECT_EQ(1u, is_joined());
    // The join first, as before (name and flags), then the game's broadcasts in order.
    relay.arrived.erase(std::remove_if(relay.arrived.begin(), relay.arrived.end(),
                                       [](const Datagram& d) {
                                           return d.header.type == MSG_CONNECT ||
                                                  d.header.type == kNetworksMessageType;
                                       }),
                        relay.arrived.end());
    ASSERT_GE(relay.arrived.size(), 3u);
    EXPECT_EQ(kJoinMessageType, relay.arrived[0].header.type);
    EXPECT_STREQ("arena", reinterpret_cast<const char*>(relay.arrived[0].payload.data()));
    EXPECT_EQ(
        kJoinFlagRelayedTraffic | kJoinFlagSessionAddresses | kJoinFlagPresence | kJoinFlagBundles,
        GetU32(relay.arrived[0].payload.data() + 64));
    EXPECT_EQ(kRelayMessageType, relay.arrived[1].header.type);
    EXPECT_EQ(1, relay.arrived[1].payload.back());
    EXPECT_EQ(2, relay.arrived[2].payload.back());
    // A new relayed address: the library asks for the one its game was known by.
    relay.arrived.clear();
    relay.Send(uint16_t(kAddressMessageType), AddressMessage({198, 18, 0, 1}, {203, 0, 113, 9}));
    ASSERT_TRUE(Pump([&] { return relay.Collect(uint16_t(kAddressMessageType), 1); }));
    const std::vector<uint8_t>& answer = relay.arrived.back().payload;
    ASSERT_EQ(kOwnAddressRejoinSize, answer.size());
    uint32_t asked_back;
    std::memcpy(&asked_back, answer.data() + 4, 4);
    EXPECT_EQ(Ip(198, 18, 0, 7), asked_back);
}

TEST_F(SessionLibraryTest, ARelayThatStopsIsLeftForTheNextAtOnce) {
    auto pump = [this](auto done, int ms) { return Pump(done, ms); };
    auto is_joined = Bind<OZLanIsJoinedFn>(module_, "OZLanIsJoined");
    ScriptedRelay first, second;
    std::string list = "127.0.0.1:" + std::to_string(first.peer.port()) +
                       ",127.0.0.1:" + std::to_string(second.peer.port());
    ASSERT_EQ(1u, init_(list.c_str(), 3669));  // no session name: the list's order
    int32_t id = first.AwaitConnect(pump);
    ASSERT_NE(0, id);
    first.Confirm(id, 3);
    ASSERT_TRUE(Pump([&] { return is_joined() == 1; }));
    first.Notice(kGoingAwayNoticeType);
    auto told = std::chrono::steady_clock::now();
    int32_t next = second.AwaitConnect(pump, 2000);
    ASSERT_NE(0, next);
    EXPECT_LT(std::chrono::steady_clock::now() - told, std::chrono::milliseconds(600));
    second.Confirm(next, 4);
    EXPECT_TRUE(Pump([&] { return is_joined() == 1; }));
}

TEST_F(SessionLibraryTest, ASilentRelayGivesWayToTheNextInTheSessionsOrder) {
    auto pump = [this](auto done, int ms) { return Pump(done, ms); };
    auto init_session = Bind<OZLanInitSessionFn>(module_, "OZLanInitSession");
    ASSERT_NE(nullptr, init_session);
    ScriptedRelay relays[3];
    std::vector<RelayAddress> order;
    std::string list;
    for (ScriptedRelay& r : relays) {
        list += (list.empty() ? "127.0.0.1:" : ",127.0.0.1:") + std::to_string(r.peer.port());
    }
    char error[100];
    ASSERT_TRUE(ParseRelayList(list.c_str(), 3669, &order, error, sizeof error));
    OrderRelaysForSession("friday", &order);
    auto relay_at = [&](const RelayAddress& a) -> ScriptedRelay& {
        for (ScriptedRelay& r : relays) {
            if (r.peer.port() == a.port) return r;
        }
        return relays[0];
    };
    ASSERT_EQ(1u, init_session(list.c_str(), 3669, "friday"));
    // The session's first relay gets the connect, again and again, and never answers.
    ScriptedRelay& silent = relay_at(order[0]);
    ASSERT_NE(0, silent.AwaitConnect(pump, 1000));
    ASSERT_NE(0, silent.AwaitConnect(pump, 1000));  // resent after 250 ms
    auto started = std::chrono::steady_clock::now();
    ScriptedRelay& next = relay_at(order[1]);
    int32_t id = next.AwaitConnect(pump, 5000);
    ASSERT_NE(0, id);
    EXPECT_GT(std::chrono::steady_clock::now() - started, std::chrono::milliseconds(2000));
    next.Confirm(id, 5);
    auto is_joined = Bind<OZLanIsJoinedFn>(module_, "OZLanIsJoined");
    EXPECT_TRUE(Pump([&] { return is_joined() == 1; }));
    Datagram stray;
    EXPECT_FALSE(relay_at(order[2]).peer.Receive(&stray, 0));
}

std::string Hex(const uint8_t* bytes, size_t n) {
    std::string text;
    char two[3];
    for (size_t i = 0; i < n; ++i) {
        std::snprintf(two, sizeof two, "%02x", bytes[i]);
        text += two;
    }
    return text;
}

TEST(SessionVerifier, PlatformPbkdf2MatchesThePublishedVectorsAndOurSalt) {
    // RFC 7914, section 11: PBKDF2-HMAC-SHA256.
    uint8_t out[64];
    ASSERT_TRUE(DerivePbkdf2Sha256("passwd", 6, "salt", 4, 1, out, sizeof out));
    EXPECT_EQ(
        "55ac046e56e3089fec1691c22544b605f94185216dde0465e68b9d57c20dacbc"
        "49ca9cccf179b645991664b39d77ef317c71b845b1e30bd509112041d3a19783",
        Hex(out, sizeof out));
    ASSERT_TRUE(DerivePbkdf2Sha256("Password", 8, "NaCl", 4, 80000, out, sizeof out));
    EXPECT_EQ(
        "4ddcd8f60b98be21830cee5ef22701f9641a4418d04c0414aeff08876b34ab56"
        "a1d425a1225833549adb841b51c9b3176a272bdebba1d078478f62b397f33c8d",
        Hex(out, sizeof out));
    // A session's verifier: 100,000 rounds, salted with the label, a zero and the name.
    uint8_t verifier[kVerifierSize];
    ASSERT_TRUE(DeriveSessionVerifier("friends-only", "friday", verifier));
    EXPECT_EQ("a06b65a4cc39e4e41a87a5cc22fb127fa61ad4519bf436164f53bd5803002e58",
              Hex(verifier, sizeof verifier));
}

TEST_F(SessionLibraryTest, APrivateJoinCarriesTheVerifierAndTheRelaysAnswerIsReported) {
    auto pump = [this](auto done, int ms) { return Pump(done, ms); };
    auto set_password = Bind<OZLanSetPasswordFn>(module_, "OZLanSetPassword");
    auto join_status = Bind<OZLanJoinStatusFn>(module_, "OZLanJoinStatus");
    ASSERT_TRUE(set_password && join_status);
    EXPECT_EQ(0u, set_password(std::string(128, 'p').c_str()));  // too long
    ScriptedRelay relay;
    ASSERT_EQ(1u, init_("127.0.0.1", relay.peer.port()));
    ASSERT_EQ(1u, set_password("friends-only"));
    int32_t id = relay.AwaitConnect(pump);
    relay.Confirm(id, 3);
    ASSERT_TRUE(Pump([&] { return Bind<OZLanIsJoinedFn>(module_, "OZLanIsJoined")() == 1; }));
    ASSERT_EQ(1u, pre_launch_(game_folder_.c_str(), "friday"));
    ASSERT_TRUE(Pump([&] { return relay.Collect(kJoinMessageType, 1); }));
    const std::vector<uint8_t>& join = relay.arrived.back().payload;
    ASSERT_EQ(kPrivateJoinMessageSize, join.size());
    EXPECT_STREQ("friday", reinterpret_cast<const char*>(join.data()));
    EXPECT_EQ(kJoinFlagRelayedTraffic | kJoinFlagVerifier | kJoinFlagSessionAddresses |
                  kJoinFlagPresence | kJoinFlagBundles,
              GetU32(join.data() + 64));
    EXPECT_EQ("a06b65a4cc39e4e41a87a5cc22fb127fa61ad4519bf436164f53bd5803002e58",
              Hex(join.data() + kJoinMessageSize, kVerifierSize));
    // Acknowledged but not answered: a relay that does not keep sessions private.
    PumpFor(100);
    EXPECT_EQ(uint32_t(OZLAN_JOIN_PENDING), join_status());
    relay.Send(uint16_t(kJoinAnswerType), {kJoinWrongPassword});
    EXPECT_TRUE(Pump([&] { return join_status() == OZLAN_JOIN_WRONG_PASSWORD; }));
    relay.Send(uint16_t(kJoinAnswerType), {kJoinAccepted});
    EXPECT_TRUE(Pump([&] { return join_status() == OZLAN_JOIN_ACCEPTED_PRIVATE; }));
}

TEST_F(SessionLibraryTest, AnOpenJoinIsDeliveredOnceTheRelayHasIt) {
    auto join_status = Bind<OZLanJoinStatusFn>(module_, "OZLanJoinStatus");
    JoinTransportPeer();
    ASSERT_EQ(1u, pre_launch_(game_folder_.c_str(), "arena"));
    EXPECT_TRUE(Pump([&] { return join_status() == OZLAN_JOIN_DELIVERED; }));
    ASSERT_FALSE(g_peer_inbox.empty());
    EXPECT_EQ(kJoinMessageSize, g_peer_inbox[0].data.size());
}

}  // namespace
}  // namespace ozlan::test
