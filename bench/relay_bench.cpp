// Relay service benchmark: one sender and K receivers (transports in this process)
// around a real ozrelay process, against a minimal raw UDP forwarder (recvmmsg and
// sendmmsg on a thread) doing the same fan-out in the same run.
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <netinet/in.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "session/relay_protocol.h"
#include "transport/transport.h"
#include "wsock32/launcher_link.h"

extern char** environ;
using namespace ozlan;
using Clock = std::chrono::steady_clock;

namespace {

constexpr size_t kLinkSize = 200;

int64_t NowNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch())
        .count();
}

uint16_t FreePort() {
    SocketHandle s = SocketOpenUdp();
    SocketBind(s, 0);
    uint16_t port = 0;
    SocketLocalPort(s, &port);
    SocketClose(s);
    return port;
}

SocketAddress Loopback(uint16_t port) {
    SocketAddress a;
    ResolveIPv4("127.0.0.1", &a.ip);
    a.port = htons(port);
    return a;
}

// What receivers record: deliveries and their latencies.
struct Tally {
    uint64_t delivered = 0;
    std::vector<int64_t> latencies_ns;
    bool record = false;
    void Add(const uint8_t* link, size_t size) {
        ++delivered;
        if (record && size >= kLinkHeaderSize + 8) {
            int64_t sent;
            std::memcpy(&sent, link + kLinkHeaderSize, 8);
            latencies_ns.push_back(NowNs() - sent);
        }
    }
    void Reset(bool with_latency) {
        delivered = 0;
        latencies_ns.clear();
        record = with_latency;
    }
};
Tally g_tally;

struct Result {
    double forwarded_per_s;
    double p50_us;
    double p99_us;
};

double Percentile(std::vector<int64_t>& v, double p) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    return double(v[std::min(v.size() - 1, size_t(p * double(v.size())))]) / 1000.0;
}

std::vector<uint8_t> LinkPayload() {
    std::vector<uint8_t> link(kLinkSize, 0x33);
    WriteLinkHeader(link.data(), 900);
    const uint8_t ip[4] = {10, 0, 0, 5};
    std::memcpy(link.data() + kLinkAddressOffset, ip, 4);
    return link;
}

// Offers messages at rising rates for one second each; the highest rate at which
// every receiver got at least 99% of them is the sustained rate. Then measures
// latency at 1000 messages per second. `send` queues one link message, `pump`
// moves traffic.
template <class Send, class Pump>
Result Drive(int receivers, Send send, Pump pump) {
    std::vector<uint8_t> link = LinkPayload();
    Result r{};
    for (int rate : {500, 1000, 2000, 4000, 8000, 16000, 32000, 64000, 128000}) {
        g_tally.Reset(false);
        int64_t start = NowNs(), interval = 1000000000LL / rate;
        int64_t sent = 0;
        while (NowNs() - start < 1000000000LL) {
            // Catch up with the schedule in bursts of at most 64.
            for (int burst = 0; burst < 64 && start + sent * interval <= NowNs(); ++burst, ++sent) {
                send(link);
            }
            pump();
        }
        int64_t settle = NowNs();
        while (NowNs() - settle < 100000000LL) pump();
        if (double(g_tally.delivered) < 0.99 * double(sent * receivers)) break;
        r.forwarded_per_s = double(rate) * receivers;
    }
    for (int i = 0; i < 2000; ++i) pump();

    // Latency at 1000 messages per second.
    g_tally.Reset(true);
    int64_t next = NowNs();
    for (int sent = 0; sent < 2000;) {
        if (NowNs() >= next) {
            int64_t now = NowNs();
            std::memcpy(link.data() + kLinkHeaderSize, &now, 8);
            send(link);
            ++sent;
            next += 1000000;
        }
        pump();
    }
    auto end = Clock::now() + std::chrono::milliseconds(200);
    while (Clock::now() < end) pump();
    r.p50_us = Percentile(g_tally.latencies_ns, 0.50);
    r.p99_us = Percentile(g_tally.latencies_ns, 0.99);
    return r;
}

void OnDelivered(const uint8_t* data, int32_t length, int32_t, int32_t, void*) {
    g_tally.Add(data, size_t(length));
}
bool g_connected[256];
void OnConnected(int32_t id, int32_t, void*) {
    g_connected[id] = true;
}

Result MeasureRelay(const std::string& relay_binary, int receivers) {
    TransportReset();
    SetTransportLogSink(nullptr);
    std::memset(g_connected, 0, sizeof g_connected);
    uint16_t port = FreePort();
    std::string port_text = std::to_string(port);
    const char* argv[] = {relay_binary.c_str(), "--port", port_text.c_str(),  "--bind", "127.0.0.1",
                          "--max-queued",       "100000", "--stats-interval", "3600",   nullptr};
    pid_t pid = 0;
    posix_spawn(&pid, relay_binary.c_str(), nullptr, nullptr, const_cast<char**>(argv), environ);
    usleep(200000);

    std::vector<int32_t> links;
    for (int i = 0; i <= receivers; ++i) {
        Endpoint* ep = CreateEndpoint(0);
        int32_t id = Connect(ep, "127.0.0.1", port);
        SetEventCallback(id, EVENT_CONNECTED, OnConnected);
        SetDefaultHandler(id, OnDelivered);
        links.push_back(id);
    }
    auto until = Clock::now() + std::chrono::seconds(5);
    while (Clock::now() < until &&
           !std::all_of(links.begin(), links.end(), [](int32_t id) { return g_connected[id]; })) {
        TransportThink(0);
        usleep(1000);
    }
    uint8_t join[kJoinMessageSize];
    WriteJoinMessage(join, "bench");
    for (int32_t id : links) TransportSend(id, join, int32_t(sizeof join), kJoinMessageType);
    for (int i = 0; i < 200; ++i) {
        TransportThink(0);
        usleep(500);
    }
    std::vector<uint8_t> message(kRelayHeaderSize + kLinkSize);
    int32_t sender = links[0];
    Result r = Drive(
        receivers,
        [&](const std::vector<uint8_t>& link) {
            WriteRelayHeader(message.data(), "bench", uint32_t(link.size()));
            std::memcpy(message.data() + kRelayHeaderSize, link.data(), link.size());
            TransportSend(sender, message.data(), int32_t(message.size()), kRelayMessageType);
        },
        [] { TransportThink(0); });
    kill(pid, SIGTERM);
    waitpid(pid, nullptr, 0);
    return r;
}

