// ozrelay: the relay service an operator runs.
#ifndef _WIN32
#include <malloc.h>
#endif

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "relay/relay.h"

using namespace ozlan;

namespace {

volatile std::sig_atomic_t g_stop = 0;
void OnSignal(int) {
    g_stop = 1;
}

#ifdef M_TRIM_THRESHOLD
constexpr int64_t kTrimIntervalMs = 10000;
#endif

const char kUsage[] =
    "usage: ozrelay [options]\n"
    "Relays LAN broadcasts between the launchers of each session.\n"
    "\n"
    "  --port N             UDP port to listen on (default 3669)\n"
    "  --bind ADDR          IPv4 address to listen on (default: all)\n"
    "  --verbose            print the transport's diagnostic lines\n"
    "  --max-connections N  launcher connections at once (default 4096)\n"
    "  --max-sessions N     sessions at once (default 1024)\n"
    "  --max-members N      launchers in one session (default 64)\n"
    "  --max-queued N       messages queued or unacknowledged per launcher (default 512)\n"
    "  --max-unverified N   links that have not yet proved their address; the oldest\n"
    "                       goes to make room (default 4096)\n"
    "  --max-unverified-per-source N\n"
    "                       of those, from one IPv4 address (default 16)\n"
    "  --max-messages-per-source N\n"
    "                       relay messages per second from one IPv4 address (default 20000)\n"
    "  --stats-interval S   seconds between stats lines (default 60)\n"
    "  --clock-scale N      run the protocol clock N times faster (for tests)\n"
    "  --help               show this text\n";

bool ParseNumber(const char* text, unsigned long min, unsigned long max, unsigned long* out) {
    if (!text || !*text) return false;
    char* end = nullptr;
    unsigned long v = std::strtoul(text, &end, 10);
    if (*end != 0 || text[0] == '-' || v < min || v > max) return false;
    *out = v;
    return true;
}

// Parses the command line into config; on a bad argument prints why and returns false.
bool ParseArguments(int argc, char** argv, RelayConfig* config, bool* help) {
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        const char* value = i + 1 < argc ? argv[i + 1] : nullptr;
        unsigned long n = 0;
        auto number = [&](unsigned long min, unsigned long max) {
            if (!ParseNumber(value, min, max, &n)) {
                std::fprintf(stderr, "ozrelay: %s needs a number from %lu to %lu, got '%s'\n",
                             arg.c_str(), min, max, value ? value : "");
                return false;
            }
            ++i;
            return true;
        };
        if (arg == "--help" || arg == "-h") {
            *help = true;
        } else if (arg == "--verbose") {
            config->verbose = true;
        } else if (arg == "--port") {
            if (!number(1, 65535)) return false;
            config->port = uint16_t(n);
        } else if (arg == "--bind") {
            uint32_t ip = 0;
            if (!value || !ResolveIPv4(value, &ip)) {
                std::fprintf(stderr, "ozrelay: --bind needs an IPv4 address, got '%s'\n",
                             value ? value : "");
                return false;
            }
            config->bind_ip = ip;
            ++i;
        } else if (arg == "--max-connections") {
            if (!number(1, 1000000)) return false;
            config->max_connections = n;
        } else if (arg == "--max-sessions") {
            if (!number(1, 1000000)) return false;
            config->max_sessions = n;
        } else if (arg == "--max-members") {
            if (!number(2, 100000)) return false;
            config->max_members = n;
        } else if (arg == "--max-queued") {
            if (!number(1, 1000000)) return false;
            config->max_queued_per_connection = n;
        } else if (arg == "--max-unverified") {
            if (!number(1, 1000000)) return false;
            config->max_unverified = n;
        } else if (arg == "--max-unverified-per-source") {
            if (!number(1, 1000000)) return false;
            config->max_unverified_per_source = n;
        } else if (arg == "--max-messages-per-source") {
            if (!number(1, 100000000)) return false;
            config->max_messages_per_source = n;
        } else if (arg == "--stats-interval") {
            if (!number(1, 86400)) return false;
            config->stats_interval_ms = int(n * 1000);
        } else if (arg == "--clock-scale") {
            if (!number(1, 10000)) return false;
            config->clock_scale = int64_t(n);
        } else {
            std::fprintf(stderr, "ozrelay: unknown argument '%s' (see --help)\n", arg.c_str());
            return false;
        }
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    // Every relayed message allocates and frees a little: keep the freed memory in the
    // process instead of returning it and faulting it back in under load.
#ifdef M_TRIM_THRESHOLD
    mallopt(M_TRIM_THRESHOLD, 64 << 20);
    mallopt(M_TOP_PAD, 16 << 20);
#endif
    RelayConfig config;
    bool help = false;
    if (!ParseArguments(argc, argv, &config, &help)) return 2;
    if (help) {
        std::fputs(kUsage, stdout);
        return 0;
    }
    std::string error;
    if (!RelayStart(config, &error)) {
        std::fprintf(stderr, "ozrelay: %s\n", error.c_str());
        return 1;
    }
    std::signal(SIGINT, OnSignal);
    std::signal(SIGTERM, OnSignal);
    std::printf("ozrelay: listening on UDP port %u\n", unsigned(config.port));
    std::fflush(stdout);

    int64_t next_stats = SystemNowMs() + config.stats_interval_ms;
#ifdef M_TRIM_THRESHOLD
    int64_t next_trim = SystemNowMs() + kTrimIntervalMs;
#endif
    while (!g_stop) {
        // Short enough waits that a signal is noticed promptly.
        RelayRunOnce(200);
#ifdef M_TRIM_THRESHOLD
        // What a burst (a flood of connects, say) made the process take goes back to
        // the system once the burst is over.
        if (SystemNowMs() >= next_trim) {
            malloc_trim(0);
            next_trim = SystemNowMs() + kTrimIntervalMs;
        }
#endif
        if (SystemNowMs() >= next_stats) {
            std::printf("ozrelay: %s\n", RelayStatsLine().c_str());
            std::fflush(stdout);
            next_stats = SystemNowMs() + config.stats_interval_ms;
        }
    }
    std::printf("ozrelay: stopped; %s\n", RelayStatsLine().c_str());
    std::fflush(stdout);
    return 0;
}
