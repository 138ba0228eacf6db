// What the Linux benchmarks read about the processes they start: a free UDP port to
// start one on, and its CPU time and resident memory from /proc.
#pragma once

#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstring>

#include "transport/socket.h"

namespace ozlan {

inline uint16_t FreeUdpPort() {
    SocketHandle s = SocketOpenUdp();
    SocketBind(s, 0);
    uint16_t port = 0;
    SocketLocalPort(s, &port);
    SocketClose(s);
    return port;
}

// User and system time of the process so far, in seconds.
inline double ProcessCpuSeconds(pid_t pid) {
    char path[64];
    std::snprintf(path, sizeof path, "/proc/%d/stat", int(pid));
    FILE* f = std::fopen(path, "r");
    if (!f) return 0;
    char text[1024] = {};
    size_t n = std::fread(text, 1, sizeof text - 1, f);
    std::fclose(f);
    text[n] = 0;
    // Fields 14 and 15 (user and system time) follow the command name in parentheses.
    const char* after = std::strrchr(text, ')');
    unsigned long long user = 0, system = 0;
    if (after) {
        std::sscanf(after + 2, "%*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %llu %llu", &user,
                    &system);
    }
    return double(user + system) / double(sysconf(_SC_CLK_TCK));
}

inline long ProcessResidentKiB(pid_t pid) {
    char path[64];
    std::snprintf(path, sizeof path, "/proc/%d/status", int(pid));
    FILE* f = std::fopen(path, "r");
    if (!f) return 0;
    char line[256];
    long kib = 0;
    while (std::fgets(line, sizeof line, f)) {
        if (std::sscanf(line, "VmRSS: %ld", &kib) == 1) break;
    }
    std::fclose(f);
    return kib;
}

}  // namespace ozlan
