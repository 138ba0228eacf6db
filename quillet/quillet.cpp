#include "quillet/quillet.h"

#include <windows.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

constexpr int kDefaultLevel = 1000;
constexpr long kDefaultMaxBytes = 8L * 1024 * 1024;
constexpr int kDefaultKeep = 5;
constexpr size_t kLineSize = 1024;

struct Quillet {
    CRITICAL_SECTION lock;
    HMODULE self = nullptr;
    FILE* file = nullptr;
    std::string pattern;  // %logdir% expanded, %rotate% still in it
    int threshold = kDefaultLevel;
    long max_bytes = kDefaultMaxBytes;
    int keep = kDefaultKeep;
    long written = 0;
};
Quillet g_log;

// Keeps the caller's last-error code across a call, whatever the call does.
struct KeepLastError {
    DWORD saved = GetLastError();
    ~KeepLastError() { SetLastError(saved); }
};

struct Locked {
    Locked() { EnterCriticalSection(&g_log.lock); }
    ~Locked() { LeaveCriticalSection(&g_log.lock); }
};

// The process environment as the platform holds it (the C runtime's copy misses
// changes made after start-up).
std::string Env(const char* name) {
    char value[MAX_PATH];
    DWORD n = GetEnvironmentVariableA(name, value, sizeof value);
    return n > 0 && n < sizeof value ? std::string(value, n) : std::string();
}

long EnvNumber(const char* name, long fallback, long min) {
    std::string value = Env(name);
    const char* text = value.c_str();
    if (!*text) return fallback;
    char* end = nullptr;
    long v = std::strtol(text, &end, 10);
    return (*end == 0 && v >= min) ? v : fallback;
}

std::string Replace(std::string text, const std::string& token, const std::string& value) {
    for (size_t at = text.find(token); at != std::string::npos;
         at = text.find(token, at + value.size())) {
        text.replace(at, token.size(), value);
    }
    return text;
}

std::string PathFor(int index) {
    return Replace(g_log.pattern, "%rotate%", std::to_string(index));
}

// Shifts name-1 .. name-(keep-1) up by one, drops the oldest, opens a new name-1.
void Rotate() {
    if (g_log.file) std::fclose(g_log.file);
    g_log.file = nullptr;
    if (g_log.pattern.find("%rotate%") != std::string::npos) {
        DeleteFileA(PathFor(g_log.keep).c_str());
        for (int i = g_log.keep - 1; i >= 1; --i) {
            MoveFileA(PathFor(i).c_str(), PathFor(i + 1).c_str());
        }
    }
    g_log.file = std::fopen(PathFor(1).c_str(), "wb");
    if (g_log.file) std::setvbuf(g_log.file, nullptr, _IOFBF, 64 * 1024);
    g_log.written = 0;
}

std::string Folder(const std::string& path) {
    size_t slash = path.find_last_of("\\/");
    return slash == std::string::npos ? "." : path.substr(0, slash);
}

// Writes one finished line; the lock is held.
void Emit(int level, const char* line, size_t size) {
    if (!g_log.file) return;
    if (std::fwrite(line, 1, size, g_log.file) != size) return;  // a full disk loses lines only
    g_log.written += long(size);
    if (level <= kDefaultLevel) std::fflush(g_log.file);
    if (g_log.written > g_log.max_bytes) Rotate();
}

// "2026-12-08 03:10:49.123  1234  2000 wsock32\wsock32(120): " into out.
size_t Prefix(char* out, size_t room, const char* source, int line, int level) {
    SYSTEMTIME t;
    GetLocalTime(&t);
    int n =
        std::snprintf(out, room, "%04u-%02u-%02u %02u:%02u:%02u.%03u %5lu %5d %s(%d): ", t.wYear,
                      t.wMonth, t.wDay, t.wHour, t.wMinute, t.wSecond, t.wMilliseconds,
                      GetCurrentThreadId(), level, source ? source : "?", line);
    return n < 0 ? 0 : std::min(size_t(n), room - 1);
}

}  // namespace

extern "C" void __cdecl LogInit(const char* source, int line, int level, const char* module_name,
                                const char* pattern) {
    KeepLastError keep;
    Locked guard;
    g_log.threshold = int(EnvNumber("QUILLET_LEVEL", kDefaultLevel, 0));
    g_log.max_bytes = EnvNumber("QUILLET_MAX_BYTES", kDefaultMaxBytes, 1024);
    g_log.keep = int(EnvNumber("QUILLET_KEEP", kDefaultKeep, 1));
    std::string dir;
    if (std::string env = Env("QUILLET_LOGDIR"); !env.empty()) {
        dir = env;
    } else {
        char self[MAX_PATH] = {};
        GetModuleFileNameA(g_log.self, self, MAX_PATH);
        dir = Folder(self);
    }
    g_log.pattern = Replace(pattern ? pattern : "%logdir%\\quillet-%rotate%.log", "%logdir%", dir);
    Rotate();
    char text[kLineSize];
    size_t n = Prefix(text, sizeof text, source, line, level);
    n += size_t(std::snprintf(text + n, sizeof text - n, "log of %s opened\r\n",
                              module_name ? module_name : "?"));
    Emit(0, text, std::min(n, sizeof text - 1));
}

extern "C" void __cdecl LogWrite(const char* source, int line, int level, const char* format, ...) {
    KeepLastError keep;
    if (level > g_log.threshold || !format) return;
    char text[kLineSize];
    size_t n = Prefix(text, sizeof text, source, line, level);
    va_list args;
    va_start(args, format);
    int body = std::vsnprintf(text + n, sizeof text - n - 2, format, args);
    va_end(args);
    n = body < 0 ? n : std::min(n + size_t(body), sizeof text - 3);
    text[n++] = '\r';
    text[n++] = '\n';
    Locked guard;
    Emit(level, text, n);
}

extern "C" void __cdecl LogDump(const char* source, int line, int level, const void* data, int size,
                                int*) {
    KeepLastError keep;
    if (level > g_log.threshold || !data || size <= 0) return;
    const unsigned char* bytes = static_cast<const unsigned char*>(data);
    Locked guard;
    for (int row = 0; row < size; row += 16) {
        char text[kLineSize];
        size_t n = Prefix(text, sizeof text, source, line, level);
        n += size_t(std::snprintf(text + n, sizeof text - n, "%04x: ", row));
        for (int i = row; i < row + 16; ++i) {
            n += size_t(i < size ? std::snprintf(text + n, sizeof text - n, "%02X ", bytes[i])
                                 : std::snprintf(text + n, sizeof text - n, "   "));
        }
        text[n++] = ' ';
        for (int i = row; i < row + 16 && i < size; ++i) {
            text[n++] = (bytes[i] >= 32 && bytes[i] < 127) ? char(bytes[i]) : '.';
        }
        text[n++] = '\r';
        text[n++] = '\n';
        Emit(level, text, n);
    }
}

extern "C" const char* __cdecl GetErrStr(int code) {
    KeepLastError keep;
    static thread_local char text[64];
    std::snprintf(text, sizeof text, "Winsock error %d", code);
    return text;
}

extern "C" void __cdecl LogShutdown(void) {
    KeepLastError keep;
    Locked guard;
    if (g_log.file) std::fclose(g_log.file);
    g_log.file = nullptr;
}

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
    if (reason == DLL_PROCESS_ATTACH) {
        g_log.self = instance;
        InitializeCriticalSection(&g_log.lock);
    } else if (reason == DLL_PROCESS_DETACH) {
        LogShutdown();
        DeleteCriticalSection(&g_log.lock);
    }
    return TRUE;
}
