// The proxy's test fixture: the proxy loaded as a game loads it, the real Winsock beside
// it for the test's own sockets, and helpers that build launcher messages and IPX
// addresses. Real sockets on loopback.
#pragma once

#include "tests/wsock32/proxy_harness.h"

#include <iphlpapi.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace ozlan::test {

using WSAStartupFn = int(WSAAPI*)(WORD, LPWSADATA);
using SocketFn = SOCKET(WSAAPI*)(int, int, int);
using BindFn = int(WSAAPI*)(SOCKET, const sockaddr*, int);
using NameFn = int(WSAAPI*)(SOCKET, sockaddr*, int*);
using SendtoFn = int(WSAAPI*)(SOCKET, const char*, int, int, const sockaddr*, int);
using RecvfromFn = int(WSAAPI*)(SOCKET, char*, int, int, sockaddr*, int*);
using CloseFn = int(WSAAPI*)(SOCKET);
using LastErrorFn = int(WSAAPI*)();
using SetOptFn = int(WSAAPI*)(SOCKET, int, int, const char*, int);
using GetOptFn = int(WSAAPI*)(SOCKET, int, int, char*, int*);
using ConnectFn = int(WSAAPI*)(SOCKET, const sockaddr*, int);
using IoctlFn = int(WSAAPI*)(SOCKET, long, u_long*);

// One set of Winsock functions: the proxy's exports or the real library's.
struct Winsock {
    explicit Winsock(HMODULE m)
        : socket(ExportOf<SocketFn>(m, "socket")),
          bind(ExportOf<BindFn>(m, "bind")),
          getsockname(ExportOf<NameFn>(m, "getsockname")),
          sendto(ExportOf<SendtoFn>(m, "sendto")),
          recvfrom(ExportOf<RecvfromFn>(m, "recvfrom")),
          closesocket(ExportOf<CloseFn>(m, "closesocket")),
          last_error(ExportOf<LastErrorFn>(m, "WSAGetLastError")),
          setsockopt(ExportOf<SetOptFn>(m, "setsockopt")),
          getsockopt(ExportOf<GetOptFn>(m, "getsockopt")),
          connect(ExportOf<ConnectFn>(m, "connect")),
          ioctlsocket(ExportOf<IoctlFn>(m, "ioctlsocket")) {}
    SocketFn socket;
    BindFn bind;
    NameFn getsockname;
    SendtoFn sendto;
    RecvfromFn recvfrom;
    CloseFn closesocket;
    LastErrorFn last_error;
    SetOptFn setsockopt;
    GetOptFn getsockopt;
    ConnectFn connect;
    IoctlFn ioctlsocket;
};

inline sockaddr_in Address(const char* ip, u_short port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    const uint8_t* bytes = nullptr;
    uint8_t parsed[4];
    unsigned w, x, y, z;
    std::sscanf(ip, "%u.%u.%u.%u", &w, &x, &y, &z);
    parsed[0] = uint8_t(w), parsed[1] = uint8_t(x), parsed[2] = uint8_t(y), parsed[3] = uint8_t(z);
    bytes = parsed;
    std::memcpy(&a.sin_addr, bytes, 4);
    a.sin_port = u_short((port >> 8) | (port << 8));
    return a;
}
inline u_short PortOf(const sockaddr_in& a) {
    return u_short((a.sin_port >> 8) | (a.sin_port << 8));
}

struct Ipx {
    uint16_t family = 6;
    uint8_t netnum[4] = {};
    uint8_t nodenum[6] = {};
    uint8_t socket[2] = {};
};
static_assert(sizeof(Ipx) == 14);

inline Ipx IpxTo(std::initializer_list<uint8_t> node, uint8_t s0, uint8_t s1) {
    Ipx a;
    std::copy(node.begin(), node.end(), a.nodenum);
    a.socket[0] = s0;
    a.socket[1] = s1;
    return a;
}

