// The Winsock proxy (ozws.dll, installed in a game's folder as wsock32.dll): its
// process-wide record, the binding to the real Winsock, the logging operations
// (wsock32.cpp, logging.cpp), the registry reader (registry.cpp) and the IPX
// socket list (socktrak.cpp). The exports themselves are in exports.cpp.
#pragma once

#include <winsock2.h>
#include <windows.h>

#include <cstdint>
#include <string>

#include "protocol/wire.h"

namespace ozlan::proxy {

constexpr size_t kPathSize = 260;

// Log levels: smaller is more serious.
constexpr int kFailure = 100;
constexpr int kErrorPassed = 500;
constexpr int kMilestone = 1000;
constexpr int kTrace = 2000;

// Source paths written with every line.
constexpr const char* kSourceWsock32 = "wsock32\\wsock32";
constexpr const char* kSourceRegistry = "wsock32\\registry";
constexpr const char* kSourceSocktrak = "wsock32\\socktrak";

constexpr const char* kSystemRootValue =
    "HKLM\\Software\\Microsoft\\Windows\\CurrentVersion\\SystemRoot";
constexpr const char* kFallbackSystemFolder = "c:\\winnt\\system32";

// Every function of the real Winsock the proxy calls, by its place in kRealFunctions.
enum RealId {
    R_accept,
    R_bind,
    R_closesocket,
    R_connect,
    R_getpeername,
    R_getsockname,
    R_getsockopt,
    R_htonl,
    R_htons,
    R_inet_addr,
    R_inet_ntoa,
    R_ioctlsocket,
    R_listen,
    R_ntohl,
    R_ntohs,
    R_recv,
    R_recvfrom,
    R_select,
    R_send,
    R_sendto,
    R_setsockopt,
    R_shutdown,
    R_socket,
    R_WSAAddressToString,
    R_WSAIoctl,
    R_gethostbyaddr,
    R_gethostbyname,
    R_getprotobyname,
    R_getprotobynumber,
    R_getservbyname,
    R_getservbyport,
    R_gethostname,
    R_WSARecv,
    R_WSARecvFrom,
    R_WSAStringToAddress,
    R_WSAAsyncSelect,
    R_WSAAsyncGetHostByAddr,
    R_WSAAsyncGetHostByName,
    R_WSACancelAsyncRequest,
    R_WSASetBlockingHook,
    R_WSAUnhookBlockingHook,
    R_WSAGetLastError,
    R_WSASetLastError,
    R_WSACancelBlockingCall,
    R_WSAIsBlocking,
    R_WSAStartup,
    R_WSACleanup,
    R_WSAFDIsSet,
    R_EnumProtocols,
    R_AcceptEx,
    // Winsock 2 only: looked up in ws2_32.dll whichever library the others come from.
    R_WSASocketA,
    R_WSASocketW,
    R_WSASendTo,
    R_WSAConnect,
    R_getaddrinfo,
    R_GetAddrInfoW,
    R_freeaddrinfo,
    R_FreeAddrInfoW,
    R_COUNT
};

struct RealFunction {
    const char* lookup;        // name looked up in the real Winsock
    const char* failure_line;  // written at level 100 when it cannot be bound
    bool loads;                // false: binds only against an already loaded Winsock
    bool winsock2 = false;     // in ws2_32.dll only
};
extern const RealFunction kRealFunctions[R_COUNT];

struct ProxyState {
    char own_module_name[kPathSize] = {};
    char registry_value[kPathSize] = {};
    char system_directory[kPathSize] = {};
    char real_library_path[kPathSize] = {};
    HMODULE real_library = nullptr;
    HMODULE real_winsock2 = nullptr;  // for the Winsock 2 only functions
    void* real[R_COUNT] = {};
    // Loaded into the game's process by the launcher (inside.cpp), not found in the
    // game's folder.
    bool inside = false;
};
ProxyState& Proxy();

// Library entry (wsock32.cpp).
void AttachProcess(HINSTANCE instance);
void DetachProcess();
int LoadRealWinsock();
// `file` in the platform's system folder, into a 260-byte path; false when it has none.
bool SystemLibraryPath(const char* file, char* out);
// Runs the binding steps for one real function; null (after its failure line) when
// it cannot be bound.
void* BindReal(RealId id);

// Inside the game's process (inside.cpp): the real Winsock is the system's library of
// `real_file` ("ws2_32.dll" when the game's process uses Winsock 2, else "wsock32.dll").
void UseSystemWinsock(const char* real_file);

// Overlapped receives (overlapped.cpp): the proxy completes them itself, after the same
// conversions as a receive that waits, through the game's OVERLAPPED (status, count,
// event) and its completion routine. Returns what WSARecvFrom returns.
int ReceiveOverlapped(SOCKET s, LPWSABUF buffers, DWORD count, LPDWORD received, LPDWORD flags,
                      sockaddr* from, LPINT from_length, LPWSAOVERLAPPED overlapped,
                      LPWSAOVERLAPPED_COMPLETION_ROUTINE completion);
// Completes the socket's waiting receives as cancelled (before it closes).
void CancelOverlappedReceives(SOCKET s);
// A send that completes at once, told through the game's OVERLAPPED and completion
// routine as Winsock tells it.
void CompleteAtOnce(LPWSAOVERLAPPED overlapped, LPWSAOVERLAPPED_COMPLETION_ROUTINE completion,
                    int error, DWORD count);

// Logging (logging.cpp). The guards do nothing while QUILLET.DLL is not bound.
void LogOpen(const char* source, int line, int level, const char* module_name, const char* pattern);
void LogClose();
bool LogBound();
void LogWriteGuard(const char* source, int line, int level, const char* format, ...)
    __attribute__((format(printf, 4, 5)));
void LogDumpGuard(const char* source, int line, int level, const void* data, int size);
// "[own module name] text", through the LogWrite guard.
void LogMessage(const char* source, int line, int level, const char* format, ...)
    __attribute__((format(printf, 4, 5)));

// Registry reader (registry.cpp): 1 when `out` (260 bytes) holds the string value.
int LookupRegistryString(const char* path, char* out);

// IPX socket list (socktrak.cpp).
constexpr int kMaxIpxSockets = 1024;
int FindIPXSock(SOCKET s);
int AddIPXSock(SOCKET s);
int DeleteIPXSock(SOCKET s);
void DeleteAllIPXSock();

// A game's new socket, made by `make(context, family, type, protocol)`: an IPX socket
// becomes a UDP (SPX: TCP) socket in the IPX list, any other is made as asked.
using SocketMaker = SOCKET (*)(void* context, int family, int type, int protocol);
SOCKET OpenGameSocket(int family, int type, int protocol, SocketMaker make, void* context);

// IPX-level options a game sets on one of its IPX sockets. They shape IPX headers, which
// the UDP socket standing for it has none of, so the list keeps them for the socket (an
// IPX stack's defaults until the game sets them) and forgets them with it.
struct IpxSocketOptions {
    int packet_type = 0;             // IPX_PTYPE
    int filter_packet_type = 0;      // IPX_FILTERPTYPE, while `filtering`
    bool filtering = false;          // until IPX_STOPFILTERPTYPE
    int datastream_type = 0;         // IPX_DSTYPE
    bool receive_broadcast = true;   // IPX_RECEIVE_BROADCAST
    bool immediate_spx_ack = false;  // IPX_IMMEDIATESPXACK
};
// False when the socket is not in the list.
bool GetIPXSockOptions(SOCKET s, IpxSocketOptions* out);
bool SetIPXSockOptions(SOCKET s, const IpxSocketOptions& options);

// The machine's own addresses (addresses.cpp). A UDP socket that the game bound to
// one of them is bound to all addresses instead (so that what the launcher delivers
// to 127.0.0.1 reaches it); the list keeps the address the game asked for.
void RememberBoundAddress(SOCKET s, uint32_t ip);
bool BoundAddressOf(SOCKET s, uint32_t* ip);
void ForgetBoundAddress(SOCKET s);
// True when `ip` (network order) is the broadcast address of one of the machine's networks.
bool IsOwnNetworkBroadcast(uint32_t ip);
// The address other players reach this machine at (network order), chosen as the
// session library chooses the address it stamps; 0 when there is none.
uint32_t OwnAddress();
// The address the launcher says other players' games know this one by (network order)
// while only the relay service reaches this player (a router stands between); 0 when
// the machine's own address does, or no launcher answers.
uint32_t RelayedOwnAddress();
// The player's session address while the machine's own address reaches it too (a
// public player whom the members behind routers see at its session address): its game
// lists it after the machine's own addresses and may bind to it; 0 otherwise.
uint32_t SessionOwnAddress();
// The address an IPX socket's node names (00 00 + these four bytes): the relayed one
// while a router stands between, else the machine's own.
uint32_t IpxNodeAddress();
// Where a datagram to `ip` (network order) goes when `ip` is an address of another
// member of the session (the launcher's routes, asked for with the relayed address);
// false when it is none.
bool RouteToMember(uint32_t ip, ozlan::Route* route);
// One exchange, one address (exchange_memory.h): the game sent a datagram to `ip`:`port`
// (network order, host order) of another member, through `route` when one led there
// (null: sent where it was addressed). What then comes from that member shows as from
// the address the game last sent to for it.
void RememberSentTo(uint32_t ip, uint16_t port, const ozlan::Route* route);
void ShowAsSentTo(sockaddr_in* source);

// Whether `name` is the machine's own name (any case).
bool IsOwnHostName(const char* name);

// Binds the real function and calls it with the arguments as given, or returns
// `failure` when it cannot be bound. A must match the real parameter types.
template <RealId Id, class R, class... A>
R Forward(R failure, A... args) {
    void* real = BindReal(Id);
    if (!real) return failure;
    return reinterpret_cast<R(WSAAPI*)(A...)>(real)(args...);
}

// The same for exports that write lines after the call: false (and nothing written
// to `result`) when the real function cannot be bound.
template <RealId Id, class R, class... A>
bool Call(R* result, A... args) {
    void* real = BindReal(Id);
    if (!real) return false;
    *result = reinterpret_cast<R(WSAAPI*)(A...)>(real)(args...);
    return true;
}

// The IPX address the game uses (14 bytes).
struct IpxAddress {
    uint16_t family;
    uint8_t netnum[4];
    uint8_t nodenum[6];
    uint8_t socket[2];  // network order
};
static_assert(sizeof(IpxAddress) == 14);
constexpr int kIpxFamily = 6;
constexpr int kIpxAddressSize = 14;
constexpr int kNsprotoIpx = 1000;
constexpr int kNsprotoSpx = 1256;
constexpr int kNsprotoSpxII = 1257;

// The UDP port (host order) that stands for an IPX socket number, and back.
inline uint16_t MappedPort(const uint8_t socket[2]) {
    return uint16_t(socket[0] | (socket[1] << 8));
}

// ipx.cpp: the IPX form of an IPv4 endpoint (logging its interface and address lines
// behind `prefix`), and the three lines that show an IPX address.
IpxAddress ToIpxAddress(const char* prefix, SOCKET s, const sockaddr_in& endpoint);
void LogIpxAddressLines(const char* prefix, const IpxAddress& a);

}  // namespace ozlan::proxy

