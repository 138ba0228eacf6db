// OZLAN.dll loaded for real, against a peer in this test: a raw UDP peer where the
// exact bytes matter, a transport playing the relay service elsewhere.
#include "tests/session/session_fixture.h"

namespace ozlan::test {
namespace {

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

}  // namespace
}  // namespace ozlan::test
