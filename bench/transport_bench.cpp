// Transport benchmarks: cost of one pass against connections and messages in
// flight, and message throughput over loopback against raw UDP in the same run.
#include <chrono>
#include <cstdio>
#include <cstring>
#include <vector>

#include "transport/transport.h"

using namespace ozlan;
using Clock = std::chrono::steady_clock;

namespace {

int64_t g_now = 1000000;
int64_t FakeNow() {
    return g_now;
}
void FakeSleep(int ms) {
    g_now += ms;
}

double Seconds(Clock::time_point a, Clock::time_point b) {
    return std::chrono::duration<double>(b - a).count();
}

// A UDP socket that takes the transport's traffic and is emptied between runs.
struct Sink {
    SocketHandle s = SocketOpenUdp();
    uint16_t port = 0;
    Sink() {
        SocketBind(s, 0);
        SocketLocalPort(s, &port);
        SocketSetNonBlocking(s);
    }
    ~Sink() { SocketClose(s); }
    void Drain() {
        uint8_t buf[2048];
        SocketAddress from;
        int err;
        while (SocketReceiveFrom(s, buf, sizeof buf, &from, &err) > 0) {
        }
    }
};

// Nanoseconds per pass with `connections` links and `in_flight` unacknowledged
// messages; `all_due` makes every message due for resend in every pass.
double PassCost(int connections, int in_flight, bool all_due) {
    TransportReset();
    SetTransportLogSink(nullptr);
    SetTransportClock(FakeNow, FakeSleep);
    Sink sink;
    Endpoint* ep = CreateEndpoint(0);
    std::vector<int32_t> ids;
    for (int i = 0; i < connections; ++i) ids.push_back(Connect(ep, "127.0.0.1", sink.port, 1));
    uint8_t payload[100] = {};
    for (int i = 0; i < in_flight; ++i) TransportSend(ids[size_t(i) % ids.size()], payload, 100, 8);
    TransportThink(0);
    sink.Drain();
    const int passes = all_due ? 20 : 2000;
    double total = 0;
    for (int p = 0; p < passes; ++p) {
        if (all_due) g_now += 10001 / 3;  // keeps age under the time-out for these passes
        auto t0 = Clock::now();
        TransportThink(0);
        total += Seconds(t0, Clock::now());
        if (all_due) sink.Drain();
    }
    return total / passes * 1e9;
}

// Messages per second from one endpoint to another in this process.
double TransportRate(size_t size, int count) {
    TransportReset();
    SetTransportLogSink(nullptr);
    SetTransportClock(nullptr, nullptr);
    Endpoint* a = CreateEndpoint(0);
    Endpoint* b = CreateEndpoint(0);
    int32_t link = Connect(a, "127.0.0.1", b->local_port);
    for (int i = 0; i < 50; ++i) TransportThink(0);
    static int delivered;
    delivered = 0;
    int32_t back = 0;
    TransportConnectionInfo(link, nullptr, &back, nullptr);
    SetDefaultHandler(back, [](const uint8_t*, int32_t, int32_t, int32_t, void*) { ++delivered; });
    std::vector<uint8_t> body(size, 0x5A);
    // What fits the socket buffers between passes: the transport has no pacing, and
    // a lost fragment waits 10 s for its resend.
    const int batch = size > 1400 ? 16 : 64;
    auto t0 = Clock::now();
    int sent = 0;
    while (delivered < count) {
        for (int i = 0; i < batch && sent < count; ++i, ++sent) {
            TransportSend(link, body.data(), int32_t(size), 8);
        }
        TransportThink(0);
        if (Seconds(t0, Clock::now()) > 30) break;
    }
    double rate = delivered / Seconds(t0, Clock::now());
    for (int i = 0; i < 20; ++i) TransportThink(0);
    return rate;
}

// The same datagrams as raw UDP sendto and recvfrom, without the transport.
double RawRate(size_t size, int count) {
    SocketHandle rx = SocketOpenUdp(), tx = SocketOpenUdp();
    SocketBind(rx, 0);
    uint16_t port = 0;
    SocketLocalPort(rx, &port);
    SocketSetNonBlocking(rx);
    SocketAddress to;
    SocketAddress from;
    const uint8_t lo[4] = {127, 0, 0, 1};
    std::memcpy(&to.ip, lo, 4);
    to.port = uint16_t((port >> 8) | (port << 8));
    std::vector<uint8_t> datagram(std::min<size_t>(size, 1400) + 12, 0x5A);
    size_t fragments = size / 1400 + 1;
    uint8_t buf[2048];
    int err;
    int received = 0;
    auto t0 = Clock::now();
    while (received < count * int(fragments)) {
        for (int i = 0; i < 64 * int(fragments); ++i)
            SocketSendTo(tx, datagram.data(), datagram.size(), to);
        while (SocketReceiveFrom(rx, buf, sizeof buf, &from, &err) > 0) ++received;
    }
    double rate = double(count) / Seconds(t0, Clock::now());
    SocketClose(rx);
    SocketClose(tx);
    return rate;
}

}  // namespace

int main() {
    std::printf("pass cost (ns per TransportThink(0) pass), messages young (typical)\n");
    std::printf("%12s %12s %12s %10s\n", "connections", "in flight", "ns/pass", "ratio");
    double base = PassCost(1, 0, false);
    for (int c : {1, 100, 1000}) {
        for (int u : {0, 1000, 10000}) {
            double ns = PassCost(c, u, false);
            std::printf("%12d %12d %12.0f %10.2f\n", c, u, ns, ns / base);
        }
    }
    std::printf("\npass cost when every message in flight is due for resend\n");
    std::printf("%12s %12s %12s %14s\n", "connections", "in flight", "ns/pass", "ns/message");
    for (int u : {1000, 10000}) {
        double ns = PassCost(100, u, true);
        std::printf("%12d %12d %12.0f %14.1f\n", 100, u, ns, ns / u);
    }
    std::printf(
        "\nthroughput over loopback (messages/s), transport vs raw UDP of the same datagrams\n");
    std::printf("%8s %14s %14s %8s\n", "bytes", "transport", "raw udp", "ratio");
    for (size_t size : {size_t(100), size_t(2132)}) {
        double t = TransportRate(size, 50000);
        double r = RawRate(size, 50000);
        std::printf("%8zu %14.0f %14.0f %8.2f\n", size, t, r, t / r);
    }
    return 0;
}
