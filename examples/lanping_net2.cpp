// lanping's Winsock 2 calls, the way games of that kind make them: one overlapped
// receive always waiting on the game's socket (an event in its OVERLAPPED, or a
// completion routine with --completion-routines), network events for the sockets of
// moved clients, the broadcast address from the interface list, addresses by getaddrinfo.
#include <winsock2.h>
#include <windows.h>
#include <ws2tcpip.h>

#include <cstring>
#include <map>

#include "examples/lanping_net.h"

namespace {

constexpr int kRoom = 65536;

// The receive that waits on the game's socket.
struct Posted {
    WSAOVERLAPPED overlapped{};
    WSABUF part{};
    char buffer[kRoom];
    sockaddr_storage from{};
    int from_length = 0;
    DWORD flags = 0;
    bool waiting = false;
    bool done = false;  // completion routines: the routine has run
    DWORD error = 0;
    DWORD count = 0;
};

struct NetState {
    bool routines = false;
    std::map<SOCKET, Posted*> posted;
    std::map<SOCKET, WSAEVENT> selected;  // WSAEventSelect, per client socket
};

NetState& State() {
    static NetState state;
    return state;
}

void CALLBACK Completed(DWORD error, DWORD count, LPWSAOVERLAPPED overlapped, DWORD) {
    // With a routine, the event field is the game's own: it points at the receive.
    auto* p = static_cast<Posted*>(overlapped->hEvent);
    p->error = error;
    p->count = count;
    p->done = true;
}

// Keeps one receive waiting on `s`; false on an error other than "it waits".
bool Post(SOCKET s, Posted* p) {
    if (p->waiting) return true;
    p->part = WSABUF{ULONG(kRoom), p->buffer};
    p->from_length = sizeof p->from;
    p->flags = 0;
    p->done = false;
    std::memset(&p->overlapped, 0, sizeof p->overlapped);
    NetState& st = State();
    if (st.routines) {
        p->overlapped.hEvent = p;
    } else {
        static std::map<Posted*, WSAEVENT> events;
        if (!events.count(p)) events[p] = WSACreateEvent();
        p->overlapped.hEvent = events[p];
    }
    DWORD got = 0;
    int result = WSARecvFrom(s, &p->part, 1, &got, &p->flags, reinterpret_cast<sockaddr*>(&p->from),
                             &p->from_length, &p->overlapped, st.routines ? Completed : nullptr);
    if (result != 0 && WSAGetLastError() != WSA_IO_PENDING) return false;
    p->waiting = true;  // completed at once or not: it reports as it completes
    return true;
}

// Hands over what the receive got and posts the next one.
int Take(SOCKET s, Posted* p, DWORD count, char* buffer, int room, sockaddr* from,
         int* from_length) {
    p->waiting = false;
    int n = int(count) < room ? int(count) : room;
    std::memcpy(buffer, p->buffer, size_t(n));
    int length = p->from_length < *from_length ? p->from_length : *from_length;
    std::memcpy(from, &p->from, size_t(length));
    *from_length = length;
    Post(s, p);
    return n;
}

}  // namespace

const char* NetKind() {
    return "Winsock 2";
}

bool NetStart(bool completion_routines) {
    WSADATA data;
    State().routines = completion_routines;
    return WSAStartup(0x0202, &data) == 0;
}

SOCKET NetSocket(int family, int type, int protocol) {
    return WSASocketA(family, type, protocol, nullptr, 0, WSA_FLAG_OVERLAPPED);
}

int NetSendTo(SOCKET s, const char* data, int length, const sockaddr* to, int to_length) {
    WSABUF part{ULONG(length), const_cast<char*>(data)};
    DWORD sent = 0;
    if (WSASendTo(s, &part, 1, &sent, 0, to, to_length, nullptr, nullptr) != 0) return -1;
    return int(sent);
}