// The proxy's own exports that its other exports call, so that those calls show in
// the log as a game's would.
#define EXPORT extern "C"
EXPORT u_long WSAAPI mp_htonl(u_long value);
EXPORT u_short WSAAPI mp_htons(u_short value);
EXPORT u_short WSAAPI mp_ntohs(u_short value);
EXPORT unsigned long WSAAPI mp_inet_addr(const char* text);
EXPORT char* WSAAPI mp_inet_ntoa(in_addr address);
EXPORT int WSAAPI mp_WSAGetLastError();
EXPORT void WSAAPI mp_WSASetLastError(int error);
EXPORT int WSAAPI mp_sendto(SOCKET s, const char* buffer, int length, int flags, const sockaddr* to,
                            int to_length);
EXPORT SOCKET WSAAPI mp_socket(int family, int type, int protocol);
EXPORT int WSAAPI mp_closesocket(SOCKET s);
EXPORT hostent* WSAAPI mp_gethostbyname(const char* name);
EXPORT int WSAAPI mp_WSARecvFrom(SOCKET s, LPWSABUF buffers, DWORD count, LPDWORD received,
                                 LPDWORD flags, sockaddr* from, LPINT from_length,
                                 LPWSAOVERLAPPED overlapped,
                                 LPWSAOVERLAPPED_COMPLETION_ROUTINE completion);

#define OZWS_LOG(level, ...) \
    ::ozlan::proxy::LogMessage(::ozlan::proxy::kSourceWsock32, __LINE__, level, __VA_ARGS__)
