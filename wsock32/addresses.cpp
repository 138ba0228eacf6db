// The machine's own addresses as the proxy needs them: UDP sockets that the game
// bound to one of them, the broadcast addresses of its networks, and the address
// an IPX socket reports as its node.
#include "wsock32/wsock32.h"
// After winsock2.h, which wsock32.h brings first.
#include <iphlpapi.h>

#include <cstring>

#include "protocol/wire.h"
#include "machine/local_address.h"
#include "wsock32/exchange_memory.h"

namespace ozlan::proxy {
namespace {

constexpr int kMaxBoundSockets = 1024;
constexpr int kMaxNetworks = 64;
constexpr ULONGLONG kNetworkRefreshMs = 5000;  // addresses change rarely; a sendto must stay cheap
// The launcher answers at once; its answer is kept for a second (a launcher that joined
// again may give another), and one that does not answer is asked again only after a while.
constexpr int kLauncherAnswerWaitMs = 250;
constexpr ULONGLONG kAskAgainMs = 1000;
constexpr ULONGLONG kAskSilentLauncherAgainMs = 10000;
// A datagram from an address the proxy does not know may come from a member the launcher
// learnt of since the last answer: it asks again, but not more often than this.
constexpr ULONGLONG kAskForUnknownSourceMs = 200;

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
    // The launcher's last answer (the relayed address and the routes to the other
    // members), and when to ask again.
    SRWLOCK query_lock = SRWLOCK_INIT;
    uint32_t relayed_address = 0;
    bool own_reaches_too = false;  // the relayed address is a public player's session address
    Route routes[kMaxRoutes] = {};
    size_t route_count = 0;
    ULONGLONG ask_again_at = 0;
    ULONGLONG answered_at = 0;  // when the launcher last answered
    bool answering = false;     // it answered the last question
    // Which address of each member the game last sent to (under its own lock: the
    // receive path waits for the launcher only for a source it does not know).
    SRWLOCK exchange_lock = SRWLOCK_INIT;
    ExchangeMemory exchanges;
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

// Asks the launcher on 127.0.0.1:3668 from a socket of its own and keeps its answer;
// false when no answer came in time. Under the query lock.
bool AskLauncher() {
    SOCKET s = Forward<R_socket>(INVALID_SOCKET, int(AF_INET), int(SOCK_DGRAM), 0);
    if (s == INVALID_SOCKET) return false;
    uint8_t query[kLinkHeaderSize];
    WriteOwnAddressQuery(query);
    sockaddr_in launcher{};
    launcher.sin_family = AF_INET;
    launcher.sin_port = Forward<R_htons>(u_short(0), u_short(kRelayPort));
    launcher.sin_addr.s_addr = Forward<R_inet_addr>(INADDR_NONE, kLoopbackText);
    bool answered = false;
    if (Forward<R_sendto>(-1, s, reinterpret_cast<const char*>(query), int(sizeof query), 0,
                          static_cast<const sockaddr*>(reinterpret_cast<sockaddr*>(&launcher)),
                          int(sizeof launcher)) == int(sizeof query)) {
        ULONGLONG deadline = GetTickCount64() + kLauncherAnswerWaitMs;
        for (ULONGLONG now = GetTickCount64(); !answered && now < deadline;
             now = GetTickCount64()) {
            fd_set readable;
            FD_ZERO(&readable);
            FD_SET(s, &readable);
            timeval wait{0, long(deadline - now) * 1000};
            if (Forward<R_select>(-1, 0, &readable, static_cast<fd_set*>(nullptr),
                                  static_cast<fd_set*>(nullptr),
                                  static_cast<const timeval*>(&wait)) <= 0) {
                break;
            }
            static uint8_t answer[kLinkHeaderSize + kRouteEntrySize * kMaxRoutes + 1];
            sockaddr_in from{};
            int from_length = sizeof from;
            int got =
                Forward<R_recvfrom>(-1, s, reinterpret_cast<char*>(answer), int(sizeof answer), 0,
                                    reinterpret_cast<sockaddr*>(&from), &from_length);
            AddressState& a = g_addresses;
            if (got >= 0 && from.sin_port == launcher.sin_port &&
                ReadOwnAddressAnswer(answer, size_t(got), &a.relayed_address, a.routes,
                                     &a.route_count, &a.own_reaches_too)) {
                answered = true;
                AcquireSRWLockExclusive(&a.exchange_lock);
                FollowRoutes(a.exchanges, a.routes, a.route_count);
                ReleaseSRWLockExclusive(&a.exchange_lock);
            }
        }
    }
    Forward<R_closesocket>(-1, s);
    return answered;
}

}  // namespace

namespace {

// Holds the query lock, with the launcher's answer asked again when it is due: a
// launcher that joined again may have another address, and members come and go. While
// the launcher does not answer, what it said last stays.
struct LauncherAnswer {
    LauncherAnswer() {
        AddressState& a = g_addresses;
        AcquireSRWLockExclusive(&a.query_lock);
        if (GetTickCount64() >= a.ask_again_at) Ask();
    }
    // Asks sooner than due when the launcher answered the last question, but not within
    // `unless_within_ms` of that answer.
    explicit LauncherAnswer(ULONGLONG unless_within_ms) {
        AddressState& a = g_addresses;
        AcquireSRWLockExclusive(&a.query_lock);
        ULONGLONG now = GetTickCount64();
        if (a.answering ? now >= a.answered_at + unless_within_ms : now >= a.ask_again_at) Ask();
    }
    static void Ask() {
        AddressState& a = g_addresses;
        bool answered = AskLauncher();
        ULONGLONG now = GetTickCount64();
        a.ask_again_at = now + (answered ? kAskAgainMs : kAskSilentLauncherAgainMs);
        a.answering = answered;
        if (answered) a.answered_at = now;
    }
    ~LauncherAnswer() { ReleaseSRWLockExclusive(&g_addresses.query_lock); }
};

}  // namespace

uint32_t RelayedOwnAddress() {
    LauncherAnswer answer;
    return g_addresses.own_reaches_too ? 0 : g_addresses.relayed_address;
}

uint32_t SessionOwnAddress() {
    LauncherAnswer answer;
    return g_addresses.own_reaches_too ? g_addresses.relayed_address : 0;
}

bool RouteToMember(uint32_t ip, Route* route) {
    LauncherAnswer answer;
    const Route* found = FindRoute(g_addresses.routes, g_addresses.route_count, ip);
    if (found) *route = *found;
    return found != nullptr;
}

void RememberSentTo(uint32_t ip, uint16_t port, const Route* route) {
    AddressState& a = g_addresses;
    AcquireSRWLockExclusive(&a.exchange_lock);
    // An address with a route names the member the route leads to; one without names a
    // member only as its key (sent to straight, where it is).
    if (route) {
        RememberExchange(a.exchanges, route->target, port, ip);
    } else if (uint32_t member = KnownMember(a.exchanges, ip)) {
        RememberExchange(a.exchanges, member, port, ip);
    }
    ReleaseSRWLockExclusive(&a.exchange_lock);
}

void ShowAsSentTo(sockaddr_in* source) {
    AddressState& a = g_addresses;
    AcquireSRWLockShared(&a.exchange_lock);
    bool known = KnownMember(a.exchanges, source->sin_addr.s_addr) != 0;
    ReleaseSRWLockShared(&a.exchange_lock);
    if (!known && (source->sin_addr.s_addr & 0xFF) != 127)
        LauncherAnswer fresh(kAskForUnknownSourceMs);
    AcquireSRWLockExclusive(&a.exchange_lock);
    if (a.exchanges.count > 0 || a.exchanges.known_count > 0) {
        source->sin_addr.s_addr = AddressSeenFor(a.exchanges, source->sin_addr.s_addr,
                                                 Forward<R_ntohs>(u_short(0), source->sin_port));
    }
    ReleaseSRWLockExclusive(&a.exchange_lock);
}

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

uint32_t IpxNodeAddress() {
    uint32_t relayed = RelayedOwnAddress();
    return relayed != 0 ? relayed : OwnAddress();
}

}  // namespace ozlan::proxy
