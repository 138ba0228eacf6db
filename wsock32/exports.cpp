// The proxy's exports: each writes its entry line, binds its counterpart in the real
// Winsock and forwards the game's arguments unchanged. The few that do more say so.
#include <mswsock.h>
#include <nspapi.h>
#include <ws2tcpip.h>

#include "wsock32/wsock32.h"

using namespace ozlan::proxy;

namespace {
void* g_broadcast_callback = nullptr;
}  // namespace

// --- Start-up and errors -------------------------------------------------------

EXPORT int WSAAPI mp_WSAGetLastError() {
    OZWS_LOG(kTrace, "mp_WSAGetLastError()");
    int result = 0;
    if (!Call<R_WSAGetLastError>(&result)) return 0;
    OZWS_LOG(kMilestone, "WSAGetLastError() returned %d", result);
    return result;
}

EXPORT void WSAAPI mp_WSASetLastError(int error) {
    OZWS_LOG(kTrace, "mp_WSASetLastError(%d)", error);
    if (void* real = BindReal(R_WSASetLastError)) reinterpret_cast<void(WSAAPI*)(int)>(real)(error);
}

EXPORT int WSAAPI mp_WSAStartup(WORD version, LPWSADATA data) {
    OZWS_LOG(kTrace, "mp_WSAStartup() version %u,%u", unsigned(LOBYTE(version)),
             unsigned(HIBYTE(version)));
    void* real = BindReal(R_WSAStartup);
    if (!real) return WSASYSNOTREADY;
    DeleteAllIPXSock();
    OZWS_LOG(kTrace, "Successfully deleted all the ipx sockets in the list");
    int result = reinterpret_cast<int(WSAAPI*)(WORD, LPWSADATA)>(real)(version, data);
    OZWS_LOG(kTrace, "lp_WSAStartup returned %d", result);
    return result;
}

EXPORT int WSAAPI mp_WSACleanup() {
    OZWS_LOG(kTrace, "mp_WSACleanup");
    return Forward<R_WSACleanup>(-1);
}

EXPORT int WSAAPI mp_WSACancelBlockingCall() {
    OZWS_LOG(kTrace, "mp_WSACancelBlockingCall");
    return Forward<R_WSACancelBlockingCall>(-1);
}

EXPORT FARPROC WSAAPI mp_WSASetBlockingHook(FARPROC hook) {
    OZWS_LOG(kTrace, "WSASetBlockingHook()");
    return Forward<R_WSASetBlockingHook>(FARPROC(nullptr), hook);
}

EXPORT int WSAAPI mp_WSAUnhookBlockingHook() {
    OZWS_LOG(kTrace, "WSAUnhookBlockingHook()");
    return Forward<R_WSAUnhookBlockingHook>(-1);
}

EXPORT BOOL WSAAPI mp_WSAIsBlocking() {
    OZWS_LOG(kTrace, "mp_WSAIsBlocking()");
    return Forward<R_WSAIsBlocking>(BOOL(FALSE));
}

// --- Sockets ---------------------------------------------------------------------

EXPORT int WSAAPI mp_closesocket(SOCKET s) {
    OZWS_LOG(kTrace, "mp_closesocket(%d)", int(s));
    void* real = BindReal(R_closesocket);
    if (!real) return -1;
    // The handle leaves the list before the real call, whatever that returns.
    CancelOverlappedReceives(s);
    if (FindIPXSock(s)) DeleteIPXSock(s);
    ForgetBoundAddress(s);
    return reinterpret_cast<int(WSAAPI*)(SOCKET)>(real)(s);
}

EXPORT int WSAAPI mp_shutdown(SOCKET s, int how) {
    OZWS_LOG(kTrace, "mp_shutdown(%d,%d)", int(s), how);
    return Forward<R_shutdown>(-1, s, how);
}

EXPORT int WSAAPI mp_connect(SOCKET s, const sockaddr* name, int length) {
    OZWS_LOG(kTrace, "mp_connect(%d,,%d)", int(s), length);
    return Forward<R_connect>(-1, s, name, length);
}

EXPORT int WSAAPI mp_listen(SOCKET s, int backlog) {
    OZWS_LOG(kTrace, "mp_listen(%d,%d)", int(s), backlog);
    return Forward<R_listen>(-1, s, backlog);
}

