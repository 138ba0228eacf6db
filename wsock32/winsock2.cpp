// The Winsock 2 forms of what the proxy does for Winsock 1.1 calls, for games that import
// ws2_32.dll (reached only inside the game's process: the copy in a game folder stands
// for wsock32.dll). Each does what its 1.1 counterpart does, so that a socket shows the
// same whichever calls a game makes on it.
#include <ws2tcpip.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <type_traits>
#include <vector>

#include "wsock32/wsock32.h"

using namespace ozlan;
using namespace ozlan::proxy;

namespace {

using WSASocketAFn = SOCKET(WSAAPI*)(int, int, int, LPWSAPROTOCOL_INFOA, GROUP, DWORD);
using WSASocketWFn = SOCKET(WSAAPI*)(int, int, int, LPWSAPROTOCOL_INFOW, GROUP, DWORD);

// The family a WSASocket call asks for: its own, or its protocol description's.
template <class Info>
int FamilyOf(int family, const Info* info) {
    return family == 0 && info ? info->iAddressFamily : family;
}

// Lists of addresses the proxy built for the machine's own name (freed by the proxy's
// own free functions; any other list goes back to the platform).
constexpr int kMaxOwnLists = 64;
SRWLOCK g_lists_lock = SRWLOCK_INIT;
void* g_own_lists[kMaxOwnLists] = {};

bool KeepOwnList(void* list) {
    AcquireSRWLockExclusive(&g_lists_lock);
    bool kept = false;
    for (void*& slot : g_own_lists) {
        if (!slot) {
            slot = list;
            kept = true;
            break;
        }
    }
    ReleaseSRWLockExclusive(&g_lists_lock);
    return kept;
}

bool ForgetOwnList(void* list) {
    AcquireSRWLockExclusive(&g_lists_lock);
    bool found = false;
    for (void*& slot : g_own_lists) {
        if (slot && slot == list) {
            slot = nullptr;
            found = true;
            break;
        }
    }
    ReleaseSRWLockExclusive(&g_lists_lock);
    return found;
}

template <class Entry>
void FreeOwnList(Entry* list) {
    while (list) {
        Entry* next = list->ai_next;
        delete[] list->ai_canonname;
        delete reinterpret_cast<sockaddr_storage*>(list->ai_addr);
        delete list;
        list = next;
    }
}

template <class Entry>
Entry* CopyEntry(const Entry& from, uint32_t ipv4) {
    Entry* copy = new Entry(from);
    copy->ai_next = nullptr;
    copy->ai_canonname = nullptr;
    if (from.ai_canonname) {
        size_t n = 0;
        while (from.ai_canonname[n]) ++n;
        copy->ai_canonname = new std::remove_reference_t<decltype(*from.ai_canonname)>[n + 1];
        std::memcpy(copy->ai_canonname, from.ai_canonname, (n + 1) * sizeof *from.ai_canonname);
    }
    auto* address = new sockaddr_storage{};
    std::memcpy(address, from.ai_addr, std::min(sizeof *address, size_t(from.ai_addrlen)));
    if (ipv4) reinterpret_cast<sockaddr_in*>(address)->sin_addr.s_addr = ipv4;
    copy->ai_addr = reinterpret_cast<sockaddr*>(address);
    return copy;
}

// The machine's own name lists the relayed address first while a router stands
// between, and a public player's session address after its own, as gethostbyname
// does. Null when the platform's list stands as it is.
template <class Entry>
Entry* WithRelayedAddress(const Entry* real) {
    uint32_t relayed = RelayedOwnAddress();
    uint32_t session = relayed == 0 ? SessionOwnAddress() : 0;
    const Entry* first_ipv4 = nullptr;
    const Entry* last_ipv4 = nullptr;
    for (const Entry* e = real; e; e = e->ai_next) {
        if (e->ai_family == AF_INET && e->ai_addr && e->ai_addrlen >= int(sizeof(sockaddr_in))) {
            if (!first_ipv4) first_ipv4 = e;
            last_ipv4 = e;
        }
    }
    if ((relayed == 0 && session == 0) || !first_ipv4) return nullptr;
    Entry* head = nullptr;
    Entry** tail = &head;
    auto append = [&](Entry* e) {
        *tail = e;
        tail = &e->ai_next;
    };
    for (const Entry* e = real; e; e = e->ai_next) {
        if (e == first_ipv4 && relayed) append(CopyEntry(*e, relayed));
        if (e->ai_family == AF_INET && e->ai_addr && e->ai_addrlen >= int(sizeof(sockaddr_in))) {
            uint32_t ip = reinterpret_cast<const sockaddr_in*>(e->ai_addr)->sin_addr.s_addr;
            if (ip != relayed && ip != session) append(CopyEntry(*e, 0));
        } else {
            append(CopyEntry(*e, 0));
        }
        if (e == last_ipv4 && session) append(CopyEntry(*e, session));
    }
    if (head && head != real && head->ai_canonname == nullptr && real->ai_canonname) {
        // The canonical name stays on the first entry.
        Entry* named = CopyEntry(*real, 0);
        head->ai_canonname = named->ai_canonname;
        named->ai_canonname = nullptr;
        FreeOwnList(named);
    }
    if (!KeepOwnList(head)) {
        FreeOwnList(head);
        return nullptr;
    }
    return head;
}

void LogAddresses(const char* call, const ADDRINFOA* list) {
    for (const ADDRINFOA* e = list; e; e = e->ai_next) {
        if (e->ai_family != AF_INET || !e->ai_addr) continue;
        const char* dotted =
            mp_inet_ntoa(reinterpret_cast<const sockaddr_in*>(e->ai_addr)->sin_addr);
        OZWS_LOG(kTrace, "%s = %s", call, dotted ? dotted : "");
    }
}

std::string Narrow(const wchar_t* text) {
    if (!text) return {};
    char out[256] = {};
    WideCharToMultiByte(CP_ACP, 0, text, -1, out, sizeof out - 1, nullptr, nullptr);
    return out;
}

}  // namespace

