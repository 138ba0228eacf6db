// The proxy inside a process (TakeOverGame) and its Winsock 2 forms, reached as a game
// reaches them: through ws2_32.dll's functions, looked up after the takeover.
// Overlapped receives that complete with a relayed broadcast (an event, a completion
// routine, at once), a receive cancelled by closesocket, WSASocket and WSASendTo for
// IPX, and getaddrinfo of the machine's own name behind a router.
#include <ws2tcpip.h>

#include "tests/wsock32/proxy_fixture.h"

namespace ozlan::test {
namespace {

using TakeOverFn = DWORD(WINAPI*)(LPVOID);
using WSASocketAFn = SOCKET(WSAAPI*)(int, int, int, LPWSAPROTOCOL_INFOA, GROUP, DWORD);
using WSARecvFromFn = int(WSAAPI*)(SOCKET, LPWSABUF, DWORD, LPDWORD, LPDWORD, sockaddr*, LPINT,
                                   LPWSAOVERLAPPED, LPWSAOVERLAPPED_COMPLETION_ROUTINE);
using WSASendToFn = int(WSAAPI*)(SOCKET, LPWSABUF, DWORD, LPDWORD, DWORD, const sockaddr*, int,
                                 LPWSAOVERLAPPED, LPWSAOVERLAPPED_COMPLETION_ROUTINE);
using ResultFn = BOOL(WSAAPI*)(SOCKET, LPWSAOVERLAPPED, LPDWORD, BOOL, LPDWORD);
using GetAddrInfoFn = int(WSAAPI*)(const char*, const char*, const ADDRINFOA*, ADDRINFOA**);
using FreeAddrInfoFn = void(WSAAPI*)(ADDRINFOA*);

// Looked up afresh each time: GetProcAddress's own slot is taken over too.
template <class F>
[[gnu::noinline]] F Lookup(HMODULE module, const char* name) {
    return reinterpret_cast<F>(reinterpret_cast<void*>(GetProcAddress(module, name)));
}

struct RoutineCall {
    int calls = 0;
    DWORD error = 99, count = 0, thread = 0;
    LPWSAOVERLAPPED overlapped = nullptr;
};
RoutineCall g_routine;
void CALLBACK Routine(DWORD error, DWORD count, LPWSAOVERLAPPED overlapped, DWORD) {
    ++g_routine.calls;
    g_routine.error = error;
    g_routine.count = count;
    g_routine.overlapped = overlapped;
    g_routine.thread = GetCurrentThreadId();
}

class ProxyWinsock2Test : public ProxyIpxTest {
  protected:
    void SetUp() override {
        ProxyIpxTest::SetUp();
        ws2_ = LoadLibraryA("ws2_32.dll");
        ASSERT_NE(nullptr, ws2_);
        real_recvfrom_ = Lookup<WSARecvFromFn>(ws2_, "WSARecvFrom");
        real_getaddrinfo_ = Lookup<GetAddrInfoFn>(ws2_, "getaddrinfo");
        real_freeaddrinfo_ = Lookup<FreeAddrInfoFn>(ws2_, "freeaddrinfo");
        ASSERT_GT(proxy_.Export<TakeOverFn>("TakeOverGame")(nullptr), 0u);
        bool said = false;
        for (const std::string& line : proxy_.Lines()) {
            said = said || line.rfind("[wsock32.dll] Inside the game's process: ", 0) == 0;
        }
        EXPECT_TRUE(said);
        wsa_recvfrom_ = Lookup<WSARecvFromFn>(ws2_, "WSARecvFrom");
        ASSERT_NE(real_recvfrom_, wsa_recvfrom_);  // the proxy's now
        result_ = Lookup<ResultFn>(ws2_, "WSAGetOverlappedResult");
    }
    // The launcher hands the game a relayed broadcast from 10.0.0.5:900.
    void Deliver(SOCKET launcher, u_short game_port, const std::string& payload) {
        sockaddr_in to_game = Address("127.0.0.1", game_port);
        std::string m = LinkMessage({10, 0, 0, 5}, 0x84, 0x03, payload);
        real_.sendto(launcher, m.data(), int(m.size()), 0, reinterpret_cast<sockaddr*>(&to_game),
                     sizeof to_game);
    }
    HMODULE ws2_ = nullptr;
    WSARecvFromFn real_recvfrom_ = nullptr;
    GetAddrInfoFn real_getaddrinfo_ = nullptr;
    FreeAddrInfoFn real_freeaddrinfo_ = nullptr;
    WSARecvFromFn wsa_recvfrom_ = nullptr;
    ResultFn result_ = nullptr;
};

TEST_F(ProxyWinsock2Test, OverlappedReceivesCompleteWithTheRelayedBroadcastConverted) {
    SOCKET launcher = Helper("127.0.0.1", 3668);
    u_short port;
    SOCKET game = GameUdp(&port);
    char data[256];
    WSABUF buffer{sizeof data, data};
    sockaddr_in from{};
    int from_length = sizeof from;
    DWORD got = 0, flags = 0;
    WSAOVERLAPPED overlapped{};
    overlapped.hEvent = CreateEventA(nullptr, TRUE, TRUE, nullptr);  // set: must be reset
    // Nothing waits yet: the receive waits, the event is reset, the status says pending.
    ASSERT_EQ(SOCKET_ERROR,
              wsa_recvfrom_(game, &buffer, 1, &got, &flags, reinterpret_cast<sockaddr*>(&from),
                            &from_length, &overlapped, nullptr));
    EXPECT_EQ(WSA_IO_PENDING, real_.last_error());
    EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(overlapped.hEvent, 0));
    DWORD count = 0;
    EXPECT_FALSE(result_(game, &overlapped, &count, FALSE, &flags));
    EXPECT_EQ(WSA_IO_INCOMPLETE, real_.last_error());

