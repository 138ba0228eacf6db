#include "tests/wsock32/quillet_recorder.h"

#include <windows.h>

#include <cstdarg>
#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

namespace {
std::mutex g_lock;
std::vector<RecordedCallInfo> g_calls;

void Record(const char* kind, const char* source, int line, int level, const char* text) {
    RecordedCallInfo call{};
    std::snprintf(call.kind, sizeof call.kind, "%s", kind);
    std::snprintf(call.source, sizeof call.source, "%s", source ? source : "");
    call.line = line;
    call.level = level;
    std::snprintf(call.text, sizeof call.text, "%s", text);
    std::lock_guard guard(g_lock);
    g_calls.push_back(call);
}
}  // namespace

extern "C" __declspec(dllexport) void __cdecl LogInit(const char* source, int line, int level,
                                                      const char* module_name,
                                                      const char* pattern) {
    char text[600];
    std::snprintf(text, sizeof text, "%s|%s", module_name, pattern);
    Record("init", source, line, level, text);
}

extern "C" __declspec(dllexport) void __cdecl LogWrite(const char* source, int line, int level,
                                                       const char* format, ...) {
    DWORD saved = GetLastError();
    char text[1024];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    Record("write", source, line, level, text);
    SetLastError(saved);
}

extern "C" __declspec(dllexport) void __cdecl LogDump(const char* source, int line, int level,
                                                      const void* data, int size, int*) {
    std::string hex;
    for (int i = 0; i < size; ++i) {
        char b[4];
        std::snprintf(b, sizeof b, "%02X ", static_cast<const unsigned char*>(data)[i]);
        hex += b;
    }
    Record("dump", source, line, level, hex.c_str());
}

#ifndef RECORDER_WITHOUT_GETERRSTR
extern "C" __declspec(dllexport) const char* __cdecl GetErrStr(int) {
    return "error";
}
#endif

extern "C" __declspec(dllexport) void __cdecl LogShutdown(void) {
    Record("shutdown", "", 0, 0, "");
}

extern "C" __declspec(dllexport) int __cdecl RecordedCount(void) {
    std::lock_guard guard(g_lock);
    return int(g_calls.size());
}

extern "C" __declspec(dllexport) int __cdecl RecordedCall(int index, RecordedCallInfo* out) {
    std::lock_guard guard(g_lock);
    if (index < 0 || size_t(index) >= g_calls.size()) return 0;
    *out = g_calls[size_t(index)];
    return 1;
}
