// lanping's Winsock 1.1 calls.
#include <winsock2.h>
#include <windows.h>
// After winsock2.h.
#include <iphlpapi.h>

#include <cstring>

#include "examples/lanping_net.h"

const char* NetKind() {
    return "Winsock 1.1";
}

bool NetStart(bool completion_routines) {
    WSADATA data;
    return !completion_routines && WSAStartup(0x0101, &data) == 0;
}

SOCKET NetSocket(int family, int type, int protocol) {
    return socket(family, type, protocol);
}

int NetSendTo(SOCKET s, const char* data, int length, const sockaddr* to, int to_length) {
    return sendto(s, data, length, 0, to, to_length);
}

int NetReceive(const std::vector<SOCKET>& sockets, int timeout_ms, char* buffer, int room,
               sockaddr* from, int* from_length, SOCKET* ready) {
    fd_set set;
    FD_ZERO(&set);
    for (SOCKET s : sockets) FD_SET(s, &set);
    timeval wait{timeout_ms / 1000, (timeout_ms % 1000) * 1000};
    if (select(0, &set, nullptr, nullptr, &wait) < 1) return 0;
    *ready = sockets[0];
    for (SOCKET s : sockets) {
        if (FD_ISSET(s, &set)) *ready = s;
    }
    int got = recvfrom(*ready, buffer, room, 0, from, from_length);
    return got < 0 ? -1 : got;
}

bool NetOwnAddresses(std::vector<uint32_t>* out) {
    char name[256] = {};
    if (gethostname(name, sizeof name) != 0) return false;
    hostent* entry = gethostbyname(name);
    if (!entry || entry->h_length != 4) return false;
    for (char** a = entry->h_addr_list; *a; ++a) {
        uint32_t ip;
        std::memcpy(&ip, *a, 4);
        out->push_back(ip);
    }
    return true;
}

bool NetResolve(const char* name, uint32_t* ip) {
    hostent* entry = gethostbyname(name);
    if (!entry || entry->h_length != 4 || !entry->h_addr_list[0]) return false;
    std::memcpy(ip, entry->h_addr_list[0], 4);
    return true;
}

bool NetSubnetBroadcast(in_addr* out) {
    unsigned char storage[16 * 1024];
    auto* table = reinterpret_cast<MIB_IPADDRTABLE*>(storage);
    ULONG size = sizeof storage;
    if (GetIpAddrTable(table, &size, FALSE) != NO_ERROR) return false;
    for (DWORD i = 0; i < table->dwNumEntries; ++i) {
        DWORD ip = table->table[i].dwAddr, mask = table->table[i].dwMask;
        if ((ip & 0xFF) == 127 || mask == 0 || mask == 0xFFFFFFFF) continue;
        out->s_addr = ip | ~mask;
        return true;
    }
    return false;
}
