// The proxy into a game's process: for a launcher that started the game suspended, the
// session library loads ozws.dll (from its own folder) into that process on a thread of
// the process's own, then runs the proxy's takeover there, before any line of the game
// has run. Nothing is written into the game's folder.
#include <windows.h>
// After windows.h.
#include <psapi.h>

#include <cstdio>
#include <cstring>

#include "session/ozlan.h"
#include "session/session.h"

namespace ozlan {
namespace {

constexpr DWORD kRemoteWaitMs = 15000;
constexpr const char* kTakeOverExport = "TakeOverGame";

bool SameBitness(HANDLE process) {
    BOOL ours = FALSE, theirs = FALSE;
    if (!IsWow64Process(GetCurrentProcess(), &ours) || !IsWow64Process(process, &theirs)) {
        return false;
    }
    return ours == theirs;
}

// Runs `start(argument)` on a new thread of `process`; its exit code, or false.
bool RunRemote(HANDLE process, void* start, void* argument, DWORD* exit_code) {
    HANDLE thread = CreateRemoteThread(process, nullptr, 0,
                                       reinterpret_cast<LPTHREAD_START_ROUTINE>(start), argument,
                                       0, nullptr);
    if (!thread) return false;
    bool done = WaitForSingleObject(thread, kRemoteWaitMs) == WAIT_OBJECT_0 &&
                GetExitCodeThread(thread, exit_code);
    CloseHandle(thread);
    return done;
}

// Where `path` (a DLL) lies in `process`; null when it is not loaded there.
HMODULE RemoteModule(HANDLE process, const char* path) {
    HMODULE modules[1024];
    DWORD needed = 0;
    if (!K32EnumProcessModules(process, modules, sizeof modules, &needed)) return nullptr;
    size_t n = needed / sizeof(HMODULE);
    if (n > sizeof modules / sizeof modules[0]) n = sizeof modules / sizeof modules[0];
    for (size_t i = 0; i < n; ++i) {
        char name[MAX_PATH];
        if (K32GetModuleFileNameExA(process, modules[i], name, MAX_PATH) &&
            _stricmp(name, path) == 0) {
            return modules[i];
        }
    }
    return nullptr;
}

// How far into ozws.dll its takeover export lies (the same in any process).
bool TakeOverOffset(const char* path, uintptr_t* offset) {
    HMODULE local = LoadLibraryExA(path, nullptr, DONT_RESOLVE_DLL_REFERENCES);
    if (!local) return false;
    FARPROC entry = GetProcAddress(local, kTakeOverExport);
    if (entry) *offset = reinterpret_cast<uintptr_t>(entry) - reinterpret_cast<uintptr_t>(local);
    FreeLibrary(local);
    return entry != nullptr;
}

}  // namespace
}  // namespace ozlan

using namespace ozlan;

extern "C" uint32_t OZLAN_CALL OZLanTakeOverProcess(void* process) {
    SessionState& s = Session();
    HANDLE target = static_cast<HANDLE>(process);
    char path[kPathSize];
    int length = std::snprintf(path, sizeof path, "%s\\ozws.dll", s.module_folder);
    if (!target || !SameBitness(target) || length <= 0 || size_t(length) >= sizeof path) return 0;
    uintptr_t offset = 0;
    if (!TakeOverOffset(path, &offset)) return 0;
    size_t size = std::strlen(path) + 1;
    void* remote_path =
        VirtualAllocEx(target, nullptr, size, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
    if (!remote_path) return 0;
    DWORD loaded = 0;
    bool ok = WriteProcessMemory(target, remote_path, path, size, nullptr) &&
              RunRemote(target,
                        reinterpret_cast<void*>(
                            GetProcAddress(GetModuleHandleA("kernel32.dll"), "LoadLibraryA")),
                        remote_path, &loaded) &&
              loaded != 0;
    VirtualFreeEx(target, remote_path, 0, MEM_RELEASE);
    HMODULE remote = ok ? RemoteModule(target, path) : nullptr;
    if (!remote) return 0;
    DWORD slots = 0;
    if (!RunRemote(target, reinterpret_cast<uint8_t*>(remote) + offset, nullptr, &slots)) return 0;
    return 1;
}
