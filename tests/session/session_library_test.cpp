// OZLAN.dll loaded for real, against a peer in this test: a raw UDP peer where the
// exact bytes matter, a transport playing the relay service elsewhere.
#include <gtest/gtest.h>
#include <winsock2.h>
#include <windows.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#include "session/ozlan.h"
#include "session/session.h"
#include "tests/support/transport_harness.h"
#include "protocol/wire.h"

namespace ozlan::test {
namespace {

const char kFakeProxy[] = "stand-in for ozws.dll";

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}
void WriteFile(const std::string& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
}
bool Exists(const std::string& path) {
    return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

// A fresh folder under the temporary folder, removed with its files afterwards.
std::string MakeFolder(const char* tag) {
    char temp[MAX_PATH];
    GetTempPathA(MAX_PATH, temp);
    std::string path =
        std::string(temp) + "ozlan-" + tag + "-" + std::to_string(GetCurrentProcessId());
    CreateDirectoryA(path.c_str(), nullptr);
    return path;
}

// GetProcAddress's result as the function type it really has.
template <class F>
F Bind(HMODULE module, const char* name) {
    return reinterpret_cast<F>(reinterpret_cast<void*>(GetProcAddress(module, name)));
}
void* Address(HMODULE module, const char* name) {
    return reinterpret_cast<void*>(GetProcAddress(module, name));
}

struct Received {
    int32_t type;
    std::vector<uint8_t> data;
};
std::vector<Received> g_peer_inbox;
// The networks messages that came before joins, kept apart from the rest.
std::vector<std::vector<uint8_t>> g_peer_networks;
int32_t g_peer_link = 0;
void PeerInbox(const uint8_t* data, int32_t length, int32_t type, int32_t, void*) {
    if (type == int32_t(kNetworksMessageType)) {
        // Always before the join it belongs to.
        bool join_came = std::any_of(g_peer_inbox.begin(), g_peer_inbox.end(),
                                     [](const Received& r) { return r.type == 0; });
        EXPECT_FALSE(join_came && g_peer_networks.empty());
        g_peer_networks.emplace_back(data, data + length);
        return;
    }
    g_peer_inbox.push_back({type, std::vector<uint8_t>(data, data + length)});
}
void PeerAccept(int32_t id) {
    g_peer_link = id;
    SetDefaultHandler(id, PeerInbox);
}

class SessionLibraryTest : public ::testing::Test {
  protected:
    void SetUp() override {
        TransportReset();
        SetTransportLogSink(nullptr);
        g_peer_inbox.clear();
        g_peer_networks.clear();
        g_peer_link = 0;
        lib_folder_ = MakeFolder("lib");
        game_folder_ = MakeFolder("game");
        std::string dll = lib_folder_ + "\\OZLAN.dll";
        ASSERT_TRUE(CopyFileA((ProgramFolder() + "\\OZLAN.dll").c_str(), dll.c_str(), FALSE));
        WriteFile(lib_folder_ + "\\ozws.dll", kFakeProxy);
        module_ = LoadLibraryA(dll.c_str());
        ASSERT_NE(nullptr, module_);
        init_ = Bind<OZLanInitFn>(module_, "OZLanInit");
        pre_launch_ = Bind<OZLanPreLaunchFn>(module_, "OZLanPreLaunch");
        end_ = Bind<OZLanEndSessionFn>(module_, "OZLanEndSession");
        ASSERT_TRUE(init_ && pre_launch_ && end_);
    }
    void TearDown() override {
        if (module_) {
            end_();
            FreeLibrary(module_);
        }
        for (const auto& f : {game_folder_ + "\\wsock32.dll", lib_folder_ + "\\ozws.dll",
                              lib_folder_ + "\\OZLAN.dll"}) {
            SetFileAttributesA(f.c_str(), FILE_ATTRIBUTE_NORMAL);
            DeleteFileA(f.c_str());
        }
        RemoveDirectoryA(game_folder_.c_str());
        RemoveDirectoryA(lib_folder_.c_str());
    }

    // Dispatches this thread's messages (the library's timer) and runs the test's
    // own transport, until done() or the time is up.
    template <class Done>
    bool Pump(Done done, int ms = 3000) {
        auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        for (;;) {
            MSG msg;
            while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageA(&msg);
            TransportThink(0);
            if (done()) return true;
            if (std::chrono::steady_clock::now() > end) return false;
            Sleep(1);
        }
    }
    void PumpFor(int ms) {
        Pump([] { return false; }, ms);
    }

    // The library joined to a transport in this test acting as the relay service.
    void JoinTransportPeer() {
        Endpoint* ep = CreateEndpoint(0);
        SetAcceptCallback(PeerAccept);
        ASSERT_EQ(1u, init_("127.0.0.1", ep->local_port));
        ASSERT_TRUE(Pump([] { return g_peer_link != 0; }));
        PumpFor(100);  // the confirmation reaches the library
    }

    HMODULE module_ = nullptr;
    OZLanInitFn init_ = nullptr;
    OZLanPreLaunchFn pre_launch_ = nullptr;
    OZLanEndSessionFn end_ = nullptr;
    std::string lib_folder_, game_folder_;
};

TEST_F(SessionLibraryTest, ExportsAreReachableByNameAndOrdinal) {
    EXPECT_EQ(reinterpret_cast<void*>(init_), Address(module_, MAKEINTRESOURCEA(1)));
    EXPECT_EQ(reinterpret_cast<void*>(pre_launch_), Address(module_, MAKEINTRESOURCEA(2)));
    EXPECT_EQ(reinterpret_cast<void*>(end_), Address(module_, MAKEINTRESOURCEA(3)));
    EXPECT_EQ(Address(module_, "OZLanIsJoined"), Address(module_, MAKEINTRESOURCEA(4)));
}

TEST_F(SessionLibraryTest, InitSendsTheConnectBodyAndActivatesOnConfirmation) {
    RawPeer peer;
    ASSERT_EQ(1u, init_("127.0.0.1", peer.port()));
    Datagram connect;
    ASSERT_TRUE(Pump([&] { return peer.Receive(&connect, 0); }));
    EXPECT_EQ(MSG_CONNECT, connect.header.type);
    EXPECT_EQ(1u, connect.header.id);
    ASSERT_EQ(kConnectBodySize, connect.payload.size());
    EXPECT_STREQ("127.0.0.1", reinterpret_cast<const char*>(connect.payload.data() + 2));
    EXPECT_EQ(HostPort(connect.from), GetU16(connect.payload.data() + 66));
    EXPECT_EQ(1, GetI32(connect.payload.data() + 68));

    std::vector<uint8_t> confirm(8);
    PutU32(confirm.data(), 1);
    PutU32(confirm.data() + 4, 42);
    peer.SendTo(HostPort(connect.from), MakeDatagram(1, MSG_CONFIRM_CONNECT, 1, 1, confirm));
    auto is_joined = Bind<OZLanIsJoinedFn>(module_, "OZLanIsJoined");
    EXPECT_EQ(0u, is_joined());  // not before the relay service confirmed
    Datagram ack;
    ASSERT_TRUE(Pump([&] { return peer.Receive(&ack, 0); }));
    EXPECT_EQ(MSG_ACK, ack.header.type);
    EXPECT_EQ(1u, is_joined());
    // Active: pre-launch works and its join message follows.
    EXPECT_EQ(1u, pre_launch_(game_folder_.c_str(), "arena"));
    Datagram join;
    Datagram networks;
    ASSERT_TRUE(Pump([&] {
        if (!peer.Receive(&join, 0)) return false;
        if (join.header.type == kNetworksMessageType) networks = join;
        return join.header.type == 0;
    }));
    ASSERT_EQ(kJoinMessageSize, join.payload.size());
    EXPECT_STREQ("arena", reinterpret_cast<const char*>(join.payload.data()));
    // The flags word: relayed traffic and session addresses asked for; the machine's
    // networks came first (never loopback).
    EXPECT_EQ(
        kJoinFlagRelayedTraffic | kJoinFlagSessionAddresses | kJoinFlagPresence | kJoinFlagBundles,
        GetU32(join.payload.data() + 64));
    IPv4Network reported[kMaxReportedNetworks];
    size_t count = 0;
    ASSERT_TRUE(
        ReadNetworksMessage(networks.payload.data(), networks.payload.size(), reported, &count));
    ASSERT_GE(count, 1u);
    for (size_t i = 0; i < count; ++i) EXPECT_NE(127, reported[i].ip & 0xFF);
    EXPECT_STREQ("NoName", reinterpret_cast<const char*>(join.payload.data() + 68));
}

TEST_F(SessionLibraryTest, InitFailsOnPortZeroAndUnknownHost) {
    EXPECT_EQ(0u, init_("127.0.0.1", 0));
    EXPECT_EQ(0u, init_("no-such-host.invalid", 5000));
    EXPECT_EQ(0u, pre_launch_(game_folder_.c_str(), "x"));  // never activated
}

TEST_F(SessionLibraryTest, PreLaunchIsRefusedBeforeInitAndWaitsOutALostLink) {
    EXPECT_EQ(0u, pre_launch_(game_folder_.c_str(), "x"));
    EXPECT_FALSE(Exists(game_folder_ + "\\wsock32.dll"));
    JoinTransportPeer();
    int32_t first_link = g_peer_link;
    int32_t remote = 0;
    TransportConnectionInfo(g_peer_link, nullptr, &remote, nullptr);
    // The relay service closes the link: the library is away, and connects again.
    TransportSend(g_peer_link, U32Body(uint32_t(remote)).data(), 4, MSG_PEERCLOSE);
    auto is_joined = Bind<OZLanIsJoinedFn>(module_, "OZLanIsJoined");
    ASSERT_TRUE(Pump([&] { return is_joined() == 0; }, 1000));
    // Pre-launch still works; its join goes out once the link is back.
    EXPECT_EQ(1u, pre_launch_(game_folder_.c_str(), "x"));
    EXPECT_TRUE(Exists(game_folder_ + "\\wsock32.dll"));
    ASSERT_TRUE(Pump([&] { return g_peer_link != first_link && is_joined() == 1; }));
    ASSERT_TRUE(Pump([] { return !g_peer_inbox.empty(); }));
    EXPECT_EQ(int32_t(kJoinMessageType), g_peer_inbox[0].type);
    EXPECT_STREQ("x", reinterpret_cast<const char*>(g_peer_inbox[0].data.data()));
}

TEST_F(SessionLibraryTest, JoinMessageNamesDefaultAndTakesSixtyThreeCharacters) {
    JoinTransportPeer();
    std::string longest(63, 'n');
    const char* names[] = {nullptr, "", longest.c_str()};
    const std::string expected[] = {"default", "default", longest};
    for (int i = 0; i < 3; ++i) {
        g_peer_inbox.clear();
        ASSERT_EQ(1u, pre_launch_(game_folder_.c_str(), names[i]));
        ASSERT_TRUE(Pump([] { return !g_peer_inbox.empty(); }));
        ASSERT_EQ(0, g_peer_inbox[0].type);
        ASSERT_EQ(kJoinMessageSize, g_peer_inbox[0].data.size());
        EXPECT_EQ(expected[i], reinterpret_cast<const char*>(g_peer_inbox[0].data.data()));
    }
}

TEST_F(SessionLibraryTest, OverlongNamesAndFoldersChangeNothing) {
    JoinTransportPeer();
    std::string name64(64, 'n');
    EXPECT_EQ(0u, pre_launch_(game_folder_.c_str(), name64.c_str()));
    std::string deep = game_folder_ + "\\" + std::string(250, 'd');
    EXPECT_EQ(0u, pre_launch_(deep.c_str(), "x"));
    PumpFor(100);
    for (auto& m : g_peer_inbox) ADD_FAILURE() << "type " << m.type << " size " << m.data.size();
    EXPECT_FALSE(Exists(game_folder_ + "\\wsock32.dll"));
}

TEST_F(SessionLibraryTest, DeploymentHandlesTrailingBackslashesAndReadOnlyCopies) {
    JoinTransportPeer();
    std::string target = game_folder_ + "\\wsock32.dll";
    WriteFile(target, std::string("an old copy of the proxy: ") + OZLAN_PROXY_MARKER);
    SetFileAttributesA(target.c_str(), FILE_ATTRIBUTE_READONLY);
    ASSERT_EQ(1u, pre_launch_((game_folder_ + "\\").c_str(), "x"));
    EXPECT_EQ(kFakeProxy, ReadFile(target));
    end_();
    EXPECT_FALSE(Exists(target));
}

// A player's own wsock32.dll: kept aside for the session, put back afterwards, never
// overwritten nor named for deletion.
class PlayersFileTest : public SessionLibraryTest {
  protected:
    std::string Target() const { return game_folder_ + "\\wsock32.dll"; }
    std::string Saved() const { return game_folder_ + "\\wsock32.dll.ozlan-saved"; }
    void TearDown() override {
        SessionLibraryTest::TearDown();
        SetFileAttributesA(Saved().c_str(), FILE_ATTRIBUTE_NORMAL);
        DeleteFileA(Saved().c_str());
    }
    static std::string RestartList() {
        char windows[MAX_PATH];
        GetWindowsDirectoryA(windows, MAX_PATH);
        return ReadFile(std::string(windows) + "\\wininit.ini");
    }
    const std::string players_ = "the player's own wsock32.dll, a wrapper of theirs";
};

TEST_F(PlayersFileTest, IsKeptWithItsAttributesAndPutBackAtTheEnd) {
    JoinTransportPeer();
    WriteFile(Target(), players_);
    const DWORD attributes = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN;
    SetFileAttributesA(Target().c_str(), attributes);
    ASSERT_EQ(1u, pre_launch_(game_folder_.c_str(), "x"));
    EXPECT_EQ(kFakeProxy, ReadFile(Target()));
    EXPECT_EQ(players_, ReadFile(Saved()));
    // At the next start the player's file replaces our copy; it is never deleted.
    std::string list = RestartList();
    EXPECT_NE(std::string::npos, list.find(Target() + "=" + Saved())) << list;
    EXPECT_EQ(std::string::npos, list.find("NUL=" + Saved())) << list;
    end_();
    EXPECT_EQ(players_, ReadFile(Target()));
    EXPECT_EQ(attributes, GetFileAttributesA(Target().c_str()) & attributes);
    EXPECT_FALSE(Exists(Saved()));
}

TEST_F(PlayersFileTest, IsPutBackByTheNextSessionAfterALauncherDied) {
    JoinTransportPeer();
    // What a launcher that died mid-session leaves: our copy in place, theirs aside.
    WriteFile(Target(), std::string("an older proxy build: ") + OZLAN_PROXY_MARKER);
    WriteFile(Saved(), players_);
    ASSERT_EQ(1u, pre_launch_(game_folder_.c_str(), "x"));
    EXPECT_EQ(kFakeProxy, ReadFile(Target()));
    EXPECT_EQ(players_, ReadFile(Saved()));
    end_();
    EXPECT_EQ(players_, ReadFile(Target()));
    EXPECT_FALSE(Exists(Saved()));
}

TEST_F(PlayersFileTest, OurOwnStaleCopyIsReplacedAndRemoved) {
    JoinTransportPeer();
    WriteFile(Target(), kFakeProxy);
    SetFileAttributesA(Target().c_str(), FILE_ATTRIBUTE_READONLY);
    ASSERT_EQ(1u, pre_launch_(game_folder_.c_str(), "x"));
    EXPECT_FALSE(Exists(Saved()));
    EXPECT_NE(std::string::npos, RestartList().find("NUL=" + Target()));
    end_();
    EXPECT_FALSE(Exists(Target()));
}

TEST_F(PlayersFileTest, ASavedFileIsNeverOverwritten) {
    JoinTransportPeer();
    WriteFile(Target(), players_);
    WriteFile(Saved(), "another file of the player's");
    std::string list = RestartList();
    EXPECT_EQ(0u, pre_launch_(game_folder_.c_str(), "x"));
    EXPECT_EQ(players_, ReadFile(Target()));
    EXPECT_EQ("another file of the player's", ReadFile(Saved()));
    EXPECT_EQ(list, RestartList());
    end_();
    EXPECT_EQ(players_, ReadFile(Target()));
    EXPECT_EQ("another file of the player's", ReadFile(Saved()));
}

TEST_F(SessionLibraryTest, TwoTrailingBackslashesKeepOne) {
    char folder[kPathSize], target[kPathSize], source[kPathSize];
    ASSERT_TRUE(BuildDeploymentPaths("C:\\Games\\Arena\\", "C:\\ozlan", folder, target, source));
    EXPECT_STREQ("C:\\Games\\Arena\\wsock32.dll", target);
    EXPECT_STREQ("C:\\ozlan\\ozws.dll", source);
    ASSERT_TRUE(BuildDeploymentPaths("C:\\Games\\Arena", "C:\\ozlan", folder, target, source));
    EXPECT_STREQ("C:\\Games\\Arena\\wsock32.dll", target);
    ASSERT_TRUE(BuildDeploymentPaths("C:\\Games\\Arena\\\\", "C:\\ozlan", folder, target, source));
    EXPECT_STREQ("C:\\Games\\Arena\\\\wsock32.dll", target);
    // A real folder given so still deploys: Windows reads the double backslash as one.
    std::string longest(250, 'x');
    EXPECT_FALSE(
        BuildDeploymentPaths(("C:\\" + longest + "\\").c_str(), "C:\\o", folder, target, source));
}

// The machine's address as the library stamps it.
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

TEST_F(SessionLibraryTest, WhatTheGameSentLastGoesOutWhenTheSessionEnds) {
    JoinTransportPeer();
    ASSERT_EQ(1u, pre_launch_(game_folder_.c_str(), "arena"));
    RawPeer game(905);
    PumpFor(100);
    g_peer_inbox.clear();
    // A game's goodbyes, and at once the end of the session (the game has exited).
    std::vector<uint8_t> goodbye(20, 0x47);
    WriteLinkHeader(goodbye.data(), 900);
    for (int i = 0; i < 3; ++i) game.SendTo(kRelayPort, goodbye);
    end_();
    EXPECT_TRUE(Pump([] { return g_peer_inbox.size() == 3; }, 2000))
        << g_peer_inbox.size() << " of 3 reached the relay service";
}

TEST_F(SessionLibraryTest, AMessageLostJustBeforeTheEndIsResentBeforeTheSessionEnds) {
    // A raw peer plays the relay service, so that it can lose a message.
    RawPeer relay;
    ASSERT_EQ(1u, init_("127.0.0.1", relay.port()));
    Datagram d;
    ASSERT_TRUE(Pump([&] { return relay.Receive(&d, 0); }));
    uint16_t library_port = HostPort(d.from);
    std::vector<uint8_t> confirm(8);
    PutU32(confirm.data(), 1);
    PutU32(confirm.data() + 4, 42);
    relay.SendTo(library_port, MakeDatagram(1, MSG_CONFIRM_CONNECT, 1, 1, confirm));
    auto acknowledge = [&](const Datagram& m) {
        std::vector<uint8_t> ack(8);
        WriteAckBody(ack.data(), m.header.id, m.header.type, m.header.seq);
        relay.SendTo(library_port, MakeDatagram(77, MSG_ACK, 1, 1, ack));
    };
    acknowledge(d);  // the connect
    ASSERT_EQ(1u, pre_launch_(game_folder_.c_str(), "arena"));
    // Everything until the join is acknowledged.
    ASSERT_TRUE(Pump([&] {
        while (relay.Receive(&d, 0)) {
            if (d.header.type != MSG_ACK) acknowledge(d);
            if (d.header.type == kJoinMessageType) return true;
        }
        return false;
    }));
    RawPeer game(905);
    std::vector<uint8_t> last(20, 0x4C);
    WriteLinkHeader(last.data(), 900);
    game.SendTo(kRelayPort, last);
    Datagram first;
    ASSERT_TRUE(Pump([&] { return relay.Receive(&first, 0) && first.header.type == 8; }));
    // Lost: not acknowledged. The game exits and the session ends meanwhile.
    auto started = std::chrono::steady_clock::now();
    std::thread ending([&] { end_(); });
    Datagram again;
    bool resent = false;
    while (!resent && relay.Receive(&again, 3000)) resent = again.header.id == first.header.id;
    EXPECT_TRUE(resent) << "the lost message was not resent before the session ended";
    if (resent) acknowledge(again);
    ending.join();
    auto took = std::chrono::steady_clock::now() - started;
    EXPECT_LT(took, std::chrono::milliseconds(kEndFlushMs)) << "the end waited past the answer";
}

TEST_F(SessionLibraryTest, EndSessionStopsEverything) {
    JoinTransportPeer();
    ASSERT_EQ(1u, pre_launch_(game_folder_.c_str(), "arena"));
    PumpFor(50);
    EXPECT_EQ(1u, pre_launch_(game_folder_.c_str(), "arena"));  // keeps the running relay
    EXPECT_EQ(0u, end_());
    EXPECT_FALSE(Exists(game_folder_ + "\\wsock32.dll"));
    // The relay port is free again: the relay thread has ended and its socket is closed.
    RawPeer port_taker(kRelayPort);
    EXPECT_EQ(kRelayPort, port_taker.port());
    // The relay service was told the player leaves (a close, which it answers).
    static bool closed = false;
    SetEventCallback(g_peer_link, EVENT_PEER_CLOSE, [](int32_t, int32_t, void*) { closed = true; });
    EXPECT_TRUE(Pump([] { return closed; }));
    PumpFor(50);
    // The timer is stopped: nothing answers the relay service any more.
    g_peer_inbox.clear();
    size_t before = TransportPendingCount(g_peer_link);
    TransportSend(g_peer_link, "x", 1, 77);
    PumpFor(300);
    EXPECT_EQ(before + 1, TransportPendingCount(g_peer_link));
}

TEST_F(SessionLibraryTest, EndSessionWithoutInitOrPreLaunch) {
    EXPECT_EQ(0u, end_());
    JoinTransportPeer();
    EXPECT_EQ(0u, end_());
}

TEST_F(SessionLibraryTest, EndSessionRightAfterPreLaunchLeavesNoRelaySocket) {
    JoinTransportPeer();
    ASSERT_EQ(1u, pre_launch_(game_folder_.c_str(), "arena"));
    EXPECT_EQ(0u, end_());  // the relay thread may not have reached its loop yet
    RawPeer port_taker(kRelayPort);
    EXPECT_EQ(kRelayPort, port_taker.port());
}

// A relay service played by a raw peer: it confirms connects, acknowledges what the
// library sends, and can send notices; what arrives is kept in order.
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

bool RunningUnderWine() {
    HMODULE ntdll = GetModuleHandleA("ntdll.dll");
    return ntdll && GetProcAddress(ntdll, "wine_get_version");
}

// How many of the platform's moves at the next start name `path`: wininit.ini lines and
// pending renames.
int RestartEntriesFor(const std::string& path) {
    char windows[MAX_PATH];
    GetWindowsDirectoryA(windows, MAX_PATH);
    std::string list = ReadFile(std::string(windows) + "\\wininit.ini");
    int n = 0;
    for (size_t at = 0; (at = list.find(path, at)) != std::string::npos; at += path.size()) ++n;
    HKEY key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SYSTEM\\CurrentControlSet\\Control\\Session Manager", 0,
                      KEY_READ, &key) == ERROR_SUCCESS) {
        char data[65536] = {};
        DWORD size = sizeof data - 2;
        if (RegQueryValueExA(key, "PendingFileRenameOperations", nullptr, nullptr,
                             reinterpret_cast<BYTE*>(data), &size) == ERROR_SUCCESS) {
            for (DWORD i = 0; i < size; i += DWORD(std::strlen(data + i)) + 1) {
                n += std::string(data + i).find(path) != std::string::npos;
            }
        }
        RegCloseKey(key);
    }
    return n;
}