EXPORT void WSAAPI mp_freeaddrinfo(ADDRINFOA* list);
EXPORT void WSAAPI mp_FreeAddrInfoW(ADDRINFOW* list);

namespace {

// One WSASocket call's own arguments, for the socket maker.
template <class Info>
struct WSASocketCall {
    void* real;
    Info* info;
    GROUP group;
    DWORD flags;
};

template <class Info>
SOCKET MakeWSASocket(void* context, int family, int type, int protocol) {
    auto* call = static_cast<WSASocketCall<Info>*>(context);
    using Fn = SOCKET(WSAAPI*)(int, int, int, Info*, GROUP, DWORD);
    // An IPX protocol's description does not describe the UDP socket standing for it.
    Info* info = family == AF_INET && call->info && call->info->iAddressFamily == kIpxFamily
                     ? nullptr
                     : call->info;
    return reinterpret_cast<Fn>(call->real)(family, type, protocol, info, call->group, call->flags);
}

template <class Info>
SOCKET WSASocketOf(const char* name, RealId id, int family, int type, int protocol, Info* info,
                   GROUP group, DWORD flags) {
    OZWS_LOG(kTrace, "%s(%d,%d,%d)", name, family, type, protocol);
    void* real = BindReal(id);
    if (!real) return INVALID_SOCKET;
    WSASocketCall<Info> call{real, info, group, flags};
    SOCKET s = OpenGameSocket(FamilyOf(family, info), type, protocol, MakeWSASocket<Info>, &call);
    OZWS_LOG(kMilestone, "%s() returned %d", name, int(s));
    return s;
}

}  // namespace

EXPORT SOCKET WSAAPI mp_WSASocketA(int family, int type, int protocol, LPWSAPROTOCOL_INFOA info,
                                   GROUP group, DWORD flags) {
    return WSASocketOf("mp_WSASocketA", R_WSASocketA, family, type, protocol, info, group, flags);
}

EXPORT SOCKET WSAAPI mp_WSASocketW(int family, int type, int protocol, LPWSAPROTOCOL_INFOW info,
                                   GROUP group, DWORD flags) {
    return WSASocketOf("mp_WSASocketW", R_WSASocketW, family, type, protocol, info, group, flags);
}