int NetReceive(const std::vector<SOCKET>& sockets, int timeout_ms, char* buffer, int room,
               sockaddr* from, int* from_length, SOCKET* ready) {
    NetState& st = State();
    SOCKET game = sockets[0];
    Posted*& p = st.posted[game];
    if (!p) p = new Posted;
    if (!Post(game, p)) return -1;
    // The clients' sockets tell of datagrams by their events.
    std::vector<WSAEVENT> events;
    std::vector<SOCKET> owners;
    for (size_t i = 1; i < sockets.size(); ++i) {
        WSAEVENT& e = st.selected[sockets[i]];
        if (!e) {
            e = WSACreateEvent();
            WSAEventSelect(sockets[i], e, FD_READ);
        }
        events.push_back(e);
        owners.push_back(sockets[i]);
    }
    if (!st.routines) {
        events.push_back(p->overlapped.hEvent);
        owners.push_back(game);
    }
    DWORD deadline = GetTickCount() + DWORD(timeout_ms);
    for (;;) {
        if (st.routines && p->done) {
            *ready = game;
            if (p->error != 0) {
                p->waiting = false;
                WSASetLastError(int(p->error));
                return -1;
            }
            return Take(game, p, p->count, buffer, room, from, from_length);
        }
        int left = int(deadline - GetTickCount());
        if (left < 0) left = 0;
        DWORD woke;
        if (events.empty()) {
            woke = SleepEx(DWORD(left), TRUE) == WAIT_IO_COMPLETION ? WSA_WAIT_IO_COMPLETION
                                                                   : WSA_WAIT_TIMEOUT;
        } else {
            woke = WSAWaitForMultipleEvents(DWORD(events.size()), events.data(), FALSE,
                                            DWORD(left), st.routines);
        }
        if (woke == WSA_WAIT_IO_COMPLETION) continue;
        if (woke == WSA_WAIT_TIMEOUT || woke == WSA_WAIT_FAILED) return 0;
        size_t index = woke - WSA_WAIT_EVENT_0;
        if (index >= owners.size()) return 0;
        SOCKET s = owners[index];
        *ready = s;
        if (s == game && !st.routines) {
            DWORD count = 0, flags = 0;
            BOOL ok = WSAGetOverlappedResult(game, &p->overlapped, &count, FALSE, &flags);
            WSAResetEvent(p->overlapped.hEvent);
            if (!ok) {
                p->waiting = false;
                return -1;
            }
            return Take(game, p, count, buffer, room, from, from_length);
        }
        WSANETWORKEVENTS happened{};
        WSAEnumNetworkEvents(s, events[index], &happened);
        if (!(happened.lNetworkEvents & FD_READ)) continue;
        WSABUF part{ULONG(room), buffer};
        DWORD got = 0, flags = 0;
        if (WSARecvFrom(s, &part, 1, &got, &flags, from, from_length, nullptr, nullptr) != 0) {
            if (WSAGetLastError() == WSAEWOULDBLOCK) continue;
            return -1;
        }
        return int(got);
    }
}

namespace {

bool Lookup(const char* name, std::vector<uint32_t>* out) {
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_DGRAM;
    addrinfo* list = nullptr;
    if (getaddrinfo(name, nullptr, &hints, &list) != 0) return false;
    for (addrinfo* a = list; a; a = a->ai_next) {
        if (a->ai_family == AF_INET && a->ai_addr) {
            out->push_back(reinterpret_cast<sockaddr_in*>(a->ai_addr)->sin_addr.s_addr);
        }
    }
    freeaddrinfo(list);
    return !out->empty();
}

}  // namespace

bool NetOwnAddresses(std::vector<uint32_t>* out) {
    char name[256] = {};
    return gethostname(name, sizeof name) == 0 && Lookup(name, out);
}

bool NetResolve(const char* name, uint32_t* ip) {
    std::vector<uint32_t> addresses;
    if (!Lookup(name, &addresses)) return false;
    *ip = addresses[0];
    return true;
}

bool NetSubnetBroadcast(in_addr* out) {
    SOCKET s = WSASocketA(AF_INET, SOCK_DGRAM, 0, nullptr, 0, 0);
    if (s == INVALID_SOCKET) return false;
    INTERFACE_INFO interfaces[32];
    DWORD size = 0;
    bool found = false;
    if (WSAIoctl(s, SIO_GET_INTERFACE_LIST, nullptr, 0, interfaces, sizeof interfaces, &size,
                 nullptr, nullptr) == 0) {
        for (DWORD i = 0; i < size / sizeof(INTERFACE_INFO) && !found; ++i) {
            const INTERFACE_INFO& f = interfaces[i];
            if (f.iiFlags & IFF_LOOPBACK) continue;
            uint32_t ip = f.iiAddress.AddressIn.sin_addr.s_addr;
            uint32_t mask = f.iiNetmask.AddressIn.sin_addr.s_addr;
            if (mask == 0 || mask == 0xFFFFFFFF) continue;
            out->s_addr = ip | ~mask;
            found = true;
        }
    }
    closesocket(s);
    return found;
}
