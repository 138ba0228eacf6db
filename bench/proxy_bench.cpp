// The Winsock proxy's cost: a loop of sendto and recvfrom over loopback through the
// proxy, against the same loop on the real Winsock in the same run; the proxy
// without a logging library, and with QUILLET.DLL keeping every line. Also the
// logging library's own lines per second. Run under Wine with wsock32=n,b.
#include <winsock2.h>
#include <windows.h>

#include <chrono>
#include <cstdio>
#include <string>

namespace {

using Clock = std::chrono::steady_clock;
using StartupFn = int(WSAAPI*)(WORD, LPWSADATA);
using SocketFn = SOCKET(WSAAPI*)(int, int, int);
using BindFn = int(WSAAPI*)(SOCKET, const sockaddr*, int);
using NameFn = int(WSAAPI*)(SOCKET, sockaddr*, int*);
using SendtoFn = int(WSAAPI*)(SOCKET, const char*, int, int, const sockaddr*, int);
using RecvfromFn = int(WSAAPI*)(SOCKET, char*, int, int, sockaddr*, int*);
using CloseFn = int(WSAAPI*)(SOCKET);
using LogWriteFn = void(__cdecl*)(const char*, int, int, const char*, ...);
using LogInitFn = void(__cdecl*)(const char*, int, int, const char*, const char*);
using LogShutdownFn = void(__cdecl*)();

template <class F>
F Get(HMODULE m, const char* name) {
    return reinterpret_cast<F>(reinterpret_cast<void*>(GetProcAddress(m, name)));
}

std::string Folder(const std::string& path) {
    return path.substr(0, path.find_last_of('\\'));
}

std::string ProgramFolder() {
    char path[MAX_PATH];
    GetModuleFileNameA(nullptr, path, MAX_PATH);
    return Folder(path);
}

std::string TempFolder(const char* tag) {
    char temp[MAX_PATH];
    GetTempPathA(MAX_PATH, temp);
    std::string path = std::string(temp) + "ozws-bench-" + tag;
    CreateDirectoryA(path.c_str(), nullptr);
    return path;
}

// Round trips per second: one socket sends 64-byte datagrams to itself and reads
// each back.
double Loop(HMODULE winsock, int count) {
    WSADATA data;
    Get<StartupFn>(winsock, "WSAStartup")(0x0101, &data);
    auto sock = Get<SocketFn>(winsock, "socket");
    auto bind = Get<BindFn>(winsock, "bind");
    auto name = Get<NameFn>(winsock, "getsockname");
    auto sendto = Get<SendtoFn>(winsock, "sendto");
    auto recvfrom = Get<RecvfromFn>(winsock, "recvfrom");
    SOCKET s = sock(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in self{};
    self.sin_family = AF_INET;
    self.sin_addr.s_addr = 0x0100007F;
    bind(s, reinterpret_cast<sockaddr*>(&self), sizeof self);
    int n = sizeof self;
    name(s, reinterpret_cast<sockaddr*>(&self), &n);
    char buffer[64] = {};
    auto t0 = Clock::now();
    for (int i = 0; i < count; ++i) {
        sendto(s, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(&self), sizeof self);
        sockaddr_in from{};
        int from_length = sizeof from;
        recvfrom(s, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(&from), &from_length);
    }
    double seconds = std::chrono::duration<double>(Clock::now() - t0).count();
    Get<CloseFn>(winsock, "closesocket")(s);
    return count / seconds;
}

// The proxy copied as wsock32.dll into a folder of its own; `logging_folder` is where
// QUILLET.DLL is looked for ("" for nowhere).
double ProxyLoop(const std::string& logging_folder, int count) {
    std::string folder = TempFolder(logging_folder.empty() ? "quiet" : "logged");
    std::string proxy = folder + "\\wsock32.dll";
    CopyFileA((Folder(ProgramFolder()) + "\\ozws.dll").c_str(), proxy.c_str(), FALSE);
    SetDllDirectoryA(logging_folder.empty() ? folder.c_str() : logging_folder.c_str());
    HMODULE m = LoadLibraryA(proxy.c_str());
    SetDllDirectoryA(nullptr);
    if (!m) {
        std::printf("cannot load the proxy from %s\n", proxy.c_str());
        return 0;
    }
    double rate = Loop(m, count);
    FreeLibrary(m);
    DeleteFileA(proxy.c_str());
    return rate;
}

double LinesPerSecond(HMODULE quillet, int level, int count) {
    auto write = Get<LogWriteFn>(quillet, "LogWrite");
    auto t0 = Clock::now();
    for (int i = 0; i < count; ++i)
        write("wsock32\\wsock32", 120, level, "[wsock32.dll] mp_recv(%d,,%d,%d)", i, 64, 0);
    return count / std::chrono::duration<double>(Clock::now() - t0).count();
}

}  // namespace

int main() {
    std::string bin = Folder(ProgramFolder());
    std::string logs = TempFolder("logs");
    SetEnvironmentVariableA("QUILLET_LOGDIR", logs.c_str());
    SetEnvironmentVariableA("QUILLET_LEVEL", "2000");
    SetEnvironmentVariableA("QUILLET_MAX_BYTES", "1000000000");
    const int count = 20000;

    char system[MAX_PATH];
    GetSystemDirectoryA(system, MAX_PATH);
    HMODULE real = LoadLibraryA((std::string(system) + "\\wsock32.dll").c_str());
    double builtin = Loop(real, count);
    double quiet = ProxyLoop("", count);
    double logged = ProxyLoop(bin, count);
    std::printf("sendto+recvfrom round trips per second over loopback (%d, 64 bytes)\n", count);
    std::printf("%-34s %12.0f %8s\n", "real Winsock (baseline)", builtin, "1.00");
    std::printf("%-34s %12.0f %8.2f\n", "proxy, no logging library", quiet, quiet / builtin);
    std::printf("%-34s %12.0f %8.2f\n", "proxy, QUILLET keeping every line", logged,
                logged / builtin);

    HMODULE quillet = LoadLibraryA((bin + "\\QUILLET.DLL").c_str());
    Get<LogInitFn>(quillet, "LogInit")("bench", 1, 2000, "bench.dll",
                                       "%logdir%\\bench-%rotate%.log");
    double kept = LinesPerSecond(quillet, 2000, 200000);
    double filtered = LinesPerSecond(quillet, 2001, 200000);
    Get<LogShutdownFn>(quillet, "LogShutdown")();
    std::printf("\nQUILLET.DLL lines per second: kept %.0f, below the threshold %.0f\n", kept,
                filtered);
    return 0;
}
