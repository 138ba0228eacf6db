// What the proxy changes: broadcasts to the launcher, IPX sockets as UDP or TCP
// sockets, and launcher messages shown as datagrams from the remote player. Real
// sockets on loopback; the test's own sockets use the real Winsock directly.
#include "tests/wsock32/proxy_fixture.h"
// After winsock2.h, which the fixture brings first.

#include <algorithm>
#include <cstring>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace ozlan::test {
namespace {

TEST_F(ProxyIpxTest, UdpBroadcastGoesToTheLauncherWrapped) {
    SOCKET launcher = Helper("127.0.0.1", 3668);
    u_short game_port;
    SOCKET game = GameUdp(&game_port);
    std::string payload(100, 'p');
    sockaddr_in to = Address("255.255.255.255", 900);
    proxy_.ForgetLines();
    EXPECT_EQ(100, game_.sendto(game, payload.data(), 100, 0, reinterpret_cast<sockaddr*>(&to),
                                sizeof to));
    sockaddr_in from{};
    std::string got = Receive(launcher, &from);
    ASSERT_EQ(112u, got.size());
    EXPECT_EQ(game_port, PortOf(from));
    EXPECT_EQ(Bytes({0xF9, 0xF9, 0xF9, 0xF9, 0x84, 0x03}), got.substr(0, 6));
    EXPECT_EQ(Bytes({0x7F, 0x00, 0x00, 0x01}), got.substr(8, 4));
    EXPECT_EQ(payload, got.substr(12));
    std::string s = std::to_string(int(game));
    EXPECT_TRUE(proxy_.HasLine("[wsock32.dll] mp_sendto(" + s + ",,100,0,,16)"));
    EXPECT_TRUE(proxy_.HasLine("[wsock32.dll] mp_htonl(4294967295)"));
    // The link message's port goes through the proxy's own ntohs while it is built:
    // its line stands between these two.
    std::vector<std::string> lines;
    for (const auto& c : proxy_.Calls()) lines.push_back(c.text);
    auto at = [&](const std::string& line) {
        return std::find(lines.begin(), lines.end(), "[wsock32.dll] " + line) - lines.begin();
    };
    EXPECT_LT(at("This is a LAN broadcast udp request from the game"), at("mp_ntohs(33795)"));
    EXPECT_LT(at("mp_ntohs(33795)"),
              at("mp_sendto() - sending message to the launcher of size 112(12 header/100 "
                 "buffer)"));
    EXPECT_LT(at("mp_sendto() - sending message to the launcher of size 112(12 header/100 "
                 "buffer)"),
              std::ptrdiff_t(lines.size()));
    EXPECT_TRUE(proxy_.HasLine("[wsock32.dll] BROADCASTING (TCPIP) OVER VIRTUAL LAN"));
    EXPECT_TRUE(proxy_.HasLine("[wsock32.dll] sendto() Launcher - returned 112"));
    EXPECT_TRUE(proxy_.HasLine("[wsock32.dll] mp_sendto() - lp_sendto() returned 100"));
    bool dumped = false;
    for (const auto& c : proxy_.Calls()) dumped |= std::string(c.kind) == "dump";
    EXPECT_TRUE(dumped);
}

// An address in one of the documentation networks that this machine is not on.
std::string ForeignNetwork(int host) {
    unsigned char storage[16 * 1024];
    auto* table = reinterpret_cast<MIB_IPADDRTABLE*>(storage);
    ULONG size = sizeof storage;
    if (GetIpAddrTable(table, &size, FALSE) != NO_ERROR) table->dwNumEntries = 0;
    for (const char* prefix : {"198.51.100", "203.0.113", "192.0.2"}) {
        unsigned a, b, c;
        std::sscanf(prefix, "%u.%u.%u", &a, &b, &c);
        bool ours = false;
        for (DWORD i = 0; i < table->dwNumEntries; ++i) {
            const uint8_t* ip = reinterpret_cast<const uint8_t*>(&table->table[i].dwAddr);
            ours |= ip[0] == a && ip[1] == b && ip[2] == c;
        }
        if (!ours) return std::string(prefix) + "." + std::to_string(host);
    }
    return "203.0.113." + std::to_string(host);
}

TEST_F(ProxyIpxTest, DirectedAndOtherNetworksBroadcastDatagramsGoOutUnchanged) {
    SOCKET launcher = Helper("127.0.0.1", 3668);
    SOCKET peer = Helper("127.0.0.1", 0);
    sockaddr_in peer_address = BoundAddress(peer);
    u_short game_port;
    SOCKET game = GameUdp(&game_port);
    sockaddr_in to = Address("127.0.0.1", PortOf(peer_address));
    EXPECT_EQ(5, game_.sendto(game, "hello", 5, 0, reinterpret_cast<sockaddr*>(&to), sizeof to));
    sockaddr_in from{};
    EXPECT_EQ("hello", Receive(peer, &from));
    // The broadcast address of a network this machine is not on.
    sockaddr_in subnet = Address(ForeignNetwork(255).c_str(), 900);
    game_.sendto(game, "subnet", 6, 0, reinterpret_cast<sockaddr*>(&subnet), sizeof subnet);
    EXPECT_EQ("<nothing>", Receive(launcher, &from, 200));
}

TEST_F(ProxyIpxTest, BroadcastsToTheMachinesOwnNetworkAreTunnelledLikeLanBroadcasts) {
    MIB_IPADDRROW network;
    if (!FirstNetwork(&network)) GTEST_SKIP() << "this machine has no network but loopback";
    SOCKET launcher = Helper("127.0.0.1", 3668);
    u_short game_port;
    SOCKET game = GameUdp(&game_port);
    sockaddr_in to = Address("0.0.0.0", 900);
    to.sin_addr.s_addr = network.dwAddr | ~network.dwMask;
    proxy_.ForgetLines();
    EXPECT_EQ(6, game_.sendto(game, "subnet", 6, 0, reinterpret_cast<sockaddr*>(&to), sizeof to));
    sockaddr_in from{};
    std::string got = Receive(launcher, &from);
    ASSERT_EQ(18u, got.size());
    EXPECT_EQ(Bytes({0xF9, 0xF9, 0xF9, 0xF9, 0x84, 0x03}), got.substr(0, 6));
    EXPECT_EQ("subnet", got.substr(12));
    EXPECT_TRUE(proxy_.HasLine("[wsock32.dll] This is a LAN broadcast udp request from the game"));
    // The machine's own address on that network is no broadcast.
    SOCKET peer = Helper("0.0.0.0", 0);
    sockaddr_in peer_address = BoundAddress(peer);
    sockaddr_in direct = Address("0.0.0.0", PortOf(peer_address));
    direct.sin_addr.s_addr = network.dwAddr;
    EXPECT_EQ(
        6, game_.sendto(game, "direct", 6, 0, reinterpret_cast<sockaddr*>(&direct), sizeof direct));
    EXPECT_EQ("direct", Receive(peer, &from));
    EXPECT_EQ("<nothing>", Receive(launcher, &from, 200));
}

TEST_F(ProxyIpxTest, AUdpSocketBoundToTheMachinesOwnAddressHearsTheLauncher) {
    MIB_IPADDRROW network;
    if (!FirstNetwork(&network)) GTEST_SKIP() << "this machine has no network but loopback";
    SOCKET launcher = Helper("127.0.0.1", 3668);
    SOCKET game = game_.socket(AF_INET, SOCK_DGRAM, 0);
    opened_.push_back(game);
    sockaddr_in own = Address("0.0.0.0", 0);
    own.sin_addr.s_addr = network.dwAddr;
    proxy_.ForgetLines();
    ASSERT_EQ(0, game_.bind(game, reinterpret_cast<sockaddr*>(&own), sizeof own));
    const uint8_t* a = reinterpret_cast<const uint8_t*>(&network.dwAddr);
    EXPECT_TRUE(proxy_.HasLine("[wsock32.dll] mp_bind() - socket " + std::to_string(int(game)) +
                               " bound to all addresses in place of " + std::to_string(a[0]) + "." +
                               std::to_string(a[1]) + "." + std::to_string(a[2]) + "." +
                               std::to_string(a[3]) +
                               ", so that broadcasts from the launcher reach it"));
    // The socket listens on all addresses; the game is told the address it asked for.
    sockaddr_in real_name{}, game_name{};
    int n = sizeof real_name;
    real_.getsockname(game, reinterpret_cast<sockaddr*>(&real_name), &n);
    EXPECT_EQ(0u, real_name.sin_addr.s_addr);
    n = sizeof game_name;
    ASSERT_EQ(0, game_.getsockname(game, reinterpret_cast<sockaddr*>(&game_name), &n));
    EXPECT_EQ(network.dwAddr, game_name.sin_addr.s_addr);
    EXPECT_EQ(PortOf(real_name), PortOf(game_name));

    // What the launcher delivers to 127.0.0.1 arrives, and so does directed traffic.
    sockaddr_in to_game = Address("127.0.0.1", PortOf(real_name));
    std::string m = LinkMessage({10, 0, 0, 5}, 0x84, 0x03, "relayed");
    real_.sendto(launcher, m.data(), int(m.size()), 0, reinterpret_cast<sockaddr*>(&to_game),
                 sizeof to_game);
    char buffer[256];
    sockaddr_in from{};
    n = sizeof from;
    ASSERT_EQ(
        7, game_.recvfrom(game, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(&from), &n));
    EXPECT_EQ("relayed", std::string(buffer, 7));
    SOCKET peer = Helper("0.0.0.0", 0);
    to_game.sin_addr.s_addr = network.dwAddr;
    real_.sendto(peer, "direct", 6, 0, reinterpret_cast<sockaddr*>(&to_game), sizeof to_game);
    n = sizeof from;
    ASSERT_EQ(
        6, game_.recvfrom(game, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(&from), &n));

    // Loopback stays loopback-only, a stream socket keeps its address, and an address
    // that is not this machine's gets the platform's error.
    SOCKET loopback = game_.socket(AF_INET, SOCK_DGRAM, 0);
    SOCKET stream = game_.socket(AF_INET, SOCK_STREAM, 0);
    SOCKET foreign = game_.socket(AF_INET, SOCK_DGRAM, 0);
    opened_.insert(opened_.end(), {loopback, stream, foreign});
    sockaddr_in lo = Address("127.0.0.1", 0);
    ASSERT_EQ(0, game_.bind(loopback, reinterpret_cast<sockaddr*>(&lo), sizeof lo));
    n = sizeof real_name;
    real_.getsockname(loopback, reinterpret_cast<sockaddr*>(&real_name), &n);
    EXPECT_EQ(Bytes({127, 0, 0, 1}), std::string(reinterpret_cast<char*>(&real_name.sin_addr), 4));
    ASSERT_EQ(0, game_.bind(stream, reinterpret_cast<sockaddr*>(&own), sizeof own));
    n = sizeof real_name;
    real_.getsockname(stream, reinterpret_cast<sockaddr*>(&real_name), &n);
    EXPECT_EQ(network.dwAddr, real_name.sin_addr.s_addr);
    sockaddr_in elsewhere = Address(ForeignNetwork(1).c_str(), 0);
    SOCKET plain = real_.socket(AF_INET, SOCK_DGRAM, 0);
    opened_.push_back(plain);
    int platform = real_.bind(plain, reinterpret_cast<sockaddr*>(&elsewhere), sizeof elsewhere);
    int platform_error = real_.last_error();
    EXPECT_EQ(platform,
              game_.bind(foreign, reinterpret_cast<sockaddr*>(&elsewhere), sizeof elsewhere));
    if (platform != 0) {
        EXPECT_EQ(platform_error, game_.last_error());
    }
}

TEST_F(ProxyIpxTest, IpxBroadcastCarriesTheSocketBytesAndDirectedGoesStraight) {
    SOCKET launcher = Helper("127.0.0.1", 3668);
    SOCKET peer770 = Helper("127.0.0.1", 770);
    SOCKET ipx = game_.socket(6, SOCK_DGRAM, 1000);
    ASSERT_NE(INVALID_SOCKET, ipx);
    opened_.push_back(ipx);
    Ipx broadcast = IpxTo({0xFF, 0xFF, 0, 0, 0, 0}, 0x02, 0x03);
    proxy_.ForgetLines();
    EXPECT_EQ(4, game_.sendto(ipx, "ping", 4, 0, reinterpret_cast<sockaddr*>(&broadcast), 14));
    sockaddr_in from{};
    std::string got = Receive(launcher, &from);
    ASSERT_EQ(16u, got.size());
    EXPECT_EQ(Bytes({0xF9, 0xF9, 0xF9, 0xF9, 0x02, 0x03}), got.substr(0, 6));
    EXPECT_EQ("ping", got.substr(12));
    EXPECT_TRUE(
        proxy_.HasLine("[wsock32.dll] mp_sendto() - IPX - We need to broadcast this message "
                       "to everone in our virtual IPX LAN list via TCPIP"));
    EXPECT_TRUE(proxy_.HasLine("[wsock32.dll] mp_sendto() -  sa_netnum[4] = 00 00 00 00"));
    EXPECT_TRUE(proxy_.HasLine("[wsock32.dll] mp_sendto() - sa_nodenum[6] = FF FF 00 00 00 00"));
    EXPECT_TRUE(proxy_.HasLine("[wsock32.dll] mp_sendto() -     sa_socket = 770"));
    EXPECT_TRUE(proxy_.HasLine("[wsock32.dll] mp_sendto() - to ip addres = 0.0.0.0 (0)"));
    EXPECT_TRUE(
        proxy_.HasLine("[wsock32.dll] mp_sendto() - IPX LAN BROADCAST we are sending this "
                       "packet to everyone on our lan that is listening to port 770"));
    EXPECT_TRUE(proxy_.HasLine("[wsock32.dll] BROADCASTING OVER VIRTUAL LAN"));

    // Directed: node 00 00 7F 00 00 01, socket 515, whatever the network number.
    for (uint8_t net : {uint8_t(0), uint8_t(9)}) {
        Ipx directed = IpxTo({0, 0, 127, 0, 0, 1}, 0x02, 0x03);
        std::memset(directed.netnum, net, 4);
        proxy_.ForgetLines();
        EXPECT_EQ(6, game_.sendto(ipx, "direct", 6, 0, reinterpret_cast<sockaddr*>(&directed), 14));
        EXPECT_EQ("direct", Receive(peer770, &from));
        EXPECT_EQ("<nothing>", Receive(launcher, &from, 100));
        EXPECT_TRUE(
            proxy_.HasLine("[wsock32.dll] mp_sendto() - we are sending this packet directly "
                           "to 127.0.0.1 on our lan listening to port 770"));
        EXPECT_TRUE(proxy_.HasLine("[wsock32.dll] mp_sendto() - (converted).sin_port = 770"));
    }
}

TEST_F(ProxyIpxTest, FailedAndOversizedBroadcastsReturnErrorsTheGameCanRead) {
    SOCKET tcp = game_.socket(AF_INET, SOCK_STREAM, 0);
    opened_.push_back(tcp);
    sockaddr_in to = Address("255.255.255.255", 900);
    EXPECT_EQ(-1, game_.sendto(tcp, "x", 1, 0, reinterpret_cast<sockaddr*>(&to), sizeof to));
    int error = game_.last_error();
    EXPECT_NE(0, error);
    EXPECT_TRUE(proxy_.HasLine("[wsock32.dll] sendto error = " + std::to_string(error)));

    u_short port;
    SOCKET game = GameUdp(&port);
    std::string big(2049, 'b');
    EXPECT_EQ(-1,
              game_.sendto(game, big.data(), 2049, 0, reinterpret_cast<sockaddr*>(&to), sizeof to));
    EXPECT_EQ(WSAEMSGSIZE, game_.last_error());
    std::string most(2048, 'm');
    SOCKET launcher = Helper("127.0.0.1", 3668);
    EXPECT_EQ(2048, game_.sendto(game, most.data(), 2048, 0, reinterpret_cast<sockaddr*>(&to),
                                 sizeof to));
    sockaddr_in from{};
    EXPECT_EQ(2060u, Receive(launcher, &from).size());
}

TEST_F(ProxyIpxTest, SendtoWithoutADestinationIsPassedOn) {
    SOCKET peer = Helper("127.0.0.1", 0);
    sockaddr_in peer_address = BoundAddress(peer);
    u_short port;
    SOCKET game = GameUdp(&port);
    ASSERT_EQ(0,
              game_.connect(game, reinterpret_cast<sockaddr*>(&peer_address), sizeof peer_address));
    EXPECT_EQ(3, game_.sendto(game, "abc", 3, 0, nullptr, 0));
    sockaddr_in from{};
    EXPECT_EQ("abc", Receive(peer, &from));
}

TEST_F(ProxyIpxTest, LauncherMessagesArriveFromTheRemotePlayer) {
    SOCKET launcher = Helper("127.0.0.1", 3668);
    u_short port;
    SOCKET game = GameUdp(&port);
    sockaddr_in to_game = Address("127.0.0.1", port);
    std::string payload(100, 'q');
    std::string m = LinkMessage({10, 0, 0, 5}, 0x84, 0x03, payload);
    real_.sendto(launcher, m.data(), int(m.size()), 0, reinterpret_cast<sockaddr*>(&to_game),
                 sizeof to_game);
    char buffer[4096];
    sockaddr_in from{};
    int n = sizeof from;
    proxy_.ForgetLines();
    ASSERT_EQ(100, game_.recvfrom(game, buffer, sizeof buffer, 0,
                                  reinterpret_cast<sockaddr*>(&from), &n));
    EXPECT_EQ(payload, std::string(buffer, 100));
    EXPECT_EQ(AF_INET, from.sin_family);
    EXPECT_EQ(900, PortOf(from));
    EXPECT_EQ(Bytes({10, 0, 0, 5}), std::string(reinterpret_cast<char*>(&from.sin_addr), 4));
    std::string s = std::to_string(int(game));
    EXPECT_TRUE(proxy_.HasLine("[wsock32.dll] mp_recvfrom(" + s + ",,4096,0,,)"));
    EXPECT_TRUE(
        proxy_.HasLine("[wsock32.dll] mp_recvfrom() - We are receiving a broadcasted message "
                       "from the launcher. We need to convert it to make it look like it "
                       "comes from the actual remote player"));
    EXPECT_TRUE(proxy_.HasLine("[wsock32.dll] mp_recvfrom() - broadcast message is now converted"));
    EXPECT_TRUE(proxy_.HasLine(
        "mp_recvfrom() - message from the launcher is of size 112(12 header/100 buffer)"));
    EXPECT_TRUE(
        proxy_.HasLine("[wsock32.dll] mp_recvfrom() - lp_recvfrom(" + s + ") returned 100"));

    // 12 bytes give an empty datagram; 11 bytes or no magic arrive as they are.
    std::string twelve = LinkMessage({10, 0, 0, 5}, 0x84, 0x03, "");
    real_.sendto(launcher, twelve.data(), 12, 0, reinterpret_cast<sockaddr*>(&to_game),
                 sizeof to_game);
    n = sizeof from;
    EXPECT_EQ(
        0, game_.recvfrom(game, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(&from), &n));
    for (const std::string& odd :
         {twelve.substr(0, 11), std::string("no magic here, just bytes")}) {
        proxy_.ForgetLines();
        real_.sendto(launcher, odd.data(), int(odd.size()), 0,
                     reinterpret_cast<sockaddr*>(&to_game), sizeof to_game);
        n = sizeof from;
        ASSERT_EQ(int(odd.size()), game_.recvfrom(game, buffer, sizeof buffer, 0,
                                                  reinterpret_cast<sockaddr*>(&from), &n));
        EXPECT_EQ(odd, std::string(buffer, odd.size()));
        EXPECT_EQ(3668, PortOf(from));
        auto calls = proxy_.Calls();
        bool found = false;
        for (const auto& c : calls) {
            if (std::string(c.text) ==
                "mp_recvfrom() - We received a currupted or unknown message from the launcher") {
                found = true;
                EXPECT_EQ(500, c.level);
            }
        }
        EXPECT_TRUE(found);
    }
}

TEST_F(ProxyIpxTest, LauncherMessagesNamingTheSendersPortShowThatPort) {
    SOCKET launcher = Helper("127.0.0.1", 3668);
    u_short port;
    SOCKET game = GameUdp(&port);
    SOCKET ipx = game_.socket(6, SOCK_DGRAM, 1000);
    opened_.push_back(ipx);
    Ipx local = IpxTo({0, 0, 0, 0, 0, 0}, 0x41, 0x1F);  // mapped port 0x1F41 = 8001
    ASSERT_EQ(0, game_.bind(ipx, reinterpret_cast<sockaddr*>(&local), 14));
    // Sent to port 900 (84 03) by a game socket on port 27901 (bytes 6-7: FD 6C).
    std::string m = LinkMessage({10, 0, 0, 5}, 0x84, 0x03, "query");
    m[6] = char(0xFD), m[7] = char(0x6C);
    char buffer[256];
    for (auto [s, game_port] : {std::pair{game, port}, std::pair{ipx, u_short(8001)}}) {
        sockaddr_in to_game = Address("127.0.0.1", game_port);
        real_.sendto(launcher, m.data(), int(m.size()), 0, reinterpret_cast<sockaddr*>(&to_game),
                     sizeof to_game);
    }
    sockaddr_in from{};
    int n = sizeof from;
    ASSERT_EQ(
        5, game_.recvfrom(game, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(&from), &n));
    EXPECT_EQ(27901, PortOf(from));
    EXPECT_EQ(Bytes({10, 0, 0, 5}), std::string(reinterpret_cast<char*>(&from.sin_addr), 4));
    Ipx ipx_from{};
    n = 14;
    ASSERT_EQ(5, game_.recvfrom(ipx, buffer, sizeof buffer, 0,
                                reinterpret_cast<sockaddr*>(&ipx_from), &n));
    // The IPX socket whose mapped port is 27901.
    EXPECT_EQ(Bytes({0xFD, 0x6C}), std::string(reinterpret_cast<char*>(ipx_from.socket), 2));
    EXPECT_EQ(Bytes({0, 0, 10, 0, 0, 5}),
              std::string(reinterpret_cast<char*>(ipx_from.nodenum), 6));
}

TEST_F(ProxyIpxTest, OnlyThePortOfTheLauncherIsConverted) {
    SOCKET other = Helper("127.0.0.1", 0);
    u_short port;
    SOCKET game = GameUdp(&port);
    sockaddr_in to_game = Address("127.0.0.1", port);
    std::string m = LinkMessage({10, 0, 0, 5}, 0x84, 0x03, "data");
    real_.sendto(other, m.data(), int(m.size()), 0, reinterpret_cast<sockaddr*>(&to_game),
                 sizeof to_game);
    char buffer[256];
    sockaddr_in from{};
    int n = sizeof from;
    EXPECT_EQ(int(m.size()), game_.recvfrom(game, buffer, sizeof buffer, 0,
                                            reinterpret_cast<sockaddr*>(&from), &n));
    EXPECT_EQ(m, std::string(buffer, m.size()));
}

TEST_F(ProxyIpxTest, ALauncherMessageIsStrippedAlsoWithoutAnAddressBuffer) {
    SOCKET launcher = Helper("127.0.0.1", 3668);
    u_short port;
    SOCKET game = GameUdp(&port);
    sockaddr_in to_game = Address("127.0.0.1", port);
    std::string m = LinkMessage({10, 0, 0, 5}, 0x84, 0x03, "body");
    real_.sendto(launcher, m.data(), int(m.size()), 0, reinterpret_cast<sockaddr*>(&to_game),
                 sizeof to_game);
    char buffer[256];
    EXPECT_EQ(4, game_.recvfrom(game, buffer, sizeof buffer, 0, nullptr, nullptr));
    EXPECT_EQ("body", std::string(buffer, 4));
}

TEST_F(ProxyIpxTest, IpxSocketsReceiveWithIpxSources) {
    SOCKET launcher = Helper("127.0.0.1", 3668);
    SOCKET ipx = game_.socket(6, SOCK_DGRAM, 1000);
    opened_.push_back(ipx);
    Ipx local = IpxTo({0, 0, 0, 0, 0, 0}, 0x40, 0x1F);  // mapped port 0x1F40 = 8000
    ASSERT_EQ(0, game_.bind(ipx, reinterpret_cast<sockaddr*>(&local), 14));
    sockaddr_in to_game = Address("127.0.0.1", 8000);
    std::string m = LinkMessage({10, 0, 0, 5}, 0x84, 0x03, std::string(100, 'i'));
    real_.sendto(launcher, m.data(), int(m.size()), 0, reinterpret_cast<sockaddr*>(&to_game),
                 sizeof to_game);
    char buffer[4096];
    Ipx from{};
    int n = 16;
    proxy_.ForgetLines();
    ASSERT_EQ(
        100, game_.recvfrom(ipx, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(&from), &n));
    EXPECT_EQ(14, n);
    EXPECT_EQ(6, from.family);
    EXPECT_EQ(Bytes({0, 0, 0, 0}), std::string(reinterpret_cast<char*>(from.netnum), 4));
    EXPECT_EQ(Bytes({0, 0, 10, 0, 0, 5}), std::string(reinterpret_cast<char*>(from.nodenum), 6));
    EXPECT_EQ(Bytes({0x84, 0x03}), std::string(reinterpret_cast<char*>(from.socket), 2));
    EXPECT_TRUE(proxy_.HasLine("[wsock32.dll] lp_recvfrom() returned 112 bytes"));
    EXPECT_TRUE(
        proxy_.HasLine("[wsock32.dll] mp_recvfrom() - message from the launcher is of size "
                       "112(12 header/100 buffer)"));
    EXPECT_TRUE(
        proxy_.HasLine("[wsock32.dll] mp_recvfrom() - IPX - We are receiving a message via "
                       "TCPIP that needs to be converted back into IPX"));
    EXPECT_TRUE(proxy_.HasLine("[wsock32.dll] mp_recvfrom() - interface[" +
                               std::to_string(int(ipx)) + "] : address == 10.0.0.5, port == 900"));
    EXPECT_TRUE(proxy_.HasLine("[wsock32.dll] mp_recvfrom() - address = 10.0.0.5"));
    EXPECT_TRUE(proxy_.HasLine("[wsock32.dll] mp_recvfrom() - sa_nodenum[6] = 00 00 0A 00 00 05"));
    EXPECT_TRUE(proxy_.HasLine("[wsock32.dll] mp_recvfrom() -     sa_socket = 900"));

    // A direct datagram from 127.0.0.1 port 770: node 00 00 7F 00 00 01, socket 02 03.
    SOCKET peer770 = Helper("127.0.0.1", 770);
    real_.sendto(peer770, "direct", 6, 0, reinterpret_cast<sockaddr*>(&to_game), sizeof to_game);
    n = 14;
    ASSERT_EQ(
        6, game_.recvfrom(ipx, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(&from), &n));
    EXPECT_EQ(Bytes({0, 0, 127, 0, 0, 1}), std::string(reinterpret_cast<char*>(from.nodenum), 6));
    EXPECT_EQ(Bytes({0x02, 0x03}), std::string(reinterpret_cast<char*>(from.socket), 2));
}

// A game's buffer as large as its largest datagram: what the launcher delivers fits it
// exactly (the link header lands in the proxy's buffer); a longer datagram is cut to it
// with WSAEMSGSIZE, as on a LAN, whether it came through the launcher or not.
TEST_F(ProxyIpxTest, FullSizeDatagramsFitTheGamesBuffer) {
    SOCKET launcher = Helper("127.0.0.1", 3668);
    SOCKET stranger = Helper("127.0.0.1", 0);
    u_short port;
    SOCKET game = GameUdp(&port);
    SOCKET ipx = game_.socket(6, SOCK_DGRAM, 1000);
    opened_.push_back(ipx);
    Ipx local = IpxTo({0, 0, 0, 0, 0, 0}, 0x42, 0x1F);  // mapped port 0x1F42 = 8002
    ASSERT_EQ(0, game_.bind(ipx, reinterpret_cast<sockaddr*>(&local), 14));
    std::string full(1032, 'f');
    for (size_t i = 0; i < full.size(); ++i) full[i] = char('a' + i % 26);
    auto send = [&](SOCKET from, u_short to_port, const std::string& m) {
        sockaddr_in to = Address("127.0.0.1", to_port);
        ASSERT_EQ(int(m.size()), real_.sendto(from, m.data(), int(m.size()), 0,
                                              reinterpret_cast<sockaddr*>(&to), sizeof to));
    };
    for (auto [s, game_port] : {std::pair{game, port}, std::pair{ipx, u_short(8002)}}) {
        SCOPED_TRACE(s == game ? "UDP" : "IPX");
        char buffer[1032 + 16];
        std::memset(buffer, '#', sizeof buffer);
        sockaddr_in from{};
        int n = 16;
        send(launcher, game_port, LinkMessage({10, 0, 0, 5}, 0x84, 0x03, full));
        ASSERT_EQ(1032, game_.recvfrom(s, buffer, 1032, 0, reinterpret_cast<sockaddr*>(&from), &n));
        EXPECT_EQ(full, std::string(buffer, 1032));
        EXPECT_EQ('#', buffer[1032]);  // nothing written past the game's buffer
        if (s == game) {
            EXPECT_EQ(900, PortOf(from));
        }

        // One byte more: cut to the buffer, the source still the remote player.
        send(launcher, game_port, LinkMessage({10, 0, 0, 5}, 0x84, 0x03, full + "+"));
        n = 16;
        std::memset(&from, 0, sizeof from);
        EXPECT_EQ(-1, game_.recvfrom(s, buffer, 1032, 0, reinterpret_cast<sockaddr*>(&from), &n));
        EXPECT_EQ(WSAEMSGSIZE, game_.last_error());
        EXPECT_EQ(full, std::string(buffer, 1032));
        EXPECT_EQ('#', buffer[1032]);
        if (s == game) {
            EXPECT_EQ(Bytes({10, 0, 0, 5}),
                      std::string(reinterpret_cast<char*>(&from.sin_addr), 4));
        } else {
            EXPECT_EQ(Bytes({0, 0, 10, 0, 0, 5}),
                      std::string(reinterpret_cast<char*>(&from) + 6, 6));
        }

        // Not from the launcher: the same rules, with or without the 12 bytes' room.
        for (const std::string& m :
             {full.substr(0, 1030), full + "1234", full + "123456789012345"}) {
            send(stranger, game_port, m);
            n = 16;
            int got = game_.recvfrom(s, buffer, 1032, 0, reinterpret_cast<sockaddr*>(&from), &n);
            if (m.size() <= 1032) {
                EXPECT_EQ(int(m.size()), got);
            } else {
                EXPECT_EQ(-1, got);
                EXPECT_EQ(WSAEMSGSIZE, game_.last_error());
            }
            EXPECT_EQ(m.substr(0, 1032), std::string(buffer, std::min<size_t>(m.size(), 1032)));
            EXPECT_EQ('#', buffer[1032]);
        }
        // The next datagram is whole: the cut one took nothing of it.
        send(launcher, game_port, LinkMessage({10, 0, 0, 5}, 0x84, 0x03, "next"));
        n = 16;
        EXPECT_EQ(4, game_.recvfrom(s, buffer, 1032, 0, reinterpret_cast<sockaddr*>(&from), &n));
        EXPECT_EQ("next", std::string(buffer, 4));
    }

    // WSARecvFrom into several buffers, small and large: the payload spread over them
    // (where the system's Winsock 1.1 library has the function at all).
    if (!GetProcAddress(real_module_, "WSARecvFrom")) return;
    using WSARecvFromFn = int(WSAAPI*)(SOCKET, LPWSABUF, DWORD, LPDWORD, LPDWORD, sockaddr*, LPINT,
                                       LPWSAOVERLAPPED, LPWSAOVERLAPPED_COMPLETION_ROUTINE);
    auto wsa_recvfrom = proxy_.Export<WSARecvFromFn>("WSARecvFrom");
    for (size_t first : {size_t(5), size_t(1000)}) {
        SCOPED_TRACE(first);
        std::vector<char> a(first), b(first == 5 ? 1027 : 3000);
        WSABUF parts[2] = {{ULONG(a.size()), a.data()}, {ULONG(b.size()), b.data()}};
        send(launcher, port, LinkMessage({10, 0, 0, 6}, 0x84, 0x03, full));
        DWORD got = 0, flags = 0;
        sockaddr_in from{};
        int n = sizeof from;
        ASSERT_EQ(0, wsa_recvfrom(game, parts, 2, &got, &flags, reinterpret_cast<sockaddr*>(&from),
                                  &n, nullptr, nullptr));
        EXPECT_EQ(1032u, got);
        EXPECT_EQ(full, std::string(a.data(), first) + std::string(b.data(), 1032 - first));
        EXPECT_EQ(Bytes({10, 0, 0, 6}), std::string(reinterpret_cast<char*>(&from.sin_addr), 4));
    }
}

TEST_F(ProxyIpxTest, IpxSocketsAreUdpOrTcpBoundToTheirMappedPort) {
    auto type_of = [&](SOCKET s) {
        int type = 0, n = sizeof type;
        real_.getsockopt(s, SOL_SOCKET, SO_TYPE, reinterpret_cast<char*>(&type), &n);
        return type;
    };
    SOCKET dgram = game_.socket(6, SOCK_DGRAM, 1000);
    SOCKET spx = game_.socket(6, SOCK_STREAM, 1256);
    SOCKET zero = game_.socket(6, SOCK_DGRAM, 0);
    opened_.insert(opened_.end(), {dgram, spx, zero});
    EXPECT_EQ(SOCK_DGRAM, type_of(dgram));
    EXPECT_EQ(SOCK_STREAM, type_of(spx));
    EXPECT_EQ(SOCK_STREAM, type_of(zero));
    EXPECT_TRUE(proxy_.HasLine(
        "[wsock32.dll] There is a request for an IPX socket. We need to convert this to TCPIP"));
    EXPECT_TRUE(proxy_.HasLine("[wsock32.dll] Socket " + std::to_string(int(dgram)) +
                               " is using a IPX/SPX address family type"));
    EXPECT_TRUE(proxy_.HasLine("Added " + std::to_string(int(dgram)) + " - length is now 1"));

    Ipx local = IpxTo({1, 2, 3, 4, 5, 6}, 0x02, 0x03);
    ASSERT_EQ(0, game_.bind(dgram, reinterpret_cast<sockaddr*>(&local), 14));
    sockaddr_in bound = BoundAddress(dgram);
    EXPECT_EQ(770, PortOf(bound));
    EXPECT_EQ(0u, bound.sin_addr.s_addr);
    Ipx name{};
    int n = 14;
    ASSERT_EQ(0, game_.getsockname(dgram, reinterpret_cast<sockaddr*>(&name), &n));
    EXPECT_EQ(14, n);
    EXPECT_EQ(6, name.family);
    // Bound to all addresses, the socket reports a node others can reach: 00 00 and
    // an address of this machine's name (0 only where the name has none).
    EXPECT_EQ(Bytes({0, 0}), std::string(reinterpret_cast<char*>(name.nodenum), 2));
    std::vector<std::string> own = HostAddresses();
    std::string node(reinterpret_cast<char*>(name.nodenum) + 2, 4);
    if (own.empty()) {
        EXPECT_EQ(Bytes({0, 0, 0, 0}), node);
    } else {
        EXPECT_NE(own.end(), std::find(own.begin(), own.end(), node));
    }
    EXPECT_EQ(Bytes({0x02, 0x03}), std::string(reinterpret_cast<char*>(name.socket), 2));
    EXPECT_TRUE(
        proxy_.HasLine("[wsock32.dll] IPX - there is an attempt to bind an IPX socket. We "
                       "need to convert it to a TCPIP bind"));
    EXPECT_TRUE(proxy_.HasLine("[wsock32.dll] sa_nodenum[6] = 01 02 03 04 05 06"));
    EXPECT_TRUE(proxy_.HasLine("[wsock32.dll]     sa_socket = 770"));

    // Missing or short buffers get the platform's bad-address error.
    EXPECT_EQ(-1, game_.bind(spx, nullptr, 0));
    EXPECT_EQ(WSAEFAULT, game_.last_error());
    EXPECT_EQ(-1, game_.bind(spx, reinterpret_cast<sockaddr*>(&local), 10));
    EXPECT_EQ(WSAEFAULT, game_.last_error());
    n = 8;
    EXPECT_EQ(-1, game_.getsockname(dgram, reinterpret_cast<sockaddr*>(&name), &n));
    EXPECT_EQ(WSAEFAULT, game_.last_error());
}

// The int an option wrote, little-endian.
int IntAt(const unsigned char* p) {
    return int(uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24);
}

TEST_F(ProxyIpxTest, IpxAddressNamesTheNodeOfGetsocknameOnTheOneAdapter) {
    SOCKET ipx = game_.socket(6, SOCK_DGRAM, 1000);
    opened_.push_back(ipx);
    Ipx local = IpxTo({0, 0, 0, 0, 0, 0}, 0x02, 0x03);
    ASSERT_EQ(0, game_.bind(ipx, reinterpret_cast<sockaddr*>(&local), 14));
    Ipx name{};
    int n = 14;
    ASSERT_EQ(0, game_.getsockname(ipx, reinterpret_cast<sockaddr*>(&name), &n));
    // Adapter 0: network 0 and the node getsockname gave, a LAN card (not a WAN link),
    // 1470-byte packets (IPX's largest on Ethernet, which reaches every player), 10 Mbit/s.
    unsigned char record[24];
    std::memset(record, 0xAA, sizeof record);
    std::memset(record, 0, 4);
    n = sizeof record;
    ASSERT_EQ(0, game_.getsockopt(ipx, 1000, 0x4007, reinterpret_cast<char*>(record), &n));
    EXPECT_EQ(24, n);
    std::string expected = Bytes({0, 0, 0, 0, 0, 0, 0, 0}) +
                           std::string(reinterpret_cast<char*>(name.nodenum), 6) +
                           Bytes({0, 0, 0xBE, 0x05, 0, 0, 0xD4, 0x30, 0, 0});
    EXPECT_EQ(expected, std::string(reinterpret_cast<char*>(record), 24));
    EXPECT_TRUE(proxy_.HasLine("[wsock32.dll] mp_getsockopt called with optname IPX_ADDRESS"));
    // There is no adapter 1; a short buffer is the platform's bad address.
    unsigned char other[24] = {1};
    n = sizeof other;
    EXPECT_EQ(-1, game_.getsockopt(ipx, 1000, 0x4007, reinterpret_cast<char*>(other), &n));
    EXPECT_EQ(WSAEINVAL, game_.last_error());
    n = 10;
    EXPECT_EQ(-1, game_.getsockopt(ipx, 1000, 0x4007, reinterpret_cast<char*>(other), &n));
    EXPECT_EQ(WSAEFAULT, game_.last_error());
    // One adapter, as an int the game preset to -1; one byte only where only one fits.
    int count = -1;
    n = sizeof count;
    EXPECT_EQ(0, game_.getsockopt(ipx, 1000, 0x400D, reinterpret_cast<char*>(&count), &n));
    EXPECT_EQ(1, count);
    EXPECT_EQ(4, n);
    char one = 0;
    n = 1;
    EXPECT_EQ(0, game_.getsockopt(ipx, 1000, 0x400D, &one, &n));
    EXPECT_EQ(1, one);
    EXPECT_EQ(1, n);
    // A game binds to the card's address: as to all addresses, and getsockname agrees.
    SOCKET second = game_.socket(6, SOCK_DGRAM, 1000);
    opened_.push_back(second);
    Ipx card{};
    std::memcpy(card.netnum, record + 4, 4);
    std::memcpy(card.nodenum, record + 8, 6);
    card.socket[0] = 0x02;
    card.socket[1] = 0x04;
    ASSERT_EQ(0, game_.bind(second, reinterpret_cast<sockaddr*>(&card), 14));
    Ipx again{};
    n = 14;
    ASSERT_EQ(0, game_.getsockname(second, reinterpret_cast<sockaddr*>(&again), &n));
    EXPECT_EQ(std::string(reinterpret_cast<char*>(card.nodenum), 6),
              std::string(reinterpret_cast<char*>(again.nodenum), 6));
    sockaddr_in real_name{};
    n = sizeof real_name;
    real_.getsockname(second, reinterpret_cast<sockaddr*>(&real_name), &n);
    EXPECT_EQ(0u, real_name.sin_addr.s_addr);
    EXPECT_EQ(0x0402, PortOf(real_name));
}

TEST_F(ProxyIpxTest, IpxHeaderOptionsAreKeptPerSocketAndForgottenWithIt) {
    SOCKET a = game_.socket(6, SOCK_DGRAM, 1000);
    SOCKET b = game_.socket(6, SOCK_DGRAM, 1000);
    opened_.push_back(b);
    auto get = [&](SOCKET s, int option) {
        unsigned char v[4];
        std::memset(v, 0xAA, sizeof v);
        int n = sizeof v;
        int result = game_.getsockopt(s, 1000, option, reinterpret_cast<char*>(v), &n);
        return result == 0 && n == 4 ? IntAt(v) : -999;
    };
    auto set = [&](SOCKET s, int option, int value) {
        return game_.setsockopt(s, 1000, option, reinterpret_cast<char*>(&value), sizeof value);
    };
    // An IPX stack's defaults: packet type 0, no filter, broadcasts received; the largest
    // datagram.
    EXPECT_EQ(0, get(a, 0x4000));
    EXPECT_EQ(0, get(a, 0x4001));
    EXPECT_EQ(1, get(a, 0x400F));
    EXPECT_EQ(1470, get(a, 0x4006));
    proxy_.ForgetLines();
    EXPECT_EQ(0, set(a, 0x4000, 4));  // IPX_PTYPE
    EXPECT_TRUE(proxy_.HasLine("[wsock32.dll] mp_setsockopt called with optname IPX_PTYPE"));
    EXPECT_TRUE(proxy_.HasLine("[wsock32.dll] mp_setsockopt kept IPX_PTYPE = 4 for IPX socket " +
                               std::to_string(int(a))));
    EXPECT_EQ(4, get(a, 0x4000));
    EXPECT_EQ(0, get(b, 0x4000)) << "kept per socket";
    EXPECT_EQ(0, set(a, 0x4001, 4));  // IPX_FILTERPTYPE
    EXPECT_EQ(4, get(a, 0x4001));
    EXPECT_EQ(0, set(a, 0x4003, 4));  // IPX_STOPFILTERPTYPE
    EXPECT_EQ(0, get(a, 0x4001));
    EXPECT_EQ(0, set(a, 0x4002, 5));  // IPX_DSTYPE
    EXPECT_EQ(5, get(a, 0x4002));
    EXPECT_EQ(0, set(a, 0x400F, 0));  // IPX_RECEIVE_BROADCAST
    EXPECT_EQ(0, get(a, 0x400F));
    // IPX headers on receive cannot be had: asking fails as an option not offered, and
    // off stays off.
    for (int option : {0x4004, 0x4005}) {
        EXPECT_EQ(-1, set(a, option, 1));
        EXPECT_EQ(WSAENOPROTOOPT, game_.last_error());
        EXPECT_EQ(0, set(a, option, 0));
        EXPECT_EQ(0, get(a, option));
    }
    // A value shorter than an int is the platform's bad address.
    int value = 4;
    EXPECT_EQ(-1, game_.setsockopt(a, 1000, 0x4000, reinterpret_cast<char*>(&value), 2));
    EXPECT_EQ(WSAEFAULT, game_.last_error());
    // Closed, the socket's options go with it: a new one starts from the defaults.
    EXPECT_EQ(0, game_.closesocket(a));
    SOCKET c = game_.socket(6, SOCK_DGRAM, 1000);
    opened_.push_back(c);
    EXPECT_EQ(0, get(c, 0x4000));
    EXPECT_EQ(1, get(c, 0x400F));

    // A UDP socket has no IPX options: the real socket's answer, with the level-500 line.
    u_short port;
    SOCKET udp = GameUdp(&port);
    proxy_.ForgetLines();
    EXPECT_EQ(SOCKET_ERROR, set(udp, 0x4000, 4));
    bool level500 = false;
    for (const auto& call : proxy_.Calls()) {
        level500 |= call.level == 500 &&
                    std::string(call.text).rfind("[wsock32.dll] lp_setsockopt error = ", 0) == 0;
    }
    EXPECT_TRUE(level500);
    EXPECT_TRUE(proxy_.HasLine("[wsock32.dll] lp_setsockopt returned -1"));
    value = 1;
    game_.setsockopt(c, 1000, 0x4007, reinterpret_cast<char*>(&value), sizeof value);
    EXPECT_TRUE(proxy_.HasLine("[wsock32.dll] mp_setsockopt called with optname (16391)"));
}

TEST_F(ProxyIpxTest, IoctlNamesItsCommand) {
    u_short port;
    SOCKET game = GameUdp(&port);
    u_long on = 1;
    EXPECT_EQ(0, game_.ioctlsocket(game, FIONBIO, &on));
    EXPECT_TRUE(proxy_.HasLine("[wsock32.dll] mp_ioctlsocket called with a command of FIONBIO"));
    EXPECT_TRUE(proxy_.HasLine("[wsock32.dll] lp_ioctlsocket() returned 0"));
}

TEST_F(ProxyIpxTest, WsaRecvFromWithoutARealCounterpartFails) {
    using WSARecvFromFn = int(WSAAPI*)(SOCKET, LPWSABUF, DWORD, LPDWORD, LPDWORD, sockaddr*, LPINT,
                                       LPWSAOVERLAPPED, LPWSAOVERLAPPED_COMPLETION_ROUTINE);
    auto wsa_recvfrom = proxy_.Export<WSARecvFromFn>("WSARecvFrom");
    char data[16];
    WSABUF buffer{sizeof data, data};
    DWORD got = 0, flags = 0;
    int result =
        wsa_recvfrom(SOCKET(1), &buffer, 1, &got, &flags, nullptr, nullptr, nullptr, nullptr);
    if (!GetProcAddress(real_module_, "WSARecvFrom")) {
        EXPECT_EQ(-1, result);
        EXPECT_TRUE(
            proxy_.HasLine("[wsock32.dll] mp_WSARecvFrom() - unable to load WSARecvFrom()"));
    }
    EXPECT_TRUE(proxy_.HasLine("[wsock32.dll] mp_WSARecvFrom(1,,16,0,,)"));
}

TEST_F(ProxyIpxTest, BroadcastExportsDoNothingButAnswer) {
    using SetCallbackFn = int32_t(WSAAPI*)(void*);
    using RecvBroadcastFn = int32_t(WSAAPI*)();
    EXPECT_EQ(0,
              proxy_.Export<SetCallbackFn>("SetBroadcastCallback")(reinterpret_cast<void*>(this)));
    EXPECT_EQ(0, proxy_.Export<RecvBroadcastFn>("RecvBroadcastMsg")());
    EXPECT_TRUE(proxy_.HasLine("[wsock32.dll] SetBroadcastCallback() called"));
}

}  // namespace
}  // namespace ozlan::test
