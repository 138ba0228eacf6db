#ifdef _WIN32

#define _CRT_RAND_S  // rand_s: the system's cryptographic random numbers
#include <winsock2.h>
#include <windows.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "transport/socket.h"

namespace ozlan {

bool SocketStartup() {
    WSADATA data;
    return WSAStartup(0x0101, &data) == 0;
}

SocketHandle SocketOpenUdp() {
    SOCKET s = ::socket(AF_INET, SOCK_DGRAM, 0);
    if (s == INVALID_SOCKET) return kInvalidSocket;
    int bytes = kSocketBufferBytes;
    ::setsockopt(s, SOL_SOCKET, SO_RCVBUF, reinterpret_cast<const char*>(&bytes), sizeof bytes);
    ::setsockopt(s, SOL_SOCKET, SO_SNDBUF, reinterpret_cast<const char*>(&bytes), sizeof bytes);
    return SocketHandle(s);
}

bool SocketBind(SocketHandle s, uint16_t port, uint32_t ip) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = ip;
    return ::bind(SOCKET(s), reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
}

bool SocketLocalPort(SocketHandle s, uint16_t* port) {
    sockaddr_in a{};
    int n = sizeof a;
    if (::getsockname(SOCKET(s), reinterpret_cast<sockaddr*>(&a), &n) != 0) return false;
    *port = ntohs(a.sin_port);
    return true;
}

bool SocketSetNonBlocking(SocketHandle s) {
    u_long on = 1;
    return ::ioctlsocket(SOCKET(s), FIONBIO, &on) == 0;
}

void SocketClose(SocketHandle s) {
    if (s != kInvalidSocket) ::closesocket(SOCKET(s));
}

int SocketSendTo(SocketHandle s, const void* data, size_t size, const SocketAddress& to) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = to.port;
    a.sin_addr.s_addr = to.ip;
    return ::sendto(SOCKET(s), static_cast<const char*>(data), int(size), 0,
                    reinterpret_cast<sockaddr*>(&a), sizeof a);
}

int SocketReceiveFrom(SocketHandle s, void* buffer, size_t capacity, SocketAddress* from,
                      int* error) {
    sockaddr_in a{};
    int got = SOCKET_ERROR;
    int code = 0;
    // An ICMP port-unreachable from an earlier send shows up here as a reset.
    for (int tries = 0; tries < 8; ++tries) {
        int n = sizeof a;
        got = ::recvfrom(SOCKET(s), static_cast<char*>(buffer), int(capacity), 0,
                         reinterpret_cast<sockaddr*>(&a), &n);
        if (got != SOCKET_ERROR) break;
        code = WSAGetLastError();
        if (code != WSAECONNRESET) break;
    }
    if (got == SOCKET_ERROR) {
        if (code == WSAEWOULDBLOCK || code == WSAECONNRESET) return kReceiveNothing;
        // A datagram longer than the buffer arrives cut.
        if (code == WSAEMSGSIZE) {
            got = int(capacity);
        } else {
            *error = code;
            return -1;
        }
    }
    from->ip = a.sin_addr.s_addr;
    from->port = a.sin_port;
    return got;
}

int SocketReceiveBatch(SocketHandle s, DatagramSlot* slots, int count, int* error) {
    int n = 0;
    while (n < count) {
        int got = SocketReceiveFrom(s, slots[n].data, slots[n].capacity, &slots[n].address, error);
        if (got == kReceiveNothing) break;
        if (got < 0) return n > 0 ? n : -1;  // the next call reports it
        slots[n++].size = size_t(got);
    }
    return n;
}

void SocketSendBatch(SocketHandle s, const DatagramSlot* slots, int count) {
    for (int i = 0; i < count; ++i) SocketSendTo(s, slots[i].data, slots[i].size, slots[i].address);
}

int SocketWaitReadable(SocketHandle s, int timeout_ms) {
    fd_set read_set;
    FD_ZERO(&read_set);
    FD_SET(SOCKET(s), &read_set);
    timeval wait{timeout_ms / 1000, (timeout_ms % 1000) * 1000};
    int r = ::select(0, &read_set, nullptr, nullptr, &wait);
    if (r == SOCKET_ERROR) return -1;
    return r > 0 ? 1 : 0;
}

size_t ResolveIPv4All(const char* host, uint32_t* out, size_t capacity) {
    if (capacity == 0) return 0;
    unsigned long dotted = ::inet_addr(host);
    if (dotted != INADDR_NONE || std::strcmp(host, "255.255.255.255") == 0) {
        out[0] = uint32_t(dotted);
        return 1;
    }
    hostent* entry = ::gethostbyname(host);
    if (!entry || entry->h_addrtype != AF_INET) return 0;
    size_t count = 0;
    for (char** a = entry->h_addr_list; *a && count < capacity; ++a) {
        uint32_t ip;
        std::memcpy(&ip, *a, 4);
        if (std::find(out, out + count, ip) == out + count) out[count++] = ip;
    }
    return count;
}

bool RandomBytes(void* out, size_t size) {
    auto* bytes = static_cast<uint8_t*>(out);
    for (size_t i = 0; i < size; i += 4) {
        unsigned int value;
        if (rand_s(&value) != 0) return false;
        std::memcpy(bytes + i, &value, size - i < 4 ? size - i : 4);
    }
    return true;
}

int64_t SystemNowMs() {
    static LARGE_INTEGER frequency = [] {
        LARGE_INTEGER f;
        QueryPerformanceFrequency(&f);
        return f;
    }();
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    return int64_t(now.QuadPart / (frequency.QuadPart / 1000));
}

void SystemSleepMs(int ms) {
    Sleep(DWORD(ms));
}

}  // namespace ozlan

#endif