class ProxyIpxTest : public ::testing::Test {
  protected:
    void SetUp() override {
        real_module_ = LoadLibraryA(SystemWinsockPath().c_str());
        ASSERT_NE(nullptr, real_module_);
        WSADATA data;
        ASSERT_EQ(0, proxy_.Export<WSAStartupFn>("WSAStartup")(0x0101, &data));
        ExportOf<WSAStartupFn>(real_module_, "WSAStartup")(0x0101, &data);
        proxy_.ForgetLines();
    }
    void TearDown() override {
        for (SOCKET s : opened_) real_.closesocket(s);
        FreeLibrary(real_module_);
    }
    static std::string SystemWinsockPath() {
        char system[MAX_PATH];
        GetSystemDirectoryA(system, MAX_PATH);
        return std::string(system) + "\\wsock32.dll";
    }
    // A real UDP socket of the test's, bound to ip:port.
    SOCKET Helper(const char* ip, u_short port) {
        SOCKET s = real_.socket(AF_INET, SOCK_DGRAM, 0);
        sockaddr_in a = Address(ip, port);
        EXPECT_EQ(0, real_.bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a)) << port;
        opened_.push_back(s);
        return s;
    }
    // A game socket made through the proxy, bound to 127.0.0.1 on a free port.
    SOCKET GameUdp(u_short* port) {
        SOCKET s = game_.socket(AF_INET, SOCK_DGRAM, 0);
        sockaddr_in a = Address("127.0.0.1", 0);
        EXPECT_EQ(0, game_.bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a));
        sockaddr_in bound{};
        int n = sizeof bound;
        real_.getsockname(s, reinterpret_cast<sockaddr*>(&bound), &n);
        *port = PortOf(bound);
        opened_.push_back(s);
        return s;
    }
    // The next datagram on a helper socket, with its source.
    std::string Receive(SOCKET s, sockaddr_in* from, int timeout_ms = 2000) {
        // A game's sendto asks the launcher for its routes first; tests that play the
        // launcher without answering see the question only where they look for it.
        for (;;) {
            std::string got = ReceiveAny(s, from, timeout_ms);
            if (!skip_questions_ || got != std::string("\xF9\xF9\xF9\xF9\0\0\0\0\0\0\0\0", 12)) {
                return got;
            }
        }
    }
    // The address a socket is bound to, as the real Winsock tells it.
    sockaddr_in BoundAddress(SOCKET s) {
        sockaddr_in address{};
        int n = sizeof address;
        real_.getsockname(s, reinterpret_cast<sockaddr*>(&address), &n);
        return address;
    }
    // Binds a game UDP socket to `ip` through the proxy: the address the game is told
    // back (four bytes), or "<refused>".
    std::string BindAndName(const char* ip) {
        SOCKET s = game_.socket(AF_INET, SOCK_DGRAM, 0);
        opened_.push_back(s);
        sockaddr_in address = Address(ip, 0);
        if (game_.bind(s, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
            return "<refused>";
        }
        sockaddr_in name{};
        int n = sizeof name;
        if (game_.getsockname(s, reinterpret_cast<sockaddr*>(&name), &n) != 0) return "<refused>";
        return std::string(reinterpret_cast<char*>(&name.sin_addr), 4);
    }
    // Plays the launcher for the proxy's first question: answers it with `answer` (the
    // relayed address, the flags and the routes); join the thread once it was asked.
    std::thread AnswerOnce(SOCKET launcher, std::string answer) {
        skip_questions_ = false;
        return std::thread([this, launcher, answer] {
            sockaddr_in from{};
            if (Receive(launcher, &from) != std::string(kQuestion, 12)) return;
            real_.sendto(launcher, answer.data(), int(answer.size()), 0,
                         reinterpret_cast<sockaddr*>(&from), sizeof from);
        });
    }
    // Plays a launcher that answers every question of the proxy with the relayed address
    // `relayed`, until none comes for 1.5 s; counts them in *questions.
    std::thread AnswerRelayedAddress(SOCKET launcher, std::string relayed, int* questions) {
        skip_questions_ = false;
        return std::thread([this, launcher, relayed, questions] {
            for (;;) {
                sockaddr_in from{};
                std::string q = Receive(launcher, &from, 1500);
                if (q == "<nothing>") return;
                if (q != std::string(kQuestion, 12)) continue;
                ++*questions;
                std::string a = std::string("\xF9\xF9\xF9\xF9", 4) + std::string(4, '\0') + relayed;
                real_.sendto(launcher, a.data(), int(a.size()), 0,
                             reinterpret_cast<sockaddr*>(&from), sizeof from);
            }
        });
    }
    static constexpr char kQuestion[] = "\xF9\xF9\xF9\xF9\0\0\0\0\0\0\0\0";

    bool skip_questions_ = true;
    std::string ReceiveAny(SOCKET s, sockaddr_in* from, int timeout_ms) {
        fd_set set;
        FD_ZERO(&set);
        FD_SET(s, &set);
        timeval wait{timeout_ms / 1000, (timeout_ms % 1000) * 1000};
        auto select = ExportOf<int(WSAAPI*)(int, fd_set*, fd_set*, fd_set*, const timeval*)>(
            real_module_, "select");
        if (select(0, &set, nullptr, nullptr, &wait) != 1) return "<nothing>";
        char buffer[4096];
        int n = sizeof *from;
        int got =
            real_.recvfrom(s, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(from), &n);
        return got < 0 ? "<error>" : std::string(buffer, size_t(got));
    }

    // This machine's name's addresses that are neither loopback nor 0, four bytes each.
    std::vector<std::string> HostAddresses() {
        char host[256] = {};
        ExportOf<int(WSAAPI*)(char*, int)>(real_module_, "gethostname")(host, sizeof host);
        auto lookup = ExportOf<hostent*(WSAAPI*)(const char*)>(real_module_, "gethostbyname");
        std::vector<std::string> found;
        if (hostent* entry = lookup(host)) {
            for (char** a = entry->h_addr_list; *a; ++a) {
                if (uint8_t((*a)[0]) != 127 && uint8_t((*a)[0]) != 0) found.emplace_back(*a, 4);
            }
        }
        return found;
    }

    LoadedProxy proxy_;
    HMODULE real_module_ = nullptr;
    Winsock game_{proxy_.module()};
    Winsock real_{LoadLibraryA(SystemWinsockPath().c_str())};
    std::vector<SOCKET> opened_;
};

inline std::string Bytes(std::initializer_list<uint8_t> b) {
    return std::string(b.begin(), b.end());
}

inline std::string LinkMessage(std::initializer_list<uint8_t> address, uint8_t p0, uint8_t p1,
                               const std::string& payload) {
    std::string m = Bytes({0xF9, 0xF9, 0xF9, 0xF9, p0, p1, 0, 0});
    m += std::string(address.begin(), address.end());
    return m + payload;
}

// The first network of this machine that is not loopback, as its interface table has it.
inline bool FirstNetwork(MIB_IPADDRROW* out) {
    unsigned char storage[16 * 1024];
    auto* table = reinterpret_cast<MIB_IPADDRTABLE*>(storage);
    ULONG size = sizeof storage;
    if (GetIpAddrTable(table, &size, FALSE) != NO_ERROR) return false;
    for (DWORD i = 0; i < table->dwNumEntries; ++i) {
        const MIB_IPADDRROW& row = table->table[i];
        if ((row.dwAddr & 0xFF) == 127 || row.dwMask == 0 || row.dwMask == 0xFFFFFFFF) continue;
        *out = row;
        return true;
    }
    return false;
}

}  // namespace ozlan::test