// What the platform does with those moves when it starts: Wine's boot step.
void SimulateRestart() {
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    char command[] = "wineboot.exe -r";
    ASSERT_TRUE(CreateProcessA(nullptr, command, nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                               &startup, &process));
    WaitForSingleObject(process.hProcess, 60000);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
}

TEST_F(SessionLibraryTest, ACleanSessionLeavesNoRestartEntryAndACopyInUseJustOne) {
    if (!RunningUnderWine()) GTEST_SKIP() << "a restart is simulated with Wine's boot step";
    std::string copy = game_folder_ + "\\wsock32.dll";
    JoinTransportPeer();
    ASSERT_EQ(1u, pre_launch_(game_folder_.c_str(), "arena"));
    ASSERT_EQ(1u, pre_launch_(game_folder_.c_str(), "arena"));  // once, however often
    EXPECT_EQ(2, RestartEntriesFor(copy)) << "one wininit.ini line, one pending rename";
    end_();
    EXPECT_FALSE(Exists(copy));
    EXPECT_EQ(0, RestartEntriesFor(game_folder_));
    // The player puts a wsock32.dll of their own there later: a restart keeps it.
    WriteFile(copy, "the player's own");
    SimulateRestart();
    EXPECT_EQ("the player's own", ReadFile(copy));
    DeleteFileA(copy.c_str());

    // The game of an earlier session still holds our copy: its entry stays, once, and
    // the restart removes the copy.
    ASSERT_EQ(1u, init_("127.0.0.1", 9));
    ASSERT_EQ(1u, pre_launch_(game_folder_.c_str(), "arena"));
    HANDLE in_use = CreateFileA(copy.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                0, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, in_use);
    end_();
    EXPECT_TRUE(Exists(copy));
    EXPECT_EQ(2, RestartEntriesFor(copy));
    CloseHandle(in_use);
    SimulateRestart();
    EXPECT_FALSE(Exists(copy));
}

