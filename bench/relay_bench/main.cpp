// Relay service benchmark: one sender and K receivers (transports in this process)
// around a real ozrelay process, against two baselines doing the same fan-out in the
// same run: a minimal raw UDP forwarder (recvmmsg and sendmmsg on a thread) and a relay
// written with ENet, the reliable-UDP library (its host on a thread, reliable packets).
// The sustained rate is found by bisection, three tries per rate, and reported as the
// minimum, median and maximum of three runs. `--idle N` first fills the relay with N
// idle links in N/10 sessions (held by a child process), to show that they cost nothing.
// The rigs and the measurement are files of their own in this folder.
#include <enet/enet.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "bench/relay_bench/measure.h"
#include "transport/transport.h"

using namespace ozlan;
using namespace relay_bench;

namespace {

constexpr const char* kUsage =
    "usage: relay_bench [--k K] [--idle N] [--try-seconds S] [--latency-only 0|1]\n"
    "                   [--game-path 0|1] [--only COLUMN [--rate R]]\n"
    "       (COLUMN: ours, bundles, raw, enet, game or enet-unsequenced)\n";

bool g_game_path = true;  // also the relayed game path (type 10) and ENet unsequenced
std::string SiblingBinary(const char* argv0, const char* name) {
    std::string self = argv0;
    size_t slash = self.find_last_of('/');
    return (slash == std::string::npos ? std::string(".") : self.substr(0, slash)) + "/" + name;
}

std::string Spread(const double v[3]) {
    char text[64];
    std::snprintf(text, sizeof text, "%.0f/%.0f/%.0f", v[0], v[1], v[2]);
    return text;
}

std::string g_only;  // --only: ours, bundles, raw, enet, game or enet-unsequenced

double g_fixed_rate = 0;  // --rate: --only offers this rate in ten tries instead

// The rig of a column; null for a name that is none.
RigMaker ColumnRig(const std::string& column) {
    if (column == "ours" || column == "bundles") return MakeOzrelayRig;
    if (column == "game") return MakeGameRig;
    if (column == "raw") return MakeRawRig;
    if (column == "enet" || column == "enet-unsequenced") return MakeEnetRig;
    return nullptr;
}

Figures MeasureOnly(const std::string& column, int k) {
    Run().bundles = column != "ours";
    Run().enet_unreliable = column == "enet-unsequenced";
    RigMaker make = ColumnRig(column);
    Figures f{};
    if (g_fixed_rate > 0) {
        std::unique_ptr<Rig> rig = make(k);
        int per_send = rig->deliveries_per_send > 0 ? rig->deliveries_per_send : k;
        for (int i = 0; i < 10; ++i) {
            bool passed = Try(*rig, k, g_fixed_rate);
            std::printf(
                "  %.0f/s offered: %s, %.3f delivered\n", g_fixed_rate,
                passed ? "passed" : "failed",
                double(Received().delivered) / (g_fixed_rate * Run().try_seconds * double(per_send)));
        }
        rig.reset();
        StopRelay();
        TransportReset();
        return f;
    }
    f = Measure(make, k);
    StopRelay();
    TransportReset();
    return f;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 5 && std::string(argv[1]) == "--hold-idle") {
        return HoldIdleLinks(uint16_t(std::atoi(argv[2])), std::atoi(argv[3]),
                             pid_t(std::atoi(argv[4])));
    }
    std::vector<int> ks = {1, 8, 32, 64};
    for (int i = 1; i < argc; i += 2) {
        std::string option = argv[i];
        if (i + 1 >= argc) {
            std::fprintf(stderr, "relay_bench: %s needs a value\n%s", option.c_str(), kUsage);
            return 2;
        }
        const char* value = argv[i + 1];
        if (option == "--idle") {
            Run().idle_links = std::atoi(value);
        } else if (option == "--k") {
            ks = {std::atoi(value)};
        } else if (option == "--try-seconds") {
            Run().try_seconds = std::atof(value);
        } else if (option == "--latency-only") {
            Run().latency_only = std::atoi(value) != 0;
        } else if (option == "--game-path") {
            g_game_path = std::atoi(value) != 0;
        } else if (option == "--only") {
            g_only = value;
        } else if (option == "--rate") {
            g_fixed_rate = std::atof(value);
        } else {
            std::fprintf(stderr, "relay_bench: unknown option '%s'\n%s", option.c_str(), kUsage);
            return 2;
        }
    }
    if (!g_only.empty() && !ColumnRig(g_only)) {
        std::fprintf(stderr,
                     "relay_bench: --only takes ours, bundles, raw, enet, game or "
                     "enet-unsequenced, not '%s'\n",
                     g_only.c_str());
        return 2;
    }
    Run().relay_binary = SiblingBinary(argv[0], "ozrelay");
    enet_initialize();
    std::printf(
        "relay fan-out, 200-byte link messages, K receivers; forwarded messages per "
        "second as min/median/max of three runs\n");
    if (Run().idle_links > 0) {
        std::printf("ozrelay holds %d idle links in %d sessions besides the measured ones\n",
                    Run().idle_links, Run().idle_links / 10);
    }
    for (int k : ks) {
        if (!g_only.empty()) {
            // One column alone, printed as it is measured (for profiling the relay).
            Figures f = MeasureOnly(g_only, k);
            std::printf(
                "K=%d %-10s %-26s p50 %.1f us, p99 %.1f us (%.2f us relay CPU per "
                "delivery)\n",
                k, g_only.c_str(), Spread(f.forwarded).c_str(), f.p50_us, f.p99_us,
                f.cpu_us_per_delivery);
            std::fflush(stdout);
            continue;
        }
        Run().bundles = false;
        Figures ours = Measure(MakeOzrelayRig, k);
        StopRelay();
        TransportReset();
        Run().bundles = true;
        Figures bundled = Measure(MakeOzrelayRig, k);
        StopRelay();
        TransportReset();
        Figures raw = Measure(MakeRawRig, k);
        Run().enet_unreliable = false;
        Figures enet = Measure(MakeEnetRig, k);
        Figures game, enet_unreliable;
        if (g_game_path) {
            Run().bundles = true;
            game = Measure(MakeGameRig, k);
            StopRelay();
            TransportReset();
            Run().enet_unreliable = true;
            enet_unreliable = Measure(MakeEnetRig, k);
        }
        std::printf("K=%d\n", k);
        std::printf("  %-32s %-26s %9s %9s\n", "", "forwarded/s", "p50 us", "p99 us");
        std::printf("  %-32s %-26s %9.1f %9.1f   (%.2f us relay CPU per delivery)\n", "ozrelay",
                    Spread(ours.forwarded).c_str(), ours.p50_us, ours.p99_us,
                    ours.cpu_us_per_delivery);
        std::printf("  %-32s %-26s %9.1f %9.1f   (%.2f us relay CPU per delivery)\n",
                    "ozrelay, bundles", Spread(bundled.forwarded).c_str(), bundled.p50_us,
                    bundled.p99_us, bundled.cpu_us_per_delivery);
        std::printf("  %-32s %-26s %9.1f %9.1f\n", "raw recvmmsg/sendmmsg forwarder",
                    Spread(raw.forwarded).c_str(), raw.p50_us, raw.p99_us);
        std::printf("  %-32s %-26s %9.1f %9.1f\n", "ENet relay", Spread(enet.forwarded).c_str(),
                    enet.p50_us, enet.p99_us);
        std::printf(
            "  median ratios: ozrelay/raw %.2f, ozrelay/ENet %.2f; with bundles: /raw %.2f, "
            "/ENet %.2f\n",
            ours.forwarded[1] / raw.forwarded[1], ours.forwarded[1] / enet.forwarded[1],
            bundled.forwarded[1] / raw.forwarded[1], bundled.forwarded[1] / enet.forwarded[1]);
        if (g_game_path) {
            std::printf(
                "  relayed game datagrams (unacknowledged; ours: direct messages to the "
                "receivers in turn, with bundles; the others: fan-out as above)\n");
            std::printf("  %-32s %-26s %9.1f %9.1f   (%.2f us relay CPU per delivery)\n",
                        "ozrelay, type 10", Spread(game.forwarded).c_str(), game.p50_us,
                        game.p99_us, game.cpu_us_per_delivery);
            std::printf("  %-32s %-26s %9.1f %9.1f\n", "ENet relay, unsequenced",
                        Spread(enet_unreliable.forwarded).c_str(), enet_unreliable.p50_us,
                        enet_unreliable.p99_us);
            std::printf("  median ratios: type 10/raw %.2f, type 10/ENet unsequenced %.2f\n",
                        game.forwarded[1] / raw.forwarded[1],
                        game.forwarded[1] / enet_unreliable.forwarded[1]);
        }
        std::fflush(stdout);
    }
    return 0;
}
