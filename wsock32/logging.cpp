// The proxy's side of QUILLET.DLL: binding it, the LogWrite and LogDump guards, and
// LogMessage, which prefixes every line with the proxy's own file name.
#include <cstdarg>
#include <cstdio>

#include "wsock32/wsock32.h"

namespace ozlan::proxy {
namespace {

using LogInitFn = void(__cdecl*)(const char*, int, int, const char*, const char*);
using LogWriteFn = void(__cdecl*)(const char*, int, int, const char*, ...);
using LogDumpFn = void(__cdecl*)(const char*, int, int, const void*, int, int*);
using LogShutdownFn = void(__cdecl*)();

struct LoggingBinding {
    HMODULE library = nullptr;
    LogInitFn init = nullptr;
    LogWriteFn write = nullptr;
    LogDumpFn dump = nullptr;
    void* get_err_str = nullptr;
    LogShutdownFn shutdown = nullptr;
    int dump_word = 0;
};
LoggingBinding g_log;

template <class F>
F Resolve(const char* name) {
    return reinterpret_cast<F>(reinterpret_cast<void*>(GetProcAddress(g_log.library, name)));
}

}  // namespace

void LogOpen(const char* source, int line, int level, const char* module_name,
             const char* pattern) {
    if (g_log.library) return;
    g_log.library = LoadLibraryA("QUILLET.DLL");
    if (!g_log.library) return LogClose();
    g_log.init = Resolve<LogInitFn>("LogInit");
    g_log.write = g_log.init ? Resolve<LogWriteFn>("LogWrite") : nullptr;
    g_log.dump = g_log.write ? Resolve<LogDumpFn>("LogDump") : nullptr;
    g_log.get_err_str = g_log.dump ? Resolve<void*>("GetErrStr") : nullptr;
    g_log.shutdown = g_log.get_err_str ? Resolve<LogShutdownFn>("LogShutdown") : nullptr;
    if (!g_log.shutdown) return LogClose();
    g_log.init(source, line, level, module_name, pattern);
}

void LogClose() {
    if (!g_log.library) return;
    if (g_log.shutdown) g_log.shutdown();
    HMODULE library = g_log.library;
    g_log = LoggingBinding{};
    FreeLibrary(library);
}

bool LogBound() {
    return g_log.write != nullptr && g_log.shutdown != nullptr;
}

void LogWriteGuard(const char* source, int line, int level, const char* format, ...) {
    if (!LogBound()) return;
    char text[kPathSize];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    g_log.write(source, line, level, "%s", text);
}

void LogDumpGuard(const char* source, int line, int level, const void* data, int size) {
    if (LogBound()) g_log.dump(source, line, level, data, size, &g_log.dump_word);
}

void LogMessage(const char* source, int line, int level, const char* format, ...) {
    if (!LogBound()) return;
    char text[kPathSize];
    char finished[kPathSize];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    std::snprintf(finished, sizeof finished, "[%s] %s", Proxy().own_module_name, text);
    g_log.write(source, line, level, "%s", finished);
}

}  // namespace ozlan::proxy