TEST_F(SessionLibraryTest, ASecondGameFolderGetsTheCopyOnlyOnceTheFirstIsTakenBack) {
    std::string first = game_folder_ + "\\wsock32.dll";
    std::string other_folder = MakeFolder("second-game");
    std::string second = other_folder + "\\wsock32.dll";
    JoinTransportPeer();
    ASSERT_EQ(1u, pre_launch_(game_folder_.c_str(), "arena"));
    // The first game still runs with our copy: the second is refused, nothing moves.
    HANDLE in_use = CreateFileA(first.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, in_use);
    EXPECT_EQ(0u, pre_launch_(other_folder.c_str(), "arena"));
    EXPECT_TRUE(Exists(first));
    EXPECT_FALSE(Exists(second));
    CloseHandle(in_use);
    // Once it ended, the first folder is cleaned and the second gets the copy.
    ASSERT_EQ(1u, pre_launch_(other_folder.c_str(), "arena"));
    EXPECT_FALSE(Exists(first));
    EXPECT_EQ(0, RestartEntriesFor(game_folder_));
    EXPECT_EQ(kFakeProxy, ReadFile(second));
    end_();
    EXPECT_FALSE(Exists(second));
    EXPECT_EQ(0, RestartEntriesFor(game_folder_));
    EXPECT_EQ(0, RestartEntriesFor(other_folder));
}