    Deliver(launcher, port, std::string(100, 'b'));
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(overlapped.hEvent, 3000));
    ASSERT_TRUE(result_(game, &overlapped, &count, FALSE, &flags));
    EXPECT_EQ(100u, count);
    EXPECT_EQ(std::string(100, 'b'), std::string(data, 100));
    EXPECT_EQ(Bytes({10, 0, 0, 5}), std::string(reinterpret_cast<char*>(&from.sin_addr), 4));
    EXPECT_EQ(900, PortOf(from));

    // A datagram that waits already: done at once, and told through the event too.
    Deliver(launcher, port, "quick");
    Sleep(100);
    ResetEvent(overlapped.hEvent);
    from_length = sizeof from;
    ASSERT_EQ(0, wsa_recvfrom_(game, &buffer, 1, &got, &flags, reinterpret_cast<sockaddr*>(&from),
                               &from_length, &overlapped, nullptr));
    EXPECT_EQ(5u, got);
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(overlapped.hEvent, 0));
    ASSERT_TRUE(result_(game, &overlapped, &count, TRUE, &flags));
    EXPECT_EQ(5u, count);
    EXPECT_EQ(900, PortOf(from));
    CloseHandle(overlapped.hEvent);
}

TEST_F(ProxyWinsock2Test, ACompletionRoutineRunsOnTheCallersThreadWhenItWaitsAlertably) {
    SOCKET launcher = Helper("127.0.0.1", 3668);
    u_short port;
    SOCKET game = GameUdp(&port);
    char data[64];
    WSABUF buffer{sizeof data, data};
    sockaddr_in from{};
    int from_length = sizeof from;
    DWORD got = 0, flags = 0;
    WSAOVERLAPPED overlapped{};
    overlapped.hEvent = reinterpret_cast<HANDLE>(intptr_t(0x1234));  // the game's own use
    g_routine = RoutineCall{};
    ASSERT_EQ(SOCKET_ERROR,
              wsa_recvfrom_(game, &buffer, 1, &got, &flags, reinterpret_cast<sockaddr*>(&from),
                            &from_length, &overlapped, Routine));
    EXPECT_EQ(WSA_IO_PENDING, real_.last_error());
    Deliver(launcher, port, std::string(40, 'r'));
    Sleep(300);
    EXPECT_EQ(0, g_routine.calls);  // not before the thread waits alertably
    for (int i = 0; i < 30 && g_routine.calls == 0; ++i) SleepEx(100, TRUE);
    ASSERT_EQ(1, g_routine.calls);
    EXPECT_EQ(0u, g_routine.error);
    EXPECT_EQ(40u, g_routine.count);
    EXPECT_EQ(&overlapped, g_routine.overlapped);
    EXPECT_EQ(GetCurrentThreadId(), g_routine.thread);
    EXPECT_EQ(std::string(40, 'r'), std::string(data, 40));
    EXPECT_EQ(900, PortOf(from));
    EXPECT_EQ(reinterpret_cast<HANDLE>(intptr_t(0x1234)), overlapped.hEvent);
}

