// The proxy inside the game's process: loaded by the launcher (from its own folder)
// into a game it started suspended, it takes over the Winsock calls of every module of
// the process, whether they import wsock32.dll or ws2_32.dll. The real Winsock is then
// the system's library the game uses.
#include <ws2tcpip.h>

#include <cstdio>

#include "inside/takeover.h"
#include "wsock32/wsock32.h"

using namespace ozlan;
using namespace ozlan::proxy;

EXPORT SOCKET WSAAPI mp_WSASocketA(int, int, int, LPWSAPROTOCOL_INFOA, GROUP, DWORD);
EXPORT SOCKET WSAAPI mp_WSASocketW(int, int, int, LPWSAPROTOCOL_INFOW, GROUP, DWORD);
EXPORT int WSAAPI mp_WSASendTo(SOCKET, LPWSABUF, DWORD, LPDWORD, DWORD, const sockaddr*, int,
                               LPWSAOVERLAPPED, LPWSAOVERLAPPED_COMPLETION_ROUTINE);
EXPORT int WSAAPI mp_WSAConnect(SOCKET, const sockaddr*, int, LPWSABUF, LPWSABUF, LPQOS, LPQOS);
EXPORT int WSAAPI mp_getaddrinfo(const char*, const char*, const ADDRINFOA*, ADDRINFOA**);
EXPORT int WSAAPI mp_GetAddrInfoW(const wchar_t*, const wchar_t*, const ADDRINFOW*, ADDRINFOW**);
EXPORT void WSAAPI mp_freeaddrinfo(ADDRINFOA*);
EXPORT void WSAAPI mp_FreeAddrInfoW(ADDRINFOW*);

namespace {

// The proxy's exports that stand for Winsock functions of the same name in both
// libraries. Those it exports with one function for an A and a W form (address strings,
// protocol lists) are left to the real Winsock here, where a game may call the W form.
constexpr const char* kExportedNames[] = {"accept",
                                          "bind",
                                          "closesocket",
                                          "connect",
                                          "getpeername",
                                          "getsockname",
                                          "getsockopt",
                                          "htonl",
                                          "htons",
                                          "inet_addr",
                                          "inet_ntoa",
                                          "ioctlsocket",
                                          "listen",
                                          "ntohl",
                                          "ntohs",
                                          "recv",
                                          "recvfrom",
                                          "select",
                                          "send",
                                          "sendto",
                                          "setsockopt",
                                          "shutdown",
                                          "socket",
                                          "WSAIoctl",
                                          "gethostbyaddr",
                                          "gethostbyname",
                                          "getprotobyname",
                                          "getprotobynumber",
                                          "getservbyname",
                                          "getservbyport",
                                          "gethostname",
                                          "WSARecv",
                                          "WSARecvFrom",
                                          "WSAAsyncSelect",
                                          "WSAAsyncGetHostByAddr",
                                          "WSAAsyncGetHostByName",
                                          "WSACancelAsyncRequest",
                                          "WSASetBlockingHook",
                                          "WSAUnhookBlockingHook",
                                          "WSAGetLastError",
                                          "WSASetLastError",
                                          "WSACancelBlockingCall",
                                          "WSAIsBlocking",
                                          "WSAStartup",
                                          "WSACleanup",
                                          "__WSAFDIsSet"};
constexpr size_t kExportedCount = sizeof kExportedNames / sizeof kExportedNames[0];

const Replacement kWinsock2Functions[] = {
    {"WSASocketA", reinterpret_cast<void*>(mp_WSASocketA)},
    {"WSASocketW", reinterpret_cast<void*>(mp_WSASocketW)},
    {"WSASendTo", reinterpret_cast<void*>(mp_WSASendTo)},
    {"WSAConnect", reinterpret_cast<void*>(mp_WSAConnect)},
    {"getaddrinfo", reinterpret_cast<void*>(mp_getaddrinfo)},
    {"GetAddrInfoW", reinterpret_cast<void*>(mp_GetAddrInfoW)},
    {"freeaddrinfo", reinterpret_cast<void*>(mp_freeaddrinfo)},
    {"FreeAddrInfoW", reinterpret_cast<void*>(mp_FreeAddrInfoW)},
};
constexpr size_t kWinsock2Count = sizeof kWinsock2Functions / sizeof kWinsock2Functions[0];

Replacement g_table[kExportedCount + kWinsock2Count];

HMODULE OwnModule() {
    HMODULE own = nullptr;
    GetModuleHandleExA(
        GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
        reinterpret_cast<LPCSTR>(&OwnModule), &own);
    return own;
}

}  // namespace

void ozlan::proxy::UseSystemWinsock(const char* real_file) {
    ProxyState& p = Proxy();
    if (!SystemLibraryPath(real_file, p.real_library_path)) return;
    OZWS_LOG(kTrace, "Emulating '%s'", p.real_library_path);
}

// Started by the launcher on a thread of the game's process before the game runs; its
// exit code is the number of import slots that now lead to the proxy.
EXPORT DWORD WINAPI mp_TakeOverGame(LPVOID) {
    ProxyState& p = Proxy();
    p.inside = true;
    HMODULE own = OwnModule();
    UseSystemWinsock(GetModuleHandleA("ws2_32.dll") ? "ws2_32.dll" : "wsock32.dll");
    size_t n = 0;
    for (const char* name : kExportedNames) {
        void* function = reinterpret_cast<void*>(GetProcAddress(own, name));
        if (function) g_table[n++] = {name, function};
    }
    for (const Replacement& r : kWinsock2Functions) g_table[n++] = r;
    TakeoverCount count = TakeOverProcess(own, g_table, n);
    OZWS_LOG(kMilestone, "Inside the game's process: %d import slots of %d modules lead here",
             count.slots, count.modules);
    return DWORD(count.slots);
}
