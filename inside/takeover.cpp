#include "inside/takeover.h"

#include <psapi.h>

#include <cctype>
#include <cstring>

#include "inside/import_table.h"

namespace ozlan {
namespace {

constexpr size_t kMaxModules = 1024;
constexpr size_t kMaxSlotsPerModule = 8192;
constexpr size_t kMaxReplacements = 256;
constexpr const char* kWinsockModules[] = {"wsock32.dll", "ws2_32.dll"};
constexpr const char* kLoaderModules[] = {"kernel32.dll", "kernelbase.dll"};

using LoadLibraryAFn = HMODULE(WINAPI*)(LPCSTR);
using LoadLibraryWFn = HMODULE(WINAPI*)(LPCWSTR);
using LoadLibraryExAFn = HMODULE(WINAPI*)(LPCSTR, HANDLE, DWORD);
using LoadLibraryExWFn = HMODULE(WINAPI*)(LPCWSTR, HANDLE, DWORD);
using GetProcAddressFn = FARPROC(WINAPI*)(HMODULE, LPCSTR);

// A real function's address and what a slot holding it gets instead.
struct Redirect {
    const void* real;
    void* replacement;
};

struct TakeoverState {
    CRITICAL_SECTION lock;
    bool started = false;
    HMODULE own = nullptr;
    const Replacement* table = nullptr;
    size_t table_size = 0;
    // The real functions as loaded now: Winsock ones (per module) and the loader's.
    Redirect redirects[kMaxReplacements * 2 + 16] = {};
    size_t redirect_count = 0;
    TakeoverCount count;
    LoadLibraryAFn load_a = nullptr;
    LoadLibraryWFn load_w = nullptr;
    LoadLibraryExAFn load_ex_a = nullptr;
    LoadLibraryExWFn load_ex_w = nullptr;
    GetProcAddressFn get_proc = nullptr;
    ImportSlot slots[kMaxSlotsPerModule];
    HMODULE modules[kMaxModules];
};

template <class F>
F FunctionAt(FARPROC address) {
    return reinterpret_cast<F>(reinterpret_cast<void*>(address));
}

TakeoverState& State() {
    static TakeoverState state;
    return state;
}

bool SameName(const char* a, const char* b) {
    for (; *a && *b; ++a, ++b) {
        if (std::tolower(static_cast<unsigned char>(*a)) !=
            std::tolower(static_cast<unsigned char>(*b))) {
            return false;
        }
    }
    return *a == *b;
}

// The file name of a loaded module ("WS2_32.dll"), lower or upper as it was loaded.
bool ModuleFileName(HMODULE module, char* out, size_t size) {
    char path[MAX_PATH];
    DWORD n = GetModuleFileNameA(module, path, sizeof path);
    if (n == 0 || n >= sizeof path) return false;
    const char* name = path;
    for (const char* p = path; *p; ++p) {
        if (*p == '\\' || *p == '/') name = p + 1;
    }
    size_t length = std::strlen(name);
    if (length >= size) return false;
    std::memcpy(out, name, length + 1);
    return true;
}

bool IsSkipped(HMODULE module) {
    TakeoverState& s = State();
    if (module == s.own) return true;
    char name[MAX_PATH];
    if (!ModuleFileName(module, name, sizeof name)) return true;
    // The Winsock stack keeps calling itself, and the loader too (its functions call one
    // another through their own imports).
    if (IsWinsockModule(name) || SameName(name, "mswsock.dll") || SameName(name, "ntdll.dll")) {
        return true;
    }
    for (const char* loader : kLoaderModules) {
        if (SameName(name, loader)) return true;
    }
    return false;
}

HMODULE WINAPI HookLoadLibraryA(LPCSTR file);
HMODULE WINAPI HookLoadLibraryW(LPCWSTR file);
HMODULE WINAPI HookLoadLibraryExA(LPCSTR file, HANDLE reserved, DWORD flags);
HMODULE WINAPI HookLoadLibraryExW(LPCWSTR file, HANDLE reserved, DWORD flags);
FARPROC WINAPI HookGetProcAddress(HMODULE module, LPCSTR name);

void AddRedirect(const void* real, void* replacement) {
    TakeoverState& s = State();
    if (!real || s.redirect_count == sizeof s.redirects / sizeof s.redirects[0]) return;
    for (size_t i = 0; i < s.redirect_count; ++i) {
        if (s.redirects[i].real == real) return;
    }
    s.redirects[s.redirect_count++] = {real, replacement};
}

// The real addresses of the Winsock modules loaded now, and the loader's.
void RefreshRedirects() {
    TakeoverState& s = State();
    s.redirect_count = 0;
    for (const char* dll : kWinsockModules) {
        HMODULE module = GetModuleHandleA(dll);
        if (!module) continue;
        for (size_t i = 0; i < s.table_size; ++i) {
            AddRedirect(reinterpret_cast<const void*>(s.get_proc(module, s.table[i].name)),
                        s.table[i].function);
        }
    }
    const struct {
        const char* name;
        void* hook;
    } loader[] = {
        {"LoadLibraryA", reinterpret_cast<void*>(HookLoadLibraryA)},
        {"LoadLibraryW", reinterpret_cast<void*>(HookLoadLibraryW)},
        {"LoadLibraryExA", reinterpret_cast<void*>(HookLoadLibraryExA)},
        {"LoadLibraryExW", reinterpret_cast<void*>(HookLoadLibraryExW)},
        {"GetProcAddress", reinterpret_cast<void*>(HookGetProcAddress)},
    };
    for (const char* dll : kLoaderModules) {
        HMODULE module = GetModuleHandleA(dll);
        if (!module) continue;
        for (const auto& l : loader) {
            AddRedirect(reinterpret_cast<const void*>(s.get_proc(module, l.name)), l.hook);
        }
    }
}

void* RedirectOf(const void* real) {
    TakeoverState& s = State();
    for (size_t i = 0; i < s.redirect_count; ++i) {
        if (s.redirects[i].real == real) return s.redirects[i].replacement;
    }
    return nullptr;
}

void WriteSlot(void** slot, void* value) {
    DWORD old_protection;
    if (!VirtualProtect(slot, sizeof *slot, PAGE_READWRITE, &old_protection)) return;
    *slot = value;
    VirtualProtect(slot, sizeof *slot, old_protection, &old_protection);
}

void TakeOverModule(HMODULE module) {
    TakeoverState& s = State();
    MODULEINFO info{};
    if (!K32GetModuleInformation(GetCurrentProcess(), module, &info, sizeof info)) return;
    auto* image = static_cast<uint8_t*>(info.lpBaseOfDll);
    size_t count = 0;
    ImportRead read = ReadImports(image, info.SizeOfImage, s.slots, kMaxSlotsPerModule, &count);
    if (read != ImportRead::Ok && read != ImportRead::TooMany) return;
    ++s.count.modules;
    for (size_t i = 0; i < count; ++i) {
        void** slot = reinterpret_cast<void**>(image + s.slots[i].slot_rva);
        if (void* replacement = RedirectOf(*slot)) {
            WriteSlot(slot, replacement);
            ++s.count.slots;
        }
    }
}

// Every module loaded now; the lock is held.
void TakeOverLoaded() {
    TakeoverState& s = State();
    RefreshRedirects();
    DWORD needed = 0;
    if (!K32EnumProcessModules(GetCurrentProcess(), s.modules, sizeof s.modules, &needed)) return;
    size_t n = needed / sizeof(HMODULE);
    if (n > kMaxModules) n = kMaxModules;
    for (size_t i = 0; i < n; ++i) {
        if (!IsSkipped(s.modules[i])) TakeOverModule(s.modules[i]);
    }
}

void AfterLoad(HMODULE loaded) {
    if (!loaded) return;
    DWORD error = GetLastError();
    TakeoverState& s = State();
    EnterCriticalSection(&s.lock);
    TakeOverLoaded();
    LeaveCriticalSection(&s.lock);
    SetLastError(error);
}

HMODULE WINAPI HookLoadLibraryA(LPCSTR file) {
    HMODULE module = State().load_a(file);
    AfterLoad(module);
    return module;
}

HMODULE WINAPI HookLoadLibraryW(LPCWSTR file) {
    HMODULE module = State().load_w(file);
    AfterLoad(module);
    return module;
}

HMODULE WINAPI HookLoadLibraryExA(LPCSTR file, HANDLE reserved, DWORD flags) {
    HMODULE module = State().load_ex_a(file, reserved, flags);
    AfterLoad(module);
    return module;
}

HMODULE WINAPI HookLoadLibraryExW(LPCWSTR file, HANDLE reserved, DWORD flags) {
    HMODULE module = State().load_ex_w(file, reserved, flags);
    AfterLoad(module);
    return module;
}

FARPROC WINAPI HookGetProcAddress(HMODULE module, LPCSTR name) {
    TakeoverState& s = State();
    FARPROC real = s.get_proc(module, name);
    if (!real) return real;
    EnterCriticalSection(&s.lock);
    void* replacement = RedirectOf(reinterpret_cast<const void*>(real));
    LeaveCriticalSection(&s.lock);
    return replacement ? reinterpret_cast<FARPROC>(reinterpret_cast<intptr_t>(replacement)) : real;
}

}  // namespace

TakeoverCount TakeOverProcess(HMODULE own, const Replacement* table, size_t count) {
    TakeoverState& s = State();
    if (!s.started) {
        InitializeCriticalSection(&s.lock);
        HMODULE kernel32 = GetModuleHandleA("kernel32.dll");
        s.load_a = FunctionAt<LoadLibraryAFn>(GetProcAddress(kernel32, "LoadLibraryA"));
        s.load_w = FunctionAt<LoadLibraryWFn>(GetProcAddress(kernel32, "LoadLibraryW"));
        s.load_ex_a = FunctionAt<LoadLibraryExAFn>(GetProcAddress(kernel32, "LoadLibraryExA"));
        s.load_ex_w = FunctionAt<LoadLibraryExWFn>(GetProcAddress(kernel32, "LoadLibraryExW"));
        s.get_proc = FunctionAt<GetProcAddressFn>(GetProcAddress(kernel32, "GetProcAddress"));
        s.started = true;
    }
    EnterCriticalSection(&s.lock);
    s.own = own;
    s.table = table;
    s.table_size = count < kMaxReplacements ? count : kMaxReplacements;
    TakeOverLoaded();
    TakeoverCount result = s.count;
    LeaveCriticalSection(&s.lock);
    return result;
}

void* ReplacementFor(const void* real_function) {
    TakeoverState& s = State();
    if (!s.started) return nullptr;
    EnterCriticalSection(&s.lock);
    void* replacement = RedirectOf(real_function);
    LeaveCriticalSection(&s.lock);
    return replacement;
}

}  // namespace ozlan
