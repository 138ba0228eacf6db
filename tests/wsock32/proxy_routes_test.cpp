// Players the relay service reaches: datagrams for their relayed addresses go to the
// launcher, the launcher's routes say where each address of another member goes, the
// game learns the address others know it by, and answers come from the address the
// game sent to. Real sockets on loopback, the test playing the launcher.
#include "tests/wsock32/proxy_fixture.h"

#include <algorithm>
#include <thread>

namespace ozlan::test {
namespace {

// The launcher's answer: this player's relayed address 172.20.7.1, and routes for a public
// member (relayed 172.20.7.2, real 203.0.2.2) through the launcher and for a neighbour
// (relayed 172.20.7.3) straight at 127.0.0.1, where the test listens.
std::string PublicMemberAndNeighbour() {
    return LinkMessage({172, 20, 7, 1}, 0, 0, "") +
           Bytes({172, 20, 7, 2, 172, 20, 7, 2, 1, 0, 0, 0}) +
           Bytes({203, 0, 2, 2, 172, 20, 7, 2, 1, 0, 0, 0}) +
           Bytes({172, 20, 7, 3, 127, 0, 0, 1, 2, 0, 0, 0});
}

TEST_F(ProxyIpxTest, DatagramsForRelayedPlayersGoToTheLauncherWithTheirAddress) {
    SOCKET launcher = Helper("127.0.0.1", 3668);
    u_short port;
    SOCKET game = GameUdp(&port);
    sockaddr_in to = Address("198.18.0.9", 4000);
    proxy_.ForgetLines();
    EXPECT_EQ(5, game_.sendto(game, "hello", 5, 0, reinterpret_cast<sockaddr*>(&to), sizeof to));
    sockaddr_in from{};
    EXPECT_EQ(LinkMessage({198, 18, 0, 9}, 0xA0, 0x0F, "hello"), Receive(launcher, &from));
    EXPECT_EQ(port, PortOf(from));  // from the game's own socket
    EXPECT_TRUE(proxy_.HasLine("[wsock32.dll] RELAYING TO A PLAYER BEHIND A ROUTER"));
    // One relay message holds at most 1472 bytes of a game's datagram (a full Ethernet UDP
    // payload).
    std::string most(1472, 'm'), more(1473, 'm');
    EXPECT_EQ(1472, game_.sendto(game, most.data(), 1472, 0, reinterpret_cast<sockaddr*>(&to),
                                 sizeof to));
    EXPECT_EQ(1484u, Receive(launcher, &from).size());
    EXPECT_EQ(
        -1, game_.sendto(game, more.data(), 1473, 0, reinterpret_cast<sockaddr*>(&to), sizeof to));
    EXPECT_EQ(WSAEMSGSIZE, game_.last_error());
    // Neighbours of the range go out as they are.
    sockaddr_in outside = Address("198.20.0.9", 4000);
    game_.sendto(game, "x", 1, 0, reinterpret_cast<sockaddr*>(&outside), sizeof outside);
    EXPECT_EQ("<nothing>", Receive(launcher, &from, 100));

    // IPX: node 00 00 C6 12 00 09 is that player too.
    SOCKET ipx = game_.socket(6, SOCK_DGRAM, 1000);
    opened_.push_back(ipx);
    Ipx player = IpxTo({0, 0, 198, 18, 0, 9}, 0x02, 0x03);
    EXPECT_EQ(3, game_.sendto(ipx, "ipx", 3, 0, reinterpret_cast<sockaddr*>(&player), 14));
    EXPECT_EQ(LinkMessage({198, 18, 0, 9}, 0x02, 0x03, "ipx"), Receive(launcher, &from));
}

TEST_F(ProxyIpxTest, BehindARouterGamesAreToldTheirRelayedAddress) {
    MIB_IPADDRROW network;
    if (!FirstNetwork(&network)) GTEST_SKIP() << "this machine has no network but loopback";
    // A launcher that answers the proxy's question with 198.18.0.5, as many times as asked.
    SOCKET launcher = Helper("127.0.0.1", 3668);
    int questions = 0;
    std::thread answering = AnswerRelayedAddress(launcher, Bytes({198, 18, 0, 5}), &questions);
    SOCKET ipx = game_.socket(6, SOCK_DGRAM, 1000);
    opened_.push_back(ipx);
    Ipx local = IpxTo({0, 0, 0, 0, 0, 0}, 0x02, 0x03);
    ASSERT_EQ(0, game_.bind(ipx, reinterpret_cast<sockaddr*>(&local), 14));
    Ipx name{};
    int n = 14;
    ASSERT_EQ(0, game_.getsockname(ipx, reinterpret_cast<sockaddr*>(&name), &n));
    EXPECT_EQ(Bytes({0, 0, 198, 18, 0, 5}), std::string(reinterpret_cast<char*>(name.nodenum), 6));
    // A UDP socket bound to the machine's own address reports the relayed one.
    SOCKET udp = game_.socket(AF_INET, SOCK_DGRAM, 0);
    opened_.push_back(udp);
    sockaddr_in own = Address("0.0.0.0", 0);
    own.sin_addr.s_addr = network.dwAddr;
    ASSERT_EQ(0, game_.bind(udp, reinterpret_cast<sockaddr*>(&own), sizeof own));
    sockaddr_in udp_name{};
    n = sizeof udp_name;
    ASSERT_EQ(0, game_.getsockname(udp, reinterpret_cast<sockaddr*>(&udp_name), &n));
    EXPECT_EQ(Bytes({198, 18, 0, 5}), std::string(reinterpret_cast<char*>(&udp_name.sin_addr), 4));
    answering.join();
    EXPECT_EQ(1, questions);  // an address once given is kept
}

TEST_F(ProxyIpxTest, AnyAddressOfAMemberReachesItTheWayTheLauncherSays) {
    // A launcher with a public member and a neighbour.
    SOCKET launcher = Helper("127.0.0.1", 3668);
    SOCKET neighbour = Helper("127.0.0.1", 0);
    sockaddr_in neighbour_address = BoundAddress(neighbour);
    std::string answer = PublicMemberAndNeighbour();
    u_short port;
    SOCKET game = GameUdp(&port);
    sockaddr_in to = Address("203.0.2.2", 4000);
    std::thread answering = AnswerOnce(launcher, answer);
    // The public member's real address: to the launcher, for its relayed address.
    proxy_.ForgetLines();
    EXPECT_EQ(5, game_.sendto(game, "hello", 5, 0, reinterpret_cast<sockaddr*>(&to), sizeof to));
    answering.join();
    sockaddr_in from{};
    EXPECT_EQ(LinkMessage({172, 20, 7, 2}, 0xA0, 0x0F, "hello"), Receive(launcher, &from));
    EXPECT_EQ(port, PortOf(from));
    EXPECT_TRUE(proxy_.HasLine("[wsock32.dll] RELAYING TO A PLAYER BEHIND A ROUTER"));
    // The neighbour's relayed address: straight to where it is, from the game's socket.
    sockaddr_in to_neighbour = Address("172.20.7.3", PortOf(neighbour_address));
    EXPECT_EQ(2, game_.sendto(game, "hi", 2, 0, reinterpret_cast<sockaddr*>(&to_neighbour),
                              sizeof to_neighbour));
    EXPECT_EQ("hi", Receive(neighbour, &from));
    EXPECT_EQ(port, PortOf(from));
    // IPX: the node of the member's real address is the member too.
    SOCKET ipx = game_.socket(6, SOCK_DGRAM, 1000);
    opened_.push_back(ipx);
    Ipx player = IpxTo({0, 0, 203, 0, 2, 2}, 0x02, 0x03);
    EXPECT_EQ(3, game_.sendto(ipx, "ipx", 3, 0, reinterpret_cast<sockaddr*>(&player), 14));
    EXPECT_EQ(LinkMessage({172, 20, 7, 2}, 0x02, 0x03, "ipx"), Receive(launcher, &from));
    // The machine's own name lists the relayed address first, and a game may bind to it.
    char host[256] = {};
    proxy_.Export<int(WSAAPI*)(char*, int)>("gethostname")(host, sizeof host);
    hostent* entry = proxy_.Export<hostent*(WSAAPI*)(const char*)>("gethostbyname")(host);
    ASSERT_NE(nullptr, entry);
    EXPECT_EQ(Bytes({172, 20, 7, 1}), std::string(entry->h_addr_list[0], 4));
    EXPECT_NE(nullptr, entry->h_addr_list[1]);  // and the machine's own after it
    EXPECT_EQ(Bytes({172, 20, 7, 1}), BindAndName("172.20.7.1"));
    // Another name is the platform's answer as it stands.
    hostent* other = proxy_.Export<hostent*(WSAAPI*)(const char*)>("gethostbyname")("localhost");
    ASSERT_NE(nullptr, other);
    EXPECT_EQ(Bytes({127, 0, 0, 1}), std::string(other->h_addr_list[0], 4));
}

TEST_F(ProxyIpxTest, AnswersComeFromTheAddressTheGameSentTo) {
    // A launcher with a public member and a neighbour.
    SOCKET launcher = Helper("127.0.0.1", 3668);
    SOCKET neighbour = Helper("127.0.0.1", 0);
    sockaddr_in neighbour_address = BoundAddress(neighbour);
    std::string answer = PublicMemberAndNeighbour();
    std::thread answering = AnswerOnce(launcher, answer);
    u_short port;
    SOCKET game = GameUdp(&port);
    sockaddr_in to_game = Address("127.0.0.1", port);
    auto deliver = [&](std::initializer_list<uint8_t> source, u_short source_port) {
        std::string m = LinkMessage(source, 0, 0, "answer");
        m[6] = char(source_port & 0xFF);
        m[7] = char(source_port >> 8);
        real_.sendto(launcher, m.data(), int(m.size()), 0, reinterpret_cast<sockaddr*>(&to_game),
                     sizeof to_game);
    };
    auto receive = [&](sockaddr_in* from) {
        char buffer[64];
        int length = sizeof *from;
        return game_.recvfrom(game, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(from),
                              &length);
    };
    // Before the game sent anything, the public member shows at its relayed address.
    deliver({172, 20, 7, 2}, 4000);
    sockaddr_in from{};
    ASSERT_EQ(6, receive(&from));
    EXPECT_EQ(Bytes({172, 20, 7, 2}), std::string(reinterpret_cast<char*>(&from.sin_addr), 4));
    // A client that connects to the real address the server advertised...
    sockaddr_in to = Address("203.0.2.2", 4000);
    ASSERT_EQ(5, game_.sendto(game, "hello", 5, 0, reinterpret_cast<sockaddr*>(&to), sizeof to));
    answering.join();
    skip_questions_ = true;
    EXPECT_EQ(LinkMessage({172, 20, 7, 2}, 0xA0, 0x0F, "hello"), Receive(launcher, &from));
    // ... gets the answers from that address, also from the port the server moved it to.
    deliver({172, 20, 7, 2}, 4000);
    ASSERT_EQ(6, receive(&from));
    EXPECT_EQ(Bytes({203, 0, 2, 2}), std::string(reinterpret_cast<char*>(&from.sin_addr), 4));
    EXPECT_EQ(4000, PortOf(from));
    deliver({172, 20, 7, 2}, 4001);
    ASSERT_EQ(6, receive(&from));
    EXPECT_EQ(Bytes({203, 0, 2, 2}), std::string(reinterpret_cast<char*>(&from.sin_addr), 4));
    EXPECT_EQ(4001, PortOf(from));
    // A member the game never sent to shows as it arrives.
    deliver({172, 20, 7, 9}, 4000);
    ASSERT_EQ(6, receive(&from));
    EXPECT_EQ(Bytes({172, 20, 7, 9}), std::string(reinterpret_cast<char*>(&from.sin_addr), 4));
    // The neighbour, known by the relayed address it advertised, answers straight from
    // where it is, and shows at that relayed address.
    sockaddr_in to_neighbour = Address("172.20.7.3", PortOf(neighbour_address));
    ASSERT_EQ(2, game_.sendto(game, "hi", 2, 0, reinterpret_cast<sockaddr*>(&to_neighbour),
                              sizeof to_neighbour));
    EXPECT_EQ("hi", Receive(neighbour, &from));
    real_.sendto(neighbour, "answer", 6, 0, reinterpret_cast<sockaddr*>(&to_game), sizeof to_game);
    ASSERT_EQ(6, receive(&from));
    EXPECT_EQ(Bytes({172, 20, 7, 3}), std::string(reinterpret_cast<char*>(&from.sin_addr), 4));
    EXPECT_EQ(PortOf(neighbour_address), PortOf(from));
    // IPX: a node of the member's real address, and the answer from that node.
    SOCKET ipx = game_.socket(6, SOCK_DGRAM, 1000);
    opened_.push_back(ipx);
    Ipx server = IpxTo({0, 0, 203, 0, 2, 2}, 0x02, 0x03);
    ASSERT_EQ(3, game_.sendto(ipx, "ipx", 3, 0, reinterpret_cast<sockaddr*>(&server), 14));
    EXPECT_EQ(LinkMessage({172, 20, 7, 2}, 0x02, 0x03, "ipx"), Receive(launcher, &from));
    sockaddr_in ipx_name{};
    int n = sizeof ipx_name;
    real_.getsockname(ipx, reinterpret_cast<sockaddr*>(&ipx_name), &n);
    sockaddr_in to_ipx = Address("127.0.0.1", PortOf(ipx_name));
    std::string m = LinkMessage({172, 20, 7, 2}, 0, 0, "node");
    m[6] = 0x02;
    m[7] = 0x03;
    real_.sendto(launcher, m.data(), int(m.size()), 0, reinterpret_cast<sockaddr*>(&to_ipx),
                 sizeof to_ipx);
    Ipx source{};
    int source_length = sizeof source;
    char buffer[64];
    ASSERT_EQ(4, game_.recvfrom(ipx, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(&source),
                                &source_length));
    EXPECT_EQ(Bytes({0, 0, 203, 0, 2, 2}), std::string(reinterpret_cast<char*>(source.nodenum), 6));
}

TEST_F(ProxyIpxTest, AMemberReachedThroughTheRelayIsOneAddressWhicheverWayItsDatagramsCome) {
    // The launcher's routes: a public member (relayed 172.20.7.4, real address this
    // machine's own) reached through the relay; its datagram comes straight all the same
    // (sent while the routes changed).
    MIB_IPADDRROW network;
    if (!FirstNetwork(&network)) GTEST_SKIP() << "this machine has no network but loopback";
    const std::string own(reinterpret_cast<const char*>(&network.dwAddr), 4);
    char dotted[16];
    std::snprintf(dotted, sizeof dotted, "%u.%u.%u.%u", uint8_t(own[0]), uint8_t(own[1]),
                  uint8_t(own[2]), uint8_t(own[3]));
    SOCKET launcher = Helper("127.0.0.1", 3668);
    SOCKET member = Helper(dotted, 0);
    sockaddr_in member_address = BoundAddress(member);
    std::string answer = LinkMessage({172, 20, 7, 1}, 0, 0, "") +
                         Bytes({172, 20, 7, 4, 172, 20, 7, 4, 1, 0, 0, 0}) + own +
                         Bytes({172, 20, 7, 4, 1, 0, 0, 0});
    std::thread answering = AnswerOnce(launcher, answer);
    char host[256] = {};
    proxy_.Export<int(WSAAPI*)(char*, int)>("gethostname")(host, sizeof host);
    proxy_.Export<hostent*(WSAAPI*)(const char*)>("gethostbyname")(host);
    answering.join();
    skip_questions_ = true;
    // The game on this machine's own address, waiting at most 2 s for each datagram.
    SOCKET game = game_.socket(AF_INET, SOCK_DGRAM, 0);
    opened_.push_back(game);
    sockaddr_in to_game = Address(dotted, 0);
    ASSERT_EQ(0, game_.bind(game, reinterpret_cast<sockaddr*>(&to_game), sizeof to_game));
    int n = sizeof to_game;
    real_.getsockname(game, reinterpret_cast<sockaddr*>(&to_game), &n);
    DWORD wait_ms = 2000;
    game_.setsockopt(game, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&wait_ms),
                     sizeof wait_ms);
    auto receive = [&](sockaddr_in* from) {
        char buffer[64];
        int length = sizeof *from;
        return game_.recvfrom(game, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(from),
                              &length);
    };
    // Before the game sent anything to it: from its relayed address, at its own port.
    real_.sendto(member, "first", 5, 0, reinterpret_cast<sockaddr*>(&to_game), sizeof to_game);
    sockaddr_in from{};
    ASSERT_EQ(5, receive(&from));
    EXPECT_EQ(Bytes({172, 20, 7, 4}), std::string(reinterpret_cast<char*>(&from.sin_addr), 4));
    EXPECT_EQ(PortOf(member_address), PortOf(from));
    // The game sends to its real address (as the member advertised it), through the
    // launcher: the answers come from there, whichever way.
    ASSERT_EQ(2, game_.sendto(game, "hi", 2, 0, reinterpret_cast<sockaddr*>(&member_address),
                              sizeof member_address));
    std::string relayed = LinkMessage({172, 20, 7, 4}, 0, 0, "hi");
    relayed[4] = char(PortOf(member_address) & 0xFF);
    relayed[5] = char(PortOf(member_address) >> 8);
    EXPECT_EQ(relayed, Receive(launcher, &from));
    real_.sendto(member, "again", 5, 0, reinterpret_cast<sockaddr*>(&to_game), sizeof to_game);
    ASSERT_EQ(5, receive(&from));
    EXPECT_EQ(own, std::string(reinterpret_cast<char*>(&from.sin_addr), 4));
}

TEST_F(ProxyIpxTest, APublicPlayersGameListsItsSessionAddressAfterItsOwn) {
    // The launcher names the session address 172.20.7.1 with the flag: the machine's own
    // address reaches this player too.
    SOCKET launcher = Helper("127.0.0.1", 3668);
    std::string answer = LinkMessage({172, 20, 7, 1}, 0, 0, "");
    answer[6] = 1;
    std::thread answering = AnswerOnce(launcher, answer);
    char host[256] = {};
    proxy_.Export<int(WSAAPI*)(char*, int)>("gethostname")(host, sizeof host);
    hostent* entry = proxy_.Export<hostent*(WSAAPI*)(const char*)>("gethostbyname")(host);
    answering.join();
    ASSERT_NE(nullptr, entry);
    std::vector<std::string> listed;
    for (char** a = entry->h_addr_list; *a; ++a) listed.emplace_back(*a, 4);
    ASSERT_GE(listed.size(), 2u);
    EXPECT_NE(Bytes({172, 20, 7, 1}), listed.front());  // the machine's own come first
    EXPECT_EQ(Bytes({172, 20, 7, 1}), listed.back());
    // The game may bind to it, and is told it back.
    EXPECT_EQ(Bytes({172, 20, 7, 1}), BindAndName("172.20.7.1"));
    // An IPX socket's node stays the machine's own address: others reach it there.
    SOCKET ipx = game_.socket(6, SOCK_DGRAM, 1000);
    opened_.push_back(ipx);
    Ipx any{};
    ASSERT_EQ(0, game_.bind(ipx, reinterpret_cast<sockaddr*>(&any), 14));
    Ipx ipx_name{};
    int n = sizeof ipx_name;
    ASSERT_EQ(0, game_.getsockname(ipx, reinterpret_cast<sockaddr*>(&ipx_name), &n));
    std::string node(reinterpret_cast<char*>(ipx_name.nodenum) + 2, 4);
    EXPECT_NE(Bytes({172, 20, 7, 1}), node);
    EXPECT_NE(listed.end(), std::find(listed.begin(), listed.end(), node));
}

}  // namespace
}  // namespace ozlan::test
