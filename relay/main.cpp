// ozrelay: the relay service an operator runs.
#ifndef _WIN32
#include <malloc.h>
#endif

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include <CLI/CLI.hpp>

#ifdef OZLAN_RELAY_METRICS
#include "relay/metrics.h"
#endif
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
    "  --session-range CIDR private range the sessions' networks come from, one /24\n"
    "                       each (default 172.16.0.0/12; /8 to /24)\n"
    "  --stats-interval S   seconds between stats lines (default 60)\n"
#ifdef OZLAN_RELAY_METRICS
    "  --metrics ADDR:PORT  serve live figures over HTTP: Prometheus text at /metrics,\n"
    "                       a status page at / (off by default; e.g. 127.0.0.1:9669)\n"
#endif
    "  --clock-scale N      run the protocol clock N times faster (for tests)\n"
    "  --version            print the version\n"
    "  --help               show this text\n";

// The command line, parsed by CLI11 with the checks and words of the help text above.
struct Arguments {
    RelayConfig config;
    std::string metrics;  // "ADDR:PORT", empty when off
    bool help = false;
    bool version = false;
};

// A whole number from min to max, named in the message CLI11 prints for a bad value.
CLI::Validator Number(unsigned long min, unsigned long max) {
    return CLI::Validator(
        [min, max](std::string& text) -> std::string {
            char* end = nullptr;
            unsigned long v = text.empty() ? 0 : std::strtoul(text.c_str(), &end, 10);
            if (text.empty() || *end != 0 || text[0] == '-' || v < min || v > max) {
                return "needs a number from " + std::to_string(min) + " to " + std::to_string(max) +
                       ", got '" + text + "'";
            }
            return {};
        },
        "N");
}

// Parses the command line into `a`; on a bad argument prints why and returns false.
bool ParseArguments(int argc, char** argv, Arguments* a) {
    CLI::App app{"ozrelay"};
    app.set_help_flag();  // the text above, not CLI11's
    app.add_flag("-h,--help", a->help);
    app.add_flag("--version", a->version);
    RelayConfig& c = a->config;
    app.add_flag("--verbose", c.verbose);
    unsigned long port = c.port, stats = unsigned(c.stats_interval_ms / 1000), scale = 1;
    app.add_option("--port", port)->check(Number(1, 65535));
    app.add_option("--bind",
                   [&c](const CLI::results_t& values) {
                       return ResolveIPv4(values[0].c_str(), &c.bind_ip);
                   })
        ->type_name("ADDR")
        ->check(CLI::Validator(
            [](std::string& text) -> std::string {
                uint32_t ip = 0;
                return ResolveIPv4(text.c_str(), &ip) ? ""
                                                      : "needs an IPv4 address, got '" + text + "'";
            },
            "ADDR"));
#ifdef OZLAN_RELAY_METRICS
    app.add_option("--metrics", a->metrics)
        ->check(CLI::Validator(
            [](std::string& text) -> std::string {
                std::string address;
                uint16_t p = 0;
                return ParseMetricsAddress(text, &address, &p)
                           ? ""
                           : "needs ADDR:PORT (an IPv4 address and a port), got '" + text + "'";
            },
            "ADDR:PORT"));
#endif
    app.add_option("--max-connections", c.max_connections)->check(Number(1, 1000000));
    app.add_option("--max-sessions", c.max_sessions)->check(Number(1, 1000000));
    app.add_option("--max-members", c.max_members)->check(Number(2, 100000));
    app.add_option("--max-queued", c.max_queued_per_connection)->check(Number(1, 1000000));
    app.add_option("--max-unverified", c.max_unverified)->check(Number(1, 1000000));
    app.add_option("--max-unverified-per-source", c.max_unverified_per_source)
        ->check(Number(1, 1000000));
    app.add_option("--max-messages-per-source", c.max_messages_per_source)
        ->check(Number(1, 100000000));
    app.add_option("--session-range",
                   [&c](const CLI::results_t& values) {
                       return ParseSessionRange(values[0].c_str(), &c.session_range_ip,
                                                &c.session_range_prefix);
                   })
        ->type_name("CIDR")
        ->check(CLI::Validator(
            [](std::string& text) -> std::string {
                uint32_t ip = 0;
                int prefix = 0;
                return ParseSessionRange(text.c_str(), &ip, &prefix)
                           ? ""
                           : "needs A.B.C.D/N with N from 8 to 24 and no host bits set, got '" +
                                 text + "'";
            },
            "CIDR"));
    app.add_option("--stats-interval", stats)->check(Number(1, 86400));
    app.add_option("--clock-scale", scale)->check(Number(1, 10000));
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        std::fprintf(stderr, "ozrelay: %s (see --help)\n", e.what());
        return false;
    }
    c.port = uint16_t(port);
    c.stats_interval_ms = int(stats * 1000);
    c.clock_scale = int64_t(scale);
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
    Arguments arguments;
    if (!ParseArguments(argc, argv, &arguments)) return 2;
    if (arguments.help) {
        std::fputs(kUsage, stdout);
        return 0;
    }
    if (arguments.version) {
        std::printf("ozrelay %s\n", OZLAN_VERSION);
        return 0;
    }
    const RelayConfig& config = arguments.config;
    std::string error;
    if (!RelayStart(config, &error)) {
        std::fprintf(stderr, "ozrelay: %s\n", error.c_str());
        return 1;
    }
#ifdef OZLAN_RELAY_METRICS
    if (!arguments.metrics.empty()) {
        std::string address;
        uint16_t port = 0;
        ParseMetricsAddress(arguments.metrics, &address, &port);
        if (!MetricsStart(address, port, &error)) {
            std::fprintf(stderr, "ozrelay: %s\n", error.c_str());
            return 1;
        }
        std::printf("ozrelay: metrics at http://%s:%u/metrics, status page at http://%s:%u/\n",
                    address.c_str(), unsigned(port), address.c_str(), unsigned(port));
    }
    int64_t next_publish = 0;
#endif
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
#ifdef OZLAN_RELAY_METRICS
        if (!arguments.metrics.empty() && SystemNowMs() >= next_publish) {
            MetricsSnapshot snapshot;
            snapshot.at_ms = SystemNowMs();
            snapshot.links = RelayLinkCount();
            snapshot.sessions = RelaySessionCount();
            snapshot.members = RelayMemberCount();
            snapshot.relay = GetRelayStats();
            snapshot.transport = GetTransportStats();
            snapshot.config = config;
            snapshot.session_list = RelaySessionFigures();
            MetricsPublish(std::move(snapshot));
            next_publish = SystemNowMs() + 1000;
        }
#endif
        if (SystemNowMs() >= next_stats) {
            std::printf("ozrelay: %s\n", RelayStatsLine().c_str());
            std::fflush(stdout);
            next_stats = SystemNowMs() + config.stats_interval_ms;
        }
    }
    // Launchers move at once instead of waiting for their links to time out.
    size_t told = RelayAnnounceStop();
    std::printf("ozrelay: stopping; told %zu launchers\n", told);
#ifdef OZLAN_RELAY_METRICS
    MetricsStop();
#endif
    std::printf("ozrelay: stopped; %s\n", RelayStatsLine().c_str());
    std::fflush(stdout);
    return 0;
}
