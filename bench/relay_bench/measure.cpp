#include "bench/relay_bench/measure.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "protocol/wire.h"

using namespace ozlan;

namespace relay_bench {

Settings& Run() {
    static Settings settings;
    return settings;
}

Tally& Received() {
    static Tally tally;
    return tally;
}

int64_t NowNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch())
        .count();
}

void Tally::Add(const uint8_t* link, size_t size) {
    ++delivered;
    if (record && size >= kLinkHeaderSize + 8) {
        int64_t sent;
        std::memcpy(&sent, link + kLinkHeaderSize, 8);
        latencies_ns.push_back(NowNs() - sent);
    }
}

void Tally::Reset(bool with_latency) {
    delivered = 0;
    latencies_ns.clear();
    record = with_latency;
}

std::vector<uint8_t> LinkPayload() {
    std::vector<uint8_t> link(kLinkSize, 0x33);
    WriteLinkHeader(link.data(), 900);
    const uint8_t ip[4] = {10, 0, 0, 5};
    std::memcpy(link.data() + kLinkAddressOffset, ip, 4);
    return link;
}

bool Try(Rig& rig, int receivers, double rate) {
    std::vector<uint8_t> link = LinkPayload();
    Received().Reset(false);
    int64_t start = NowNs(), length = int64_t(Run().try_seconds * 1e9);
    double interval = 1e9 / rate;
    int64_t sent = 0;
    while (NowNs() - start < length) {
        // Catch up with the schedule in bursts of at most 64.
        for (int burst = 0; burst < 64 && start + int64_t(double(sent) * interval) <= NowNs();
             ++burst, ++sent) {
            rig.send(link);
        }
        rig.pump();
    }
    int64_t settle = NowNs();
    while (NowNs() - settle < 100000000LL) rig.pump();
    Run().delivered_total += Received().delivered;
    // A sender that could not offer the rate measured nothing about the relay.
    bool offered = double(sent) >= 0.95 * rate * Run().try_seconds;
    int per_send = rig.deliveries_per_send > 0 ? rig.deliveries_per_send : receivers;
    return offered && double(Received().delivered) >= 0.99 * double(sent * per_send);
}

namespace {

double Percentile(std::vector<int64_t>& v, double p) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    return double(v[std::min(v.size() - 1, size_t(p * double(v.size())))]) / 1000.0;
}

// Two of three tries decide; a failed try leaves a fresh rig behind.
bool Passes(std::unique_ptr<Rig>& rig, const RigMaker& make, int receivers, double rate) {
    int passed = 0, failed = 0;
    while (passed < 2 && failed < 2) {
        if (Try(*rig, receivers, rate)) {
            ++passed;
        } else {
            ++failed;
            rig.reset();
            rig = make(receivers);
        }
    }
    return passed == 2;
}

// The highest rate (messages per second from the sender) that passes: doubling from
// 500 while it passes, then bisection to within 10%.
double Sustained(std::unique_ptr<Rig>& rig, const RigMaker& make, int receivers) {
    double lo = 0, hi = 500;
    while (hi <= 4096000 && Passes(rig, make, receivers, hi)) lo = hi, hi *= 2;
    if (lo == 0) return 0;
    while (hi / lo > 1.1) {
        double mid = std::sqrt(lo * hi);
        if (Passes(rig, make, receivers, mid)) {
            lo = mid;
        } else {
            hi = mid;
        }
    }
    return lo;
}

// Latency at 1000 messages per second: 2000 messages, sender to receiver.
void Latency(Rig& rig, Figures* f) {
    std::vector<uint8_t> link = LinkPayload();
    Received().Reset(true);
    int64_t next = NowNs();
    for (int sent = 0; sent < 2000;) {
        if (NowNs() >= next) {
            int64_t now = NowNs();
            std::memcpy(link.data() + kLinkHeaderSize, &now, 8);
            rig.send(link);
            ++sent;
            next += 1000000;
        }
        rig.pump();
    }
    auto end = Clock::now() + std::chrono::milliseconds(200);
    while (Clock::now() < end) rig.pump();
    f->p50_us = Percentile(Received().latencies_ns, 0.50);
    f->p99_us = Percentile(Received().latencies_ns, 0.99);
}

}  // namespace

Figures Measure(const RigMaker& make, int receivers) {
    Figures f{};
    Run().relay_cpu_seconds = 0;
    Run().delivered_total = 0;
    std::unique_ptr<Rig> rig = make(receivers);
    for (double& forwarded : f.forwarded) {
        int per_send = rig->deliveries_per_send > 0 ? rig->deliveries_per_send : receivers;
        forwarded = Run().latency_only ? 0 : Sustained(rig, make, receivers) * per_send;
    }
    std::sort(f.forwarded, f.forwarded + 3);
    rig.reset();
    StopRelay();  // counts the last relay's time
    if (Run().relay_cpu_seconds > 0 && Run().delivered_total > 0) {
        f.cpu_us_per_delivery = Run().relay_cpu_seconds * 1e6 / double(Run().delivered_total);
    }
    rig = make(receivers);
    Latency(*rig, &f);
    return f;
}

}  // namespace relay_bench
