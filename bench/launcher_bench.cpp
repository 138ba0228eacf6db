// How fast one launcher forwards its game's broadcasts: a game thread floods the
// relay port 3668 with launcher link messages at a fixed rate for one second, and a
// counting relay service (relay_sink, a native program, started by bench/launcher-bench)
// tells how many the real OZLAN.dll delivered. Baseline in the same run: the same
// flood from one plain UDP socket to another, read by a thread. Runs under Wine from
// the build's bin folder: launcher_bench.exe SINK-PORT.
#include <winsock2.h>
#include <windows.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "session/ozlan.h"
#include "protocol/wire.h"

namespace {

using namespace ozlan;

constexpr int kPayload = 100;
constexpr int kRates[] = {1000, 2000, 3000, 4000, 5000, 6000, 8000, 10000, 20000};

int64_t NowUs() {
    return std::chrono::duration_cast<std::chrono::microseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

std::string ProgramFolder() {
    char path[MAX_PATH];
    GetModuleFileNameA(nullptr, path, MAX_PATH);
    std::string s(path);
    return s.substr(0, s.find_last_of('\\'));
}

// Asks the counting relay service (plain UDP on its control port); the answer text.
std::string AskSink(uint16_t control_port, const char* request) {
    SOCKET s = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = inet_addr(kLoopbackText);
    to.sin_port = htons(control_port);
    char answer[64] = {};
    for (int attempt = 0; attempt < 5 && !answer[0]; ++attempt) {
        sendto(s, request, int(std::strlen(request)), 0, reinterpret_cast<sockaddr*>(&to),
               sizeof to);
        fd_set set;
        FD_ZERO(&set);
        FD_SET(s, &set);
        timeval wait{1, 0};
        if (select(0, &set, nullptr, nullptr, &wait) == 1) {
            recv(s, answer, sizeof answer - 1, 0);
        }
    }
    closesocket(s);
    return answer;
}

// Sends `rate` link messages in one second from `s` to 127.0.0.1:port: each
// millisecond, those due by then (as a game's frame loop would, without taking a
// core from the rest).
void Flood(SOCKET s, uint16_t port, int rate) {
    std::vector<uint8_t> message(kLinkHeaderSize + kPayload, 0x5A);
    WriteLinkHeader(message.data(), 4000);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = inet_addr(kLoopbackText);
    to.sin_port = htons(port);
    int64_t start = NowUs();
    for (uint32_t i = 0; i < uint32_t(rate); ++i) {
        int64_t due = start + int64_t(i) * 1000000 / rate;
        while (NowUs() < due) Sleep(1);
        std::memcpy(message.data() + kLinkHeaderSize, &i, 4);
        sendto(s, reinterpret_cast<const char*>(message.data()), int(message.size()), 0,
               reinterpret_cast<sockaddr*>(&to), sizeof to);
    }
}

// Dispatches this thread's messages (the library's timer) for `ms`.
void Dispatch(int ms) {
    int64_t end = NowUs() + int64_t(ms) * 1000;
    while (NowUs() < end) {
        MSG msg;
        while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageA(&msg);
        Sleep(1);
    }
}

// The plain baseline: how many of `rate` datagrams a reading thread gets.
int PlainRun(int rate) {
    SOCKET receiver = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = inet_addr(kLoopbackText);
    bind(receiver, reinterpret_cast<sockaddr*>(&local), sizeof local);
    int size = sizeof local;
    getsockname(receiver, reinterpret_cast<sockaddr*>(&local), &size);
    std::atomic<int> got{0};
    std::atomic<bool> stop{false};
    std::thread reader([&] {
        char buffer[2048];
        while (!stop) {
            fd_set set;
            FD_ZERO(&set);
            FD_SET(receiver, &set);
            timeval wait{0, 10000};
            if (select(0, &set, nullptr, nullptr, &wait) == 1 &&
                recv(receiver, buffer, sizeof buffer, 0) > 0) {
                ++got;
            }
        }
    });
    SOCKET sender = socket(AF_INET, SOCK_DGRAM, 0);
    Flood(sender, ntohs(local.sin_port), rate);
    Sleep(500);
    stop = true;
    reader.join();
    closesocket(sender);
    closesocket(receiver);
    return got;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::printf("usage: launcher_bench SINK-PORT (bench/launcher-bench starts both)\n");
        return 2;
    }
    uint16_t sink_port = uint16_t(std::atoi(argv[1]));
    WSADATA data;
    WSAStartup(0x0101, &data);
    HMODULE library = LoadLibraryA((ProgramFolder() + "\\OZLAN.dll").c_str());
    if (!library) {
        std::printf("launcher_bench: OZLAN.dll not found beside the program\n");
        return 1;
    }
    auto init = reinterpret_cast<OZLanInitFn>(
        reinterpret_cast<void*>(GetProcAddress(library, "OZLanInit")));
    auto pre_launch = reinterpret_cast<OZLanPreLaunchFn>(
        reinterpret_cast<void*>(GetProcAddress(library, "OZLanPreLaunch")));
    auto end_session = reinterpret_cast<OZLanEndSessionFn>(
        reinterpret_cast<void*>(GetProcAddress(library, "OZLanEndSession")));
    char temp[MAX_PATH];
    GetTempPathA(MAX_PATH, temp);
    std::string game_folder = std::string(temp) + "ozlan-launcher-bench";
    CreateDirectoryA(game_folder.c_str(), nullptr);
    if (init("127.0.0.1", sink_port) != 1) return 1;
    Dispatch(300);
    if (pre_launch(game_folder.c_str(), "bench") != 1) {
        std::printf("launcher_bench: the session could not be prepared\n");
        return 1;
    }
    Dispatch(300);

    std::printf("%-8s | %-32s | %-26s\n", "offered", "launcher -> relay service",
                "plain UDP (baseline)");
    int best_launcher = 0, best_plain = 0;
    SOCKET game = socket(AF_INET, SOCK_DGRAM, 0);
    for (int rate : kRates) {
        AskSink(uint16_t(sink_port + 1), "reset");
        std::thread flood([&] { Flood(game, kRelayPort, rate); });
        Dispatch(1000);
        flood.join();
        Dispatch(1500);  // stragglers and resends
        int launcher = 0, duplicates = 0;
        std::sscanf(AskSink(uint16_t(sink_port + 1), "count").c_str(), "%d %d", &launcher,
                    &duplicates);
        int plain = PlainRun(rate);
        if (launcher == rate && duplicates == 0) best_launcher = rate;
        if (plain == rate) best_plain = rate;
        std::printf("%-8d | %6d received (%5.1f%%) %4d dup | %6d received (%5.1f%%)\n", rate,
                    launcher, 100.0 * launcher / rate, duplicates, plain, 100.0 * plain / rate);
        std::fflush(stdout);
    }
    std::printf("highest rate with none lost: launcher %d/s, plain UDP %d/s, ratio %.2f\n",
                best_launcher, best_plain, best_plain ? double(best_launcher) / best_plain : 0.0);
    closesocket(game);
    end_session();
    RemoveDirectoryA(game_folder.c_str());
    return 0;
}
