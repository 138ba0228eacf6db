// The machine's own addresses as the proxy needs them: UDP sockets that the game
// bound to one of them, the broadcast addresses of its networks, and the address
// an IPX socket reports as its node.
#include "wsock32/wsock32.h"
// After winsock2.h, which wsock32.h brings first.
#include <iphlpapi.h>

#include <cstring>

#include "session/local_address.h"

namespace ozlan::proxy {
namespace {

constexpr int kMaxBoundSockets = 1024;
constexpr int kMaxNetworks = 64;
constexpr ULONGLONG kNetworkRefreshMs = 5000;  // addresses change rarely; a sendto must stay cheap

struct BoundSocket {
    SOCKET socket;
    uint32_t ip;  // network order, as the game asked for it
};

struct AddressState {
    SRWLOCK lock = SRWLOCK_INIT;
    BoundSocket bound[kMaxBoundSockets] = {};
    int bound_count = 0;
    OwnNetwork networks[kMaxNetworks] = {};
    int network_count = 0;
    ULONGLONG networks_read_at = 0;
    bool networks_read = false;
};
AddressState g_addresses;

struct Exclusive {
    Exclusive() { AcquireSRWLockExclusive(&g_addresses.lock); }
    ~Exclusive() { ReleaseSRWLockExclusive(&g_addresses.lock); }
};

int FindBoundLocked(SOCKET s) {
    for (int i = 0; i < g_addresses.bound_count; ++i) {
        if (g_addresses.bound[i].socket == s) return i;
    }
    return -1;
}

using GetIpAddrTableFn = DWORD(WINAPI*)(PMIB_IPADDRTABLE, PULONG, BOOL);

// Reads the interface table of the IP helper library, loaded on first use so that
// the proxy imports nothing more than it did.
int ReadNetworks(OwnNetwork* out, int capacity) {
    static GetIpAddrTableFn get_table = [] {
        HMODULE helper = LoadLibraryA("iphlpapi.dll");
        return helper ? reinterpret_cast<GetIpAddrTableFn>(
                            reinterpret_cast<void*>(GetProcAddress(helper, "GetIpAddrTable")))
                      : nullptr;
    }();
    if (!get_table) return 0;
    alignas(MIB_IPADDRTABLE) unsigned char
        table[sizeof(MIB_IPADDRTABLE) + kMaxNetworks * sizeof(MIB_IPADDRROW)];
    ULONG size = sizeof table;
    if (get_table(reinterpret_cast<PMIB_IPADDRTABLE>(table), &size, FALSE) != NO_ERROR) return 0;
    const MIB_IPADDRTABLE* rows = reinterpret_cast<const MIB_IPADDRTABLE*>(table);
    int count = 0;
    for (DWORD i = 0; i < rows->dwNumEntries && count < capacity; ++i) {
        out[count].ip = rows->table[i].dwAddr;
        out[count].mask = rows->table[i].dwMask;
        ++count;
    }
    return count;
}

}  // namespace

void RememberBoundAddress(SOCKET s, uint32_t ip) {
    Exclusive guard;
    int i = FindBoundLocked(s);
    if (i < 0) {
        if (g_addresses.bound_count == kMaxBoundSockets) return;
        i = g_addresses.bound_count++;
    }
    g_addresses.bound[i] = {s, ip};
}

bool BoundAddressOf(SOCKET s, uint32_t* ip) {
    Exclusive guard;
    int i = FindBoundLocked(s);
    if (i < 0) return false;
    *ip = g_addresses.bound[i].ip;
    return true;
}

void ForgetBoundAddress(SOCKET s) {
    Exclusive guard;
    int i = FindBoundLocked(s);
    if (i < 0) return;
    g_addresses.bound[i] = g_addresses.bound[--g_addresses.bound_count];
}

bool IsOwnNetworkBroadcast(uint32_t ip) {
    Exclusive guard;
    ULONGLONG now = GetTickCount64();
    if (!g_addresses.networks_read || now - g_addresses.networks_read_at >= kNetworkRefreshMs) {
        g_addresses.network_count = ReadNetworks(g_addresses.networks, kMaxNetworks);
        g_addresses.networks_read_at = now;
        g_addresses.networks_read = true;
    }
    return IsDirectedBroadcast(ip, g_addresses.networks, g_addresses.network_count);
}

uint32_t OwnAddress() {
    char name[256] = {};
    if (Forward<R_gethostname>(-1, name, int(sizeof name)) != 0) return 0;
    const hostent* entry =
        Forward<R_gethostbyname>(static_cast<hostent*>(nullptr), static_cast<const char*>(name));
    if (!entry || entry->h_length != 4 || !entry->h_addr_list) return 0;
    const auto* const* addresses = reinterpret_cast<const uint8_t* const*>(entry->h_addr_list);
    char dotted[64] = {};
    if (PickLocalAddress(addresses, 4, dotted, sizeof dotted)) {
        return uint32_t(Forward<R_inet_addr>(INADDR_NONE, static_cast<const char*>(dotted)));
    }
    // None that the session library would stamp: the first that is not loopback.
    for (; *addresses; ++addresses) {
        const uint8_t* b = *addresses;
        if (b[0] != 127 && b[0] != 0) {
            uint32_t ip;
            std::memcpy(&ip, b, 4);
            return ip;
        }
    }
    return 0;
}

}  // namespace ozlan::proxy