EXPORT SOCKET WSAAPI mp_accept(SOCKET s, sockaddr* address, int* length) {
    OZWS_LOG(kTrace, "mp_accept(%d,,)", int(s));
    return Forward<R_accept>(SOCKET(INVALID_SOCKET), s, address, length);
}

EXPORT int WSAAPI mp_getpeername(SOCKET s, sockaddr* name, int* length) {
    OZWS_LOG(kTrace, "mp_getpeername()");
    return Forward<R_getpeername>(-1, s, name, length);
}

EXPORT int WSAAPI mp_select(int count, fd_set* read, fd_set* write, fd_set* error,
                            const timeval* timeout) {
    OZWS_LOG(kTrace, "mp_select(%d,,,,,)", count);
    int result = -1;
    if (!Call<R_select>(&result, count, read, write, error, timeout)) return -1;
    OZWS_LOG(kTrace, "lp_select() returned %d", result);
    return result;
}

EXPORT int WSAAPI mp_WSAFDIsSet(SOCKET s, fd_set* set) {
    OZWS_LOG(kTrace, "mp_WSAFDIsSet(%d,)", int(s));
    return Forward<R_WSAFDIsSet>(0, s, set);
}

// --- Data --------------------------------------------------------------------------

// recv and send: the result, and the error the game will read, go in the log.
template <RealId Id>
int TransferAndLog(const char* name, SOCKET s, char* buffer, int length, int flags) {
    int result = -1;
    if (!Call<Id>(&result, s, buffer, length, flags)) return -1;
    OZWS_LOG(kTrace, "lp_%s(%d) returned %d", name, int(s), result);
    if (result == -1) {
        int error = mp_WSAGetLastError();
        OZWS_LOG(kTrace, "lp_%s(%d) error = %d", name, int(s), error);
    }
    return result;
}

EXPORT int WSAAPI mp_recv(SOCKET s, char* buffer, int length, int flags) {
    OZWS_LOG(kTrace, "mp_recv(%d,,%d,%d)", int(s), length, flags);
    return TransferAndLog<R_recv>("recv", s, buffer, length, flags);
}

EXPORT int WSAAPI mp_send(SOCKET s, const char* buffer, int length, int flags) {
    OZWS_LOG(kTrace, "mp_send(%d,,%d,%d)", int(s), length, flags);
    return TransferAndLog<R_send>("send", s, const_cast<char*>(buffer), length, flags);
}

EXPORT int WSAAPI mp_WSARecv(SOCKET s, LPWSABUF buffers, DWORD count, LPDWORD received,
                             LPDWORD flags, LPWSAOVERLAPPED overlapped,
                             LPWSAOVERLAPPED_COMPLETION_ROUTINE completion) {
    OZWS_LOG(kTrace, "mp_WSARecv()");
    return Forward<R_WSARecv>(-1, s, buffers, count, received, flags, overlapped, completion);
}

EXPORT int WSAAPI mp_WSAIoctl(SOCKET s, DWORD code, LPVOID in, DWORD in_size, LPVOID out,
                              DWORD out_size, LPDWORD returned, LPWSAOVERLAPPED overlapped,
                              LPWSAOVERLAPPED_COMPLETION_ROUTINE completion) {
    OZWS_LOG(kTrace, "mp_WSAIoctl()");
    return Forward<R_WSAIoctl>(-1, s, code, in, in_size, out, out_size, returned, overlapped,
                               completion);
}

EXPORT BOOL WSAAPI mp_AcceptEx(SOCKET listener, SOCKET accepted, PVOID buffer, DWORD size,
                               DWORD local_size, DWORD remote_size, LPDWORD received,
                               LPOVERLAPPED overlapped) {
    OZWS_LOG(kTrace, "mp_AcceptEx()");
    return Forward<R_AcceptEx>(BOOL(FALSE), listener, accepted, buffer, size, local_size,
                               remote_size, received, overlapped);
}

// --- Byte order and addresses --------------------------------------------------------

EXPORT u_long WSAAPI mp_ntohl(u_long value) {
    OZWS_LOG(kTrace, "mp_ntohl(%u)", unsigned(value));
    return Forward<R_ntohl>(value, value);
}

EXPORT u_long WSAAPI mp_htonl(u_long value) {
    OZWS_LOG(kTrace, "mp_htonl(%u)", unsigned(value));
    return Forward<R_htonl>(value, value);
}