EXPORT int WSAAPI mp_WSASendTo(SOCKET s, LPWSABUF buffers, DWORD count, LPDWORD sent, DWORD flags,
                               const sockaddr* to, int to_length, LPWSAOVERLAPPED overlapped,
                               LPWSAOVERLAPPED_COMPLETION_ROUTINE completion) {
    OZWS_LOG(kTrace, "mp_WSASendTo(%d,,%d,,%d,,%d)", int(s), int(count), int(flags), to_length);
    if (!to || (!buffers && count > 0)) {
        // A connected socket's send: nothing for the proxy to convert.
        return Forward<R_WSASendTo>(-1, s, buffers, count, sent, flags, to, to_length, overlapped,
                                    completion);
    }
    // One datagram, as sendto sends it.
    std::vector<char> gathered;
    const char* data = count > 0 ? buffers[0].buf : nullptr;
    size_t length = count > 0 ? buffers[0].len : 0;
    if (count > 1) {
        for (DWORD i = 0; i < count; ++i) {
            gathered.insert(gathered.end(), buffers[i].buf, buffers[i].buf + buffers[i].len);
        }
        data = gathered.data();
        length = gathered.size();
    }
    if (length > 0x7FFFFFFF) {
        mp_WSASetLastError(WSAEMSGSIZE);
        return SOCKET_ERROR;
    }
    int n = mp_sendto(s, data, int(length), int(flags), to, to_length);
    if (n == SOCKET_ERROR) return SOCKET_ERROR;
    if (sent) *sent = DWORD(n);
    if (overlapped || completion) CompleteAtOnce(overlapped, completion, 0, DWORD(n));
    return 0;
}

EXPORT int WSAAPI mp_WSAConnect(SOCKET s, const sockaddr* name, int length, LPWSABUF caller_data,
                                LPWSABUF callee_data, LPQOS qos, LPQOS group_qos) {
    OZWS_LOG(kTrace, "mp_WSAConnect(%d,,%d)", int(s), length);
    return Forward<R_WSAConnect>(-1, s, name, length, caller_data, callee_data, qos, group_qos);
}

EXPORT int WSAAPI mp_getaddrinfo(const char* node, const char* service, const ADDRINFOA* hints,
                                 ADDRINFOA** result) {
    OZWS_LOG(kTrace, "mp_getaddrinfo(%s)", node ? node : "");
    int error = 0;
    if (!Call<R_getaddrinfo>(&error, node, service, hints, result)) return WSANO_RECOVERY;
    if (error != 0 || !result || !*result || !IsOwnHostName(node)) return error;
    if (ADDRINFOA* listed = WithRelayedAddress(*result)) {
        mp_freeaddrinfo(*result);
        *result = listed;
    }
    LogAddresses("mp_getaddrinfo()", *result);
    return 0;
}

EXPORT int WSAAPI mp_GetAddrInfoW(const wchar_t* node, const wchar_t* service,
                                  const ADDRINFOW* hints, ADDRINFOW** result) {
    std::string narrow = Narrow(node);
    OZWS_LOG(kTrace, "mp_GetAddrInfoW(%s)", narrow.c_str());
    int error = 0;
    if (!Call<R_GetAddrInfoW>(&error, node, service, hints, result)) return WSANO_RECOVERY;
    if (error != 0 || !result || !*result || !node || !IsOwnHostName(narrow.c_str())) {
        return error;
    }
    if (ADDRINFOW* listed = WithRelayedAddress(*result)) {
        mp_FreeAddrInfoW(*result);
        *result = listed;
    }
    return 0;
}

EXPORT void WSAAPI mp_freeaddrinfo(ADDRINFOA* list) {
    if (list && ForgetOwnList(list)) return FreeOwnList(list);
    if (void* real = BindReal(R_freeaddrinfo))
        reinterpret_cast<void(WSAAPI*)(ADDRINFOA*)>(real)(list);
}

EXPORT void WSAAPI mp_FreeAddrInfoW(ADDRINFOW* list) {
    if (list && ForgetOwnList(list)) return FreeOwnList(list);
    if (void* real = BindReal(R_FreeAddrInfoW))
        reinterpret_cast<void(WSAAPI*)(ADDRINFOW*)>(real)(list);
}
