// Starts eight threads that count, twenty times over, and nothing else: under the
// user-mode emulator of the 32-bit lane it tells whether 32-bit Wine's threads run
// there at all, apart from any code of ours. Exit code 0 when every count arrived.
#include <windows.h>

#include <cstdio>

namespace {

volatile LONG g_counted = 0;

DWORD WINAPI Count(void*) {
    for (int i = 0; i < 1000; ++i) InterlockedIncrement(&g_counted);
    Sleep(1);
    return 0;
}

}  // namespace

int main() {
    constexpr int kRounds = 20, kThreads = 8;
    for (int round = 0; round < kRounds; ++round) {
        HANDLE threads[kThreads];
        for (HANDLE& t : threads) t = CreateThread(nullptr, 0, Count, nullptr, 0, nullptr);
        WaitForMultipleObjects(kThreads, threads, TRUE, INFINITE);
        for (HANDLE t : threads) CloseHandle(t);
    }
    std::printf("thread probe: %ld of %d counted\n", g_counted, kRounds * kThreads * 1000);
    return g_counted == kRounds * kThreads * 1000 ? 0 : 1;
}