EXPORT u_short WSAAPI mp_htons(u_short value) {
    OZWS_LOG(kTrace, "mp_htons(%u)", unsigned(value));
    u_short result = value;
    if (!Call<R_htons>(&result, value)) return value;  // unswapped
    OZWS_LOG(kTrace, "lp_htons(%u) returned %u", unsigned(value), unsigned(result));
    return result;
}

EXPORT u_short WSAAPI mp_ntohs(u_short value) {
    OZWS_LOG(kTrace, "mp_ntohs(%u)", unsigned(value));
    return Forward<R_ntohs>(value, value);
}

EXPORT unsigned long WSAAPI mp_inet_addr(const char* text) {
    OZWS_LOG(kTrace, "mp_inet_addr()");
    return Forward<R_inet_addr>((unsigned long)(INADDR_NONE), text);
}

EXPORT char* WSAAPI mp_inet_ntoa(in_addr address) {
    OZWS_LOG(kTrace, "mp_inet_ntoa()");
    return Forward<R_inet_ntoa>(static_cast<char*>(nullptr), address);
}

EXPORT INT WSAAPI mp_WSAStringToAddress(LPSTR text, INT family, LPVOID info, LPSOCKADDR address,
                                        LPINT length) {
    OZWS_LOG(kTrace, "mp_WSAStringToAddress()");
    return Forward<R_WSAStringToAddress>(INT(-1), text, family, info, address, length);
}

EXPORT INT WSAAPI mp_WSAAddressToString(LPSOCKADDR address, DWORD length, LPVOID info, LPSTR text,
                                        LPDWORD text_length) {
    OZWS_LOG(kTrace, "mp_WSAAddressToString()");
    return Forward<R_WSAAddressToString>(INT(-1), address, length, info, text, text_length);
}

EXPORT INT WSAAPI mp_EnumProtocols(LPINT protocols, LPVOID buffer, LPDWORD length) {
    OZWS_LOG(kTrace, "mp_EnumProtocols()");
    return Forward<R_EnumProtocols>(INT(-1), protocols, buffer, length);
}

// --- Names ------------------------------------------------------------------------------

EXPORT int WSAAPI mp_gethostname(char* name, int length) {
    OZWS_LOG(kTrace, "mp_gethostname()");
    void* real = BindReal(R_gethostname);
    if (!real) return -1;
    int result = reinterpret_cast<int(WSAAPI*)(char*, int)>(real)(name, length);
    // A failed call may leave no terminated text in the game's buffer.
    OZWS_LOG(kTrace, "lp_gethostname() returned local hostname of '%.*s'",
             result == 0 && name ? int(strnlen(name, size_t(length > 0 ? length : 0))) : 0,
             name ? name : "");
    return result;
}

bool ozlan::proxy::IsOwnHostName(const char* name) {
    char own_name[256] = {};
    return name && Forward<R_gethostname>(-1, own_name, int(sizeof own_name)) == 0 &&
           _stricmp(name, own_name) == 0;
}

namespace {

// The machine's own name lists the relayed address first while a router stands
// between this player and the others, and a public player's session address after its
// own: a game that takes its address from its name finds the one others reach it at,
// and one that compares other players' addresses with its own finds them on its network.
hostent* WithRelayedAddress(const char* name, hostent* entry) {
    if (entry->h_length != 4 || !IsOwnHostName(name)) return entry;
    uint32_t relayed = RelayedOwnAddress();
    uint32_t session = relayed == 0 ? SessionOwnAddress() : 0;
    if (relayed == 0 && session == 0) return entry;
    // Per thread, as the platform keeps its own answer.
    constexpr int kMaxListed = 32;
    thread_local hostent listed;
    thread_local uint32_t addresses[kMaxListed];
    thread_local char* list[kMaxListed + 1];
    int n = 0;
    if (relayed) addresses[n++] = relayed;
    for (char** a = entry->h_addr_list; a && *a && n < kMaxListed - 1; ++a) {
        uint32_t ip;
        std::memcpy(&ip, *a, 4);
        if (ip != relayed && ip != session) addresses[n++] = ip;
    }
    if (session) addresses[n++] = session;
    for (int i = 0; i < n; ++i) list[i] = reinterpret_cast<char*>(&addresses[i]);
    list[n] = nullptr;
    listed = *entry;
    listed.h_addr_list = list;
    return &listed;
}

}  // namespace

