// relay_bench's rigs: one relay under test (ozrelay, a raw forwarder or an ENet relay)
// with its sender and receivers in this process, and what they share: the settings of
// the run, the receivers' tally, and the link message every rig sends.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "transport/transport.h"

namespace relay_bench {

using Clock = std::chrono::steady_clock;

constexpr size_t kLinkSize = 200;

// The run's settings (from the command line) and what its relay processes cost.
struct Settings {
    double try_seconds = 0.5;
    bool latency_only = false;
    int idle_links = 0;            // --idle: links the ozrelay rigs' relay holds besides
    bool bundles = false;          // the launchers ask for bundles in their joins
    bool enet_unreliable = false;  // unsequenced ENet packets, as games send them
    std::string relay_binary;      // ozrelay beside this program
    double relay_cpu_seconds = 0;  // of the ozrelay processes of one measurement
    uint64_t delivered_total = 0;
};
Settings& Run();

int64_t NowNs();

// What receivers record: deliveries and their latencies.
struct Tally {
    uint64_t delivered = 0;
    std::vector<int64_t> latencies_ns;
    bool record = false;
    void Add(const uint8_t* link, size_t size);
    void Reset(bool with_latency);
};
Tally& Received();

// A 200-byte link message as a launcher stamps it.
std::vector<uint8_t> LinkPayload();

// One relay under test with its sender and receivers: `send` queues one link message,
// `pump` moves traffic. Made afresh after a try that failed, so that no backlog of a
// lost try weighs on the next.
struct Rig {
    std::function<void(const std::vector<uint8_t>&)> send;
    std::function<void()> pump;
    // Deliveries one send makes: every receiver (fan-out), or one (a datagram for one
    // player, as games send them).
    int deliveries_per_send = 0;
    virtual ~Rig() = default;
};
using RigMaker = std::function<std::unique_ptr<Rig>(int receivers)>;

// ozrelay_rigs.cpp: relay messages fanned out by a fresh ozrelay process, and the
// relayed game path (direct messages, each to one receiver).
std::unique_ptr<Rig> MakeOzrelayRig(int receivers);
std::unique_ptr<Rig> MakeGameRig(int receivers);
// Ends the current ozrelay process, adding its CPU time to the run's.
void StopRelay();
// --hold-idle PORT N PID: N links to the relay at 127.0.0.1:PORT in N/10 sessions,
// kept alive (acknowledged, heartbeats answered) until the relay process PID ends.
int HoldIdleLinks(uint16_t port, int count, pid_t relay);

// raw_rig.cpp: a minimal forwarder (recvmmsg and sendmmsg on a thread).
std::unique_ptr<Rig> MakeRawRig(int receivers);
// enet_rig.cpp: the same relay written with ENet.
std::unique_ptr<Rig> MakeEnetRig(int receivers);

}  // namespace relay_bench