TEST_F(ProxyWinsock2Test, ClosingTheSocketAbortsItsWaitingReceive) {
    u_short port;
    SOCKET game = GameUdp(&port);
    char data[64];
    WSABUF buffer{sizeof data, data};
    DWORD got = 0, flags = 0;
    WSAOVERLAPPED overlapped{};
    overlapped.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    ASSERT_EQ(SOCKET_ERROR, wsa_recvfrom_(game, &buffer, 1, &got, &flags, nullptr, nullptr,
                                          &overlapped, nullptr));
    auto close = Lookup<CloseFn>(ws2_, "closesocket");
    EXPECT_EQ(0, close(game));
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(overlapped.hEvent, 1000));
    // The socket is gone, so its status is read from the OVERLAPPED: cancelled, nothing read.
    EXPECT_EQ(ULONG_PTR(0xC0000120), overlapped.Internal);
    EXPECT_EQ(ULONG_PTR(0), overlapped.InternalHigh);
    CloseHandle(overlapped.hEvent);
}

TEST_F(ProxyWinsock2Test, WsaSocketMakesIpxSocketsAndWsaSendToBroadcastsThroughTheLauncher) {
    SOCKET launcher = Helper("127.0.0.1", 3668);
    auto wsa_socket = Lookup<WSASocketAFn>(ws2_, "WSASocketA");
    auto wsa_sendto = Lookup<WSASendToFn>(ws2_, "WSASendTo");
    SOCKET ipx = wsa_socket(6, SOCK_DGRAM, 1000, nullptr, 0, WSA_FLAG_OVERLAPPED);
    ASSERT_NE(INVALID_SOCKET, ipx);
    opened_.push_back(ipx);
    Ipx local = IpxTo({0, 0, 0, 0, 0, 0}, 0x4E, 0x20);
    ASSERT_EQ(0, game_.bind(ipx, reinterpret_cast<sockaddr*>(&local), 14));
    EXPECT_EQ(0x204E, PortOf(BoundAddress(ipx)));  // a UDP socket on the mapped port
    Ipx everyone = IpxTo({0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}, 0x4E, 0x20);
    char hello[] = "hello";
    char world[] = ", world";
    WSABUF parts[2] = {{5, hello}, {7, world}};
    DWORD sent = 0;
    WSAOVERLAPPED overlapped{};
    overlapped.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    ASSERT_EQ(0, wsa_sendto(ipx, parts, 2, &sent, 0, reinterpret_cast<sockaddr*>(&everyone), 14,
                            &overlapped, nullptr));
    EXPECT_EQ(12u, sent);
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(overlapped.hEvent, 0));
    DWORD count = 0, flags = 0;
    EXPECT_TRUE(result_(ipx, &overlapped, &count, FALSE, &flags));
    EXPECT_EQ(12u, count);
    sockaddr_in from{};
    EXPECT_EQ(LinkMessage({127, 0, 0, 1}, 0x4E, 0x20, "hello, world"), Receive(launcher, &from));
    CloseHandle(overlapped.hEvent);
}

TEST_F(ProxyWinsock2Test, BehindARouterTheMachinesNameResolvesToTheRelayedAddressFirst) {
    MIB_IPADDRROW network;
    if (!FirstNetwork(&network)) GTEST_SKIP() << "this machine has no network but loopback";
    SOCKET launcher = Helper("127.0.0.1", 3668);
    int questions = 0;
    std::thread answering = AnswerRelayedAddress(launcher, Bytes({198, 18, 0, 5}), &questions);
    char host[256] = {};
    ASSERT_EQ(0, Lookup<int(WSAAPI*)(char*, int)>(ws2_, "gethostname")(host, sizeof host));
    auto get = Lookup<GetAddrInfoFn>(ws2_, "getaddrinfo");
    auto free_list = Lookup<FreeAddrInfoFn>(ws2_, "freeaddrinfo");
    ADDRINFOA hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_DGRAM;
    auto addresses = [&](GetAddrInfoFn lookup, FreeAddrInfoFn free_list) {
        std::vector<std::string> found;
        ADDRINFOA* list = nullptr;
        EXPECT_EQ(0, lookup(host, "4000", &hints, &list));
        for (ADDRINFOA* a = list; a; a = a->ai_next) {
            auto* in = reinterpret_cast<sockaddr_in*>(a->ai_addr);
            found.emplace_back(reinterpret_cast<char*>(&in->sin_addr), 4);
            EXPECT_EQ(4000, PortOf(*in));
            EXPECT_EQ(SOCK_DGRAM, a->ai_socktype);
        }
        free_list(list);
        return found;
    };
    std::vector<std::string> expected{Bytes({198, 18, 0, 5})};
    for (const std::string& a : addresses(real_getaddrinfo_, real_freeaddrinfo_)) {
        expected.push_back(a);
    }
    EXPECT_EQ(expected, addresses(get, free_list));
    ADDRINFOA* list = nullptr;
    // Another name: the platform's own list, freed by the platform.
    ASSERT_EQ(0, get("127.0.0.1", nullptr, &hints, &list));
    free_list(list);
    answering.join();
}

}  // namespace
}  // namespace ozlan::test