EXPORT hostent* WSAAPI mp_gethostbyname(const char* name) {
    OZWS_LOG(kTrace, "mp_gethostbyname(%s)", name ? name : "");
    void* real = BindReal(R_gethostbyname);
    if (!real) return nullptr;
    hostent* entry = reinterpret_cast<hostent*(WSAAPI*)(const char*)>(real)(name);
    if (!entry) {
        int error = mp_WSAGetLastError();
        OZWS_LOG(kMilestone, "lp_gethostbyname failed lookup of %s (%d)", name ? name : "", error);
        mp_WSASetLastError(error);
        return nullptr;
    }
    entry = WithRelayedAddress(name, entry);
    for (char** address = entry->h_addr_list; address && *address; ++address) {
        OZWS_LOG(kTrace, "%s(alt:%s) = ", entry->h_name, name ? name : "");
        in_addr a;
        memcpy(&a, *address, 4);
        const char* dotted = mp_inet_ntoa(a);
        OZWS_LOG(kTrace, "%s", dotted ? dotted : "");
    }
    return entry;
}

EXPORT hostent* WSAAPI mp_gethostbyaddr(const char* address, int length, int type) {
    OZWS_LOG(kTrace, "mp_gethostbyaddr()");
    return Forward<R_gethostbyaddr>(static_cast<hostent*>(nullptr), address, length, type);
}

EXPORT protoent* WSAAPI mp_getprotobyname(const char* name) {
    OZWS_LOG(kTrace, "mp_getprotobyname(%s)", name ? name : "");
    return Forward<R_getprotobyname>(static_cast<protoent*>(nullptr), name);
}

EXPORT protoent* WSAAPI mp_getprotobynumber(int number) {
    OZWS_LOG(kTrace, "mp_getprotobynumber()");
    return Forward<R_getprotobynumber>(static_cast<protoent*>(nullptr), number);
}

EXPORT servent* WSAAPI mp_getservbyname(const char* name, const char* protocol) {
    OZWS_LOG(kTrace, "mp_getservbyname()");
    return Forward<R_getservbyname>(static_cast<servent*>(nullptr), name, protocol);
}

EXPORT servent* WSAAPI mp_getservbyport(int port, const char* protocol) {
    OZWS_LOG(kTrace, "mp_getservbyport()");
    return Forward<R_getservbyport>(static_cast<servent*>(nullptr), port, protocol);
}

// --- Asynchronous calls ----------------------------------------------------------------

EXPORT int WSAAPI mp_WSAAsyncSelect(SOCKET s, HWND window, u_int message, long events) {
    OZWS_LOG(kTrace, "mp_WSAAsyncSelect()");
    return Forward<R_WSAAsyncSelect>(-1, s, window, message, events);
}

EXPORT HANDLE WSAAPI mp_WSAAsyncGetHostByName(HWND window, u_int message, const char* name,
                                              char* buffer, int length) {
    OZWS_LOG(kTrace, "mp_WSAAsyncGetHostByName()");
    return Forward<R_WSAAsyncGetHostByName>(HANDLE(nullptr), window, message, name, buffer, length);
}

EXPORT HANDLE WSAAPI mp_WSAAsyncGetHostByAddr(HWND window, u_int message, const char* address,
                                              int length, int type, char* buffer, int size) {
    OZWS_LOG(kTrace, "mp_WSAAsyncGetHostByAddr()");
    return Forward<R_WSAAsyncGetHostByAddr>(HANDLE(nullptr), window, message, address, length, type,
                                            buffer, size);
}

EXPORT int WSAAPI mp_WSACancelAsyncRequest(HANDLE request) {
    OZWS_LOG(kTrace, "mp_WSACancelAsyncRequest()");
    return Forward<R_WSACancelAsyncRequest>(-1, request);
}

// --- The two exports of the proxy's own --------------------------------------------------

EXPORT int32_t WSAAPI mp_SetBroadcastCallback(void* callback) {
    OZWS_LOG(kTrace, "SetBroadcastCallback() called");
    g_broadcast_callback = callback;
    return 0;
}

EXPORT int32_t WSAAPI mp_RecvBroadcastMsg() {
    return 0;
}
