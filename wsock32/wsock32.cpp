// Library entry: the own module name, the log, where the real Winsock lies, and
// binding each export to its counterpart there on first use.
#include <cstdio>
#include <cstring>

#include "protocol/wire.h"
#include "wsock32/wsock32.h"

namespace ozlan::proxy {

// Kept in the file even though nothing reads it here: see OZLAN_PROXY_MARKER.
[[gnu::used]] extern const char kProxyMarker[] = OZLAN_PROXY_MARKER;

const RealFunction kRealFunctions[R_COUNT] = {
    {"accept", "unable to load accept()", true},
    {"bind", "unable to load bind()", true},
    {"closesocket", "unable to load closesocket()", true},
    {"connect", "unable to load connect()", false},
    {"getpeername", "unable to load getpeername()", true},
    {"getsockname", "unable to load getsockname()", true},
    {"getsockopt", "unable to load getsockopt()", true},
    {"htonl", "unable to load htonl()", true},
    {"htons", "unable to load htons()", true},
    {"inet_addr", "unable to load inet_addr()", true},
    {"inet_ntoa", "unable to load inet_ntoa()", true},
    {"ioctlsocket", "unable to load ioctlsocket()", true},
    {"listen", "unable to load listen()", true},
    {"ntohl", "unable to load ntohl()", true},
    {"ntohs", "unable to load ntohs()", true},
    {"recv", "unable to load recv()", true},
    {"recvfrom", "mp_recvfrom() - unable to load recvfrom()", true},
    {"select", "unable to load select()", true},
    {"send", "unable to load send()", true},
    {"sendto", "mp_sendto() - unable to load sendto()", true},
    {"setsockopt", "unable to load setsockopt()", true},
    {"shutdown", "unable to load shutdown()", false},
    {"socket", "unable to load socket()", true},
    {"WSAAddressToString", "unable to load WSAAddressToString()", true},
    {"WSAIoctl", "unable to load WSAIoctl()", true},
    {"gethostbyaddr", "unable to load gethostbyaddr()", true},
    {"gethostbyname", "Unable to load gethostbyname from the real wsock32.dll!", true},
    {"getprotobyname", "unable to load getprotobyname()", true},
    {"getprotobynumber", "unable to load getprotobynumber()", true},
    {"getservbyname", "unable to load getservbyname()", true},
    {"getservbyport", "unable to load getservbyport()", true},
    {"gethostname", "unable to load gethostname()", true},
    {"WSARecv", "unable to load WSARecv()", true},
    {"WSARecvFrom", "mp_WSARecvFrom() - unable to load WSARecvFrom()", true},
    {"WSAStringToAddress", "unable to load WSAStringToAddress()", true},
    {"WSAAsyncSelect", "unable to load WSAAsyncSelect()", true},
    {"WSAAsyncGetHostByAddr", "unable to load WSAAsyncGetHostByAddr()", true},
    {"WSAAsyncGetHostByName", "unable to load WSAAsyncGetHostByName()", true},
    {"WSACancelAsyncRequest", "unable to load WSACancelAsyncRequest()", true},
    {"WSASetBlockingHook", "unable to load WSASetBlockingHook()", false},
    {"WSAUnhookBlockingHook", "unable to load WSAUnhookBlockingHook()", true},
    {"WSAGetLastError", "unable to load WSAGetLastError()", true},
    {"WSASetLastError", "unable to load WSASetLastError()", true},
    {"WSACancelBlockingCall", "unable to load WSACancelBlockingCall()", true},
    {"WSAIsBlocking", "unable to load WSAIsBlocking()", true},
    {"WSAStartup", "unable to register lp_WSAStartup", true},
    {"WSACleanup", "unable to load WSACleanup()", true},
    {"__WSAFDIsSet", "unable to load __WSAFDIsSet()", true},
    {"EnumProtocolsA", "unable to load EnumProtocols()", true},
    {"AcceptEx", "unable to load AcceptEx()", true},
    {"WSASocketA", "unable to load WSASocketA()", true, true},
    {"WSASocketW", "unable to load WSASocketW()", true, true},
    {"WSASendTo", "unable to load WSASendTo()", true, true},
    {"WSAConnect", "unable to load WSAConnect()", true, true},
    {"getaddrinfo", "unable to load getaddrinfo()", true, true},
    {"GetAddrInfoW", "unable to load GetAddrInfoW()", true, true},
    {"freeaddrinfo", "unable to load freeaddrinfo()", true, true},
    {"FreeAddrInfoW", "unable to load FreeAddrInfoW()", true, true},
};

ProxyState& Proxy() {
    static ProxyState state;
    return state;
}

namespace {

bool FileExists(const char* path) {
    return GetFileAttributesA(path) != INVALID_FILE_ATTRIBUTES;
}

// "%s\%s" into a 260-byte path, cut if it must be.
void JoinPath(char* out, const char* folder, const char* file) {
    std::snprintf(out, kPathSize, "%s\\%s", folder, file);
}

}  // namespace

bool SystemLibraryPath(const char* file, char* out) {
    char system[kPathSize];
    UINT n = GetSystemDirectoryA(system, kPathSize);
    if (n == 0 || n >= kPathSize) return false;
    JoinPath(out, system, file);
    return true;
}

void AttachProcess(HINSTANCE instance) {
    ProxyState& p = Proxy();
    p.own_module_name[0] = 0;
    char path[kPathSize] = {};
    GetModuleFileNameA(instance, path, kPathSize);
    path[kPathSize - 1] = 0;
    if (const char* slash = std::strrchr(path, '\\')) {
        std::snprintf(p.own_module_name, kPathSize, "%s", slash + 1);
        char pattern[kPathSize];
        std::snprintf(pattern, sizeof pattern, "%%logdir%%\\%s-%%rotate%%.log", p.own_module_name);
        LogOpen(kSourceWsock32, __LINE__, kTrace, p.own_module_name, pattern);
        OZWS_LOG(kMilestone, "Corvane's winsock starting '%s'", p.own_module_name);
    }
    const char* file_name = p.own_module_name[0] ? p.own_module_name : "wsock32.dll";
    if (LookupRegistryString(kSystemRootValue, p.registry_value)) {
        std::snprintf(p.system_directory, kPathSize, "%s\\System", p.registry_value);
        JoinPath(p.real_library_path, p.system_directory, file_name);
    } else {
        JoinPath(p.real_library_path, kFallbackSystemFolder, file_name);
    }
    // Neither the registry value nor the fixed folder exists on current Windows or
    // under Wine: then the platform's own system folder holds the real Winsock.
    if (!FileExists(p.real_library_path)) SystemLibraryPath(file_name, p.real_library_path);
    OZWS_LOG(kTrace, "Emulating '%s'", p.real_library_path);
}

void DetachProcess() {
    ProxyState& p = Proxy();
    OZWS_LOG(kMilestone, "Shutting down...");
    if (p.real_library) FreeLibrary(p.real_library);
    if (p.real_winsock2) FreeLibrary(p.real_winsock2);
    LogClose();
}

int LoadRealWinsock() {
    ProxyState& p = Proxy();
    if (!p.real_library) {
        p.real_library = LoadLibraryA(p.real_library_path);
        if (!p.real_library) {
            OZWS_LOG(kFailure, "Unable to load winsock (%s) GetLastError:%u", p.real_library_path,
                     unsigned(GetLastError()));
            return 0;
        }
    }
    OZWS_LOG(kMilestone, "Successfully loaded (%s)", p.real_library_path);
    return 1;
}

namespace {

// ws2_32.dll from the system folder, for the functions Winsock 1.1 lacks.
HMODULE RealWinsock2() {
    ProxyState& p = Proxy();
    char path[kPathSize];
    if (!p.real_winsock2 && SystemLibraryPath("ws2_32.dll", path)) {
        p.real_winsock2 = LoadLibraryA(path);
    }
    return p.real_winsock2;
}

}  // namespace

void* BindReal(RealId id) {
    ProxyState& p = Proxy();
    const RealFunction& f = kRealFunctions[id];
    if (!f.winsock2) {
        // Inside the game's process the proxy loaded no Winsock of its own yet.
        if (!p.real_library && (f.loads || p.inside)) LoadRealWinsock();
        if (!p.real[id] && p.real_library) {
            p.real[id] = reinterpret_cast<void*>(GetProcAddress(p.real_library, f.lookup));
        }
    }
    // Winsock 2's own functions; inside a game's process also what the 1.1 library lacks.
    if (!p.real[id] && (f.winsock2 || p.inside)) {
        if (HMODULE library = RealWinsock2()) {
            p.real[id] = reinterpret_cast<void*>(GetProcAddress(library, f.lookup));
        }
    }
    if (!p.real[id]) OZWS_LOG(kFailure, "%s", f.failure_line);
    return p.real[id];
}

}  // namespace ozlan::proxy

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
    if (reason == DLL_PROCESS_ATTACH) ozlan::proxy::AttachProcess(instance);
    if (reason == DLL_PROCESS_DETACH) ozlan::proxy::DetachProcess();
    return TRUE;
}