TEST_F(SessionLibraryTest, TheLauncherNamesAGameOfAnEarlierSessionThatStillHoldsTheCopy) {
    // A launcher died; its game still runs with our copy loaded (held open here), and
    // the player's own file waits aside.
    std::string bin = ProgramFolder();
    std::string copy = game_folder_ + "\\wsock32.dll";
    std::string game = game_folder_ + "\\lanping.exe";
    ASSERT_TRUE(CopyFileA((bin + "\\ozws.dll").c_str(), copy.c_str(), FALSE));
    ASSERT_TRUE(CopyFileA((bin + "\\lanping.exe").c_str(), game.c_str(), FALSE));
    WriteFile(game_folder_ + "\\" OZLAN_SAVED_NAME, "the player's own");
    HANDLE in_use = CreateFileA(copy.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                0, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, in_use);
    // The test's transport plays the relay service, so that the launcher gets that far.
    Endpoint* relay = CreateEndpoint(0);
    SetAcceptCallback(PeerAccept);
    std::string said = game_folder_ + "\\said.txt";
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    HANDLE out = CreateFileA(said.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit, CREATE_ALWAYS,
                             0, nullptr);
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = startup.hStdError = out;
    std::string command =
        "\"" + bin + "\\ozlaunch.exe\" --relay 127.0.0.1:" + std::to_string(relay->local_port) +
        " --session x --timeout 5 -- \"" + game + "\" host --udp 4000";
    PROCESS_INFORMATION process{};
    ASSERT_TRUE(CreateProcessA(nullptr, command.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                               &startup, &process));
    CloseHandle(out);
    EXPECT_TRUE(
        Pump([&] { return WaitForSingleObject(process.hProcess, 0) == WAIT_OBJECT_0; }, 20000));
    DWORD code = 0;
    GetExitCodeProcess(process.hProcess, &code);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    CloseHandle(in_use);
    EXPECT_EQ(4u, code);
    EXPECT_NE(std::string::npos,
              ReadFile(said).find("ozlaunch: the game from an earlier session still runs and uses "
                                  "OZLAN's copy: close it first"))
        << ReadFile(said);
    EXPECT_EQ("the player's own", ReadFile(game_folder_ + "\\" OZLAN_SAVED_NAME));
    for (const std::string& f : {said, game, game_folder_ + "\\" OZLAN_SAVED_NAME, copy}) {
        DeleteFileA(f.c_str());
    }
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