Result MeasureRawForwarder(int receivers) {
    int forward = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(forward, reinterpret_cast<sockaddr*>(&a), sizeof a);
    socklen_t n = sizeof a;
    getsockname(forward, reinterpret_cast<sockaddr*>(&a), &n);
    uint16_t forward_port = ntohs(a.sin_port);

    std::vector<SocketHandle> sinks;
    std::vector<sockaddr_in> sink_addresses;
    for (int i = 0; i < receivers; ++i) {
        SocketHandle s = SocketOpenUdp();
        SocketBind(s, 0);
        SocketSetNonBlocking(s);
        uint16_t p = 0;
        SocketLocalPort(s, &p);
        sinks.push_back(s);
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        to.sin_port = htons(p);
        sink_addresses.push_back(to);
    }
    std::atomic<bool> stop{false};
    std::thread forwarder([&] {
        constexpr int kBatch = 32;
        uint8_t buffers[kBatch][2048];
        mmsghdr in[kBatch];
        iovec in_iov[kBatch];
        std::vector<mmsghdr> out(size_t(kBatch) * receivers);
        std::vector<iovec> out_iov(out.size());
        timeval tick{0, 100000};
        setsockopt(forward, SOL_SOCKET, SO_RCVTIMEO, &tick, sizeof tick);
        while (!stop) {
            for (int i = 0; i < kBatch; ++i) {
                in_iov[i] = {buffers[i], sizeof buffers[i]};
                in[i] = {};
                in[i].msg_hdr.msg_iov = &in_iov[i];
                in[i].msg_hdr.msg_iovlen = 1;
            }
            int got = recvmmsg(forward, in, kBatch, MSG_WAITFORONE, nullptr);
            if (got <= 0) continue;
            size_t k = 0;
            for (int i = 0; i < got; ++i) {
                for (auto& to : sink_addresses) {
                    out_iov[k] = {buffers[i], in[i].msg_len};
                    out[k] = {};
                    out[k].msg_hdr.msg_iov = &out_iov[k];
                    out[k].msg_hdr.msg_iovlen = 1;
                    out[k].msg_hdr.msg_name = &to;
                    out[k].msg_hdr.msg_namelen = sizeof to;
                    ++k;
                }
            }
            for (size_t sent = 0; sent < k;) {
                int r = sendmmsg(forward, out.data() + sent, unsigned(k - sent), 0);
                if (r <= 0) break;
                sent += size_t(r);
            }
        }
    });
    SocketHandle sender = SocketOpenUdp();
    SocketAddress to = Loopback(forward_port);
    uint8_t buffer[2048];
    Result r = Drive(
        receivers,
        [&](const std::vector<uint8_t>& link) {
            SocketSendTo(sender, link.data(), link.size(), to);
        },
        [&] {
            SocketAddress from;
            int error;
            for (SocketHandle s : sinks) {
                int got;
                while ((got = SocketReceiveFrom(s, buffer, sizeof buffer, &from, &error)) > 0) {
                    g_tally.Add(buffer, size_t(got));
                }
            }
        });
    stop = true;
    forwarder.join();
    for (SocketHandle s : sinks) SocketClose(s);
    SocketClose(sender);
    close(forward);
    return r;
}

std::string SiblingBinary(const char* argv0, const char* name) {
    std::string self = argv0;
    size_t slash = self.find_last_of('/');
    return (slash == std::string::npos ? std::string(".") : self.substr(0, slash)) + "/" + name;
}

}  // namespace

int main(int, char** argv) {
    std::string relay = SiblingBinary(argv[0], "ozrelay");
    std::printf("relay fan-out, 200-byte link messages; raw = recvmmsg/sendmmsg forwarder\n");
    std::printf("%4s %14s %14s %7s %10s %10s %10s %10s\n", "K", "ozrelay fwd/s", "raw fwd/s",
                "ratio", "p50 us", "raw p50", "p99 us", "raw p99");
    for (int k : {1, 8, 32}) {
        Result ours = MeasureRelay(relay, k);
        Result raw = MeasureRawForwarder(k);
        std::printf("%4d %14.0f %14.0f %7.2f %10.1f %10.1f %10.1f %10.1f\n", k,
                    ours.forwarded_per_s, raw.forwarded_per_s,
                    ours.forwarded_per_s / raw.forwarded_per_s, ours.p50_us, raw.p50_us,
                    ours.p99_us, raw.p99_us);
    }
    return 0;
}
