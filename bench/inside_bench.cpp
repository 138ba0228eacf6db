// The proxy inside the game's process against the copy in its folder, in the same run:
// the cost per sendto + recvfrom round trip on loopback through the game's own
// wsock32.dll imports (the copy: the proxy is that wsock32.dll; inside: the imports were
// taken over), with the real Winsock as baseline; and the time to start a game that
// does nothing, plainly and with the takeover (created suspended, ozws.dll loaded, its
// imports taken over, resumed). Runs under Wine from the build's bin folder, beside
// OZLAN.dll, ozws.dll and QUILLET.DLL; the games are copies of this program.
//   inside_bench.exe [--rounds N] [--calls N]
#include <winsock2.h>
#include <windows.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "session/ozlan.h"

namespace {

using Clock = std::chrono::steady_clock;

std::string ProgramPath() {
    char path[MAX_PATH];
    GetModuleFileNameA(nullptr, path, MAX_PATH);
    return path;
}

std::string FolderOf(const std::string& path) {
    return path.substr(0, path.find_last_of('\\'));
}

// The game's part: round trips of 64-byte datagrams from one socket to itself, through
// this program's wsock32.dll imports; prints nanoseconds per round trip.
int PlayCalls(int calls) {
    WSADATA data;
    if (WSAStartup(0x0101, &data) != 0) return 3;
    SOCKET s = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in self{};
    self.sin_family = AF_INET;
    self.sin_addr.s_addr = inet_addr("127.0.0.1");
    int length = sizeof self;
    if (bind(s, reinterpret_cast<sockaddr*>(&self), sizeof self) != 0 ||
        getsockname(s, reinterpret_cast<sockaddr*>(&self), &length) != 0) {
        return 3;
    }
    char datagram[64] = {};
    auto start = Clock::now();
    for (int i = 0; i < calls; ++i) {
        sendto(s, datagram, sizeof datagram, 0, reinterpret_cast<sockaddr*>(&self), sizeof self);
        sockaddr_in from{};
        int n = sizeof from;
        if (recvfrom(s, datagram, sizeof datagram, 0, reinterpret_cast<sockaddr*>(&from), &n) !=
            int(sizeof datagram)) {
            return 4;
        }
    }
    double ns = std::chrono::duration<double, std::nano>(Clock::now() - start).count();
    // Which proxy served the calls: the copy beside the game, the one taken in, or none.
    char winsock[MAX_PATH] = {};
    GetModuleFileNameA(GetModuleHandleA("wsock32.dll"), winsock, MAX_PATH);
    const char* kind = GetModuleHandleA("ozws.dll")                   ? "inside"
                       : FolderOf(winsock) == FolderOf(ProgramPath()) ? "copy"
                                                                      : "real";
    std::printf("%.0f %s\n", ns / calls, kind);
    closesocket(s);
    return 0;
}

struct Run {
    bool ok = false;
    double ms = 0;
    std::string output;
};

// Starts `program` with `arguments` in its folder; `inside`: suspended, taken over by
// the session library, then resumed. Waits for its end; its output and the wall time.
Run Start(const std::string& program, const std::string& arguments, bool inside,
          OZLanTakeOverProcessFn take_over, const std::vector<char>& environment) {
    Run run;
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    HANDLE read_end, write_end;
    if (!CreatePipe(&read_end, &write_end, &inherit, 0)) return run;
    SetHandleInformation(read_end, HANDLE_FLAG_INHERIT, 0);
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = write_end;
    startup.hStdError = write_end;
    std::string command = "\"" + program + "\" " + arguments;
    PROCESS_INFORMATION process{};
    auto begin = Clock::now();
    bool started = CreateProcessA(
        program.c_str(), command.data(), nullptr, nullptr, TRUE, inside ? CREATE_SUSPENDED : 0,
        const_cast<char*>(environment.data()), FolderOf(program).c_str(), &startup, &process);
    CloseHandle(write_end);
    if (!started) {
        CloseHandle(read_end);
        return run;
    }
    bool taken = !inside || take_over(process.hProcess);
    if (inside) ResumeThread(process.hThread);
    char buffer[256];
    DWORD got;
    while (ReadFile(read_end, buffer, sizeof buffer, &got, nullptr) && got > 0) {
        run.output.append(buffer, got);
    }
    WaitForSingleObject(process.hProcess, INFINITE);
    run.ms = std::chrono::duration<double, std::milli>(Clock::now() - begin).count();
    DWORD code = 1;
    GetExitCodeProcess(process.hProcess, &code);
    run.ok = taken && code == 0;
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    CloseHandle(read_end);
    return run;
}

// This process's environment, with `extra` entries put first (later ones of the same
// name are left out).
std::vector<char> Environment(const std::vector<std::string>& extra) {
    std::vector<std::string> entries = extra;
    char* block = GetEnvironmentStringsA();
    for (char* e = block; *e; e += std::strlen(e) + 1) {
        bool replaced = false;
        for (const std::string& x : extra) {
            replaced = replaced || _strnicmp(e, x.c_str(), x.find('=') + 1) == 0;
        }
        if (!replaced) entries.emplace_back(e);
    }
    FreeEnvironmentStringsA(block);
    std::vector<char> result;
    for (const std::string& entry : entries)
        result.insert(result.end(), entry.begin(), entry.end() + 1);
    result.push_back(0);
    return result;
}

double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

int Usage() {
    std::fprintf(stderr, "usage: inside_bench.exe [--rounds N] [--calls N]\n");
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 3 && std::strcmp(argv[1], "game-calls") == 0) return PlayCalls(std::atoi(argv[2]));
    if (argc == 2 && std::strcmp(argv[1], "game-start") == 0) return 0;
    int rounds = 5, calls = 20000;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (i + 1 >= argc || (arg != "--rounds" && arg != "--calls")) return Usage();
        int value = std::atoi(argv[++i]);
        if (value < 1) return Usage();
        (arg == "--rounds" ? rounds : calls) = value;
    }
    std::string folder = FolderOf(ProgramPath());
    HMODULE library = LoadLibraryA((folder + "\\OZLAN.dll").c_str());
    auto take_over = library ? reinterpret_cast<OZLanTakeOverProcessFn>(reinterpret_cast<void*>(
                                   GetProcAddress(library, "OZLanTakeOverProcess")))
                             : nullptr;
    if (!take_over) {
        std::fprintf(stderr, "inside_bench: OZLAN.dll with OZLanTakeOverProcess is missing\n");
        return 1;
    }
    // Two game folders: the plain one (also the one taken over), and one with the copy.
    char temp[MAX_PATH];
    GetTempPathA(MAX_PATH, temp);
    std::string plain = std::string(temp) + "ozlan-inside-bench-plain";
    std::string copy = std::string(temp) + "ozlan-inside-bench-copy";
    CreateDirectoryA(plain.c_str(), nullptr);
    CreateDirectoryA(copy.c_str(), nullptr);
    bool placed =
        CopyFileA(ProgramPath().c_str(), (plain + "\\game.exe").c_str(), FALSE) &&
        CopyFileA(ProgramPath().c_str(), (copy + "\\game.exe").c_str(), FALSE) &&
        CopyFileA((folder + "\\ozws.dll").c_str(), (copy + "\\wsock32.dll").c_str(), FALSE);
    if (!placed) {
        std::fprintf(stderr, "inside_bench: cannot prepare the game folders in %s\n", temp);
        return 1;
    }
    // The proxy finds QUILLET.DLL on PATH and writes only failures: the call path is measured.
    char path[4096] = {};
    GetEnvironmentVariableA("PATH", path, sizeof path);
    std::string search = "PATH=" + folder + ";" + path;
    std::vector<char> quiet = Environment({search, "QUILLET_LEVEL=100", "WINEDLLOVERRIDES="});
    std::vector<char> copy_environment =
        Environment({search, "QUILLET_LEVEL=100", "WINEDLLOVERRIDES=wsock32=n,b"});

    std::string calls_argument = "game-calls " + std::to_string(calls);
    std::vector<double> real_ns, copy_ns, inside_ns, plain_ms, taken_ms;
    for (int r = 0; r < rounds; ++r) {
        Run real = Start(plain + "\\game.exe", calls_argument, false, take_over, quiet);
        Run copied = Start(copy + "\\game.exe", calls_argument, false, take_over, copy_environment);
        Run inside = Start(plain + "\\game.exe", calls_argument, true, take_over, quiet);
        auto served = [](const Run& run, const char* kind) {
            return run.output.find(kind) != std::string::npos;
        };
        if (!real.ok || !copied.ok || !inside.ok || !served(real, "real") ||
            !served(copied, "copy") || !served(inside, "inside")) {
            std::fprintf(stderr, "inside_bench: a game failed (real %d, copy %d, inside %d)\n",
                         real.ok, copied.ok, inside.ok);
            return 1;
        }
        real_ns.push_back(std::atof(real.output.c_str()));
        copy_ns.push_back(std::atof(copied.output.c_str()));
        inside_ns.push_back(std::atof(inside.output.c_str()));
        for (int s = 0; s < 2; ++s) {
            Run started = Start(plain + "\\game.exe", "game-start", false, take_over, quiet);
            Run taken = Start(plain + "\\game.exe", "game-start", true, take_over, quiet);
            if (!started.ok || !taken.ok) {
                std::fprintf(
                    stderr,
                    "inside_bench: a game that does nothing failed (plain %d, taken over %d)\n",
                    started.ok, taken.ok);
                return 1;
            }
            plain_ms.push_back(started.ms);
            taken_ms.push_back(taken.ms);
        }
    }
    double real = Median(real_ns), copied = Median(copy_ns), inside = Median(inside_ns);
    std::printf("sendto+recvfrom round trip, median of %d rounds of %d:\n", rounds, calls);
    std::printf("  real Winsock (baseline)   %8.0f ns  ratio %.2f\n", real, 1.0);
    std::printf("  the copy in the folder    %8.0f ns  ratio %.2f\n", copied, copied / real);
    std::printf("  inside (taken over)       %8.0f ns  ratio %.2f\n", inside, inside / real);
    std::printf("  inside against the copy   ratio %.2f (goal: at most 1.10)\n", inside / copied);
    double start_plain = Median(plain_ms), start_taken = Median(taken_ms);
    std::printf("start-up of a game that does nothing, median of %d:\n", int(plain_ms.size()));
    std::printf("  plain                     %8.1f ms\n", start_plain);
    std::printf("  taken over                %8.1f ms  (+%.1f ms, ratio %.2f)\n", start_taken,
                start_taken - start_plain, start_taken / start_plain);
    return 0;
}
