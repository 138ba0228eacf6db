// Relay service benchmark: one sender and K receivers (transports in this process)
// around a real ozrelay process, against two baselines doing the same fan-out in the
// same run: a minimal raw UDP forwarder (recvmmsg and sendmmsg on a thread) and a relay
// written with ENet, the reliable-UDP library (its host on a thread, reliable packets).
// The sustained rate is found by bisection, three tries per rate, and reported as the
// minimum, median and maximum of three runs. `--idle N` first fills the relay with N
// idle links in N/10 sessions (held by a child process), to show that they cost nothing.
#include <enet/enet.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <netinet/in.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "protocol/wire.h"
#include "bench/process_figures.h"
#include "transport/transport.h"

extern char** environ;
using namespace ozlan;
using Clock = std::chrono::steady_clock;

namespace {

constexpr size_t kLinkSize = 200;

int64_t NowNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch())
        .count();
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

void StopRelay();
double g_try_seconds = 0.5;
bool g_latency_only = false;
double g_relay_cpu_seconds = 0;  // of the ozrelay processes of one measurement
uint64_t g_delivered_total = 0;

// Offers `rate` messages per second for one try; true when every receiver got at
// least 99% of them.
bool Try(Rig& rig, int receivers, double rate) {
    std::vector<uint8_t> link = LinkPayload();
    g_tally.Reset(false);
    int64_t start = NowNs(), length = int64_t(g_try_seconds * 1e9);
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
    g_delivered_total += g_tally.delivered;
    // A sender that could not offer the rate measured nothing about the relay.
    bool offered = double(sent) >= 0.95 * rate * g_try_seconds;
    int per_send = rig.deliveries_per_send > 0 ? rig.deliveries_per_send : receivers;
    return offered && double(g_tally.delivered) >= 0.99 * double(sent * per_send);
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

struct Figures {
    double forwarded[3];  // per second, three runs, sorted
    double p50_us, p99_us;
    double cpu_us_per_delivery;  // of the relay process; 0 where not measured
};

// Latency at 1000 messages per second: 2000 messages, sender to receiver.
void Latency(Rig& rig, Figures* f) {
    std::vector<uint8_t> link = LinkPayload();
    g_tally.Reset(true);
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
    f->p50_us = Percentile(g_tally.latencies_ns, 0.50);
    f->p99_us = Percentile(g_tally.latencies_ns, 0.99);
}

Figures Measure(const RigMaker& make, int receivers) {
    Figures f{};
    g_relay_cpu_seconds = 0;
    g_delivered_total = 0;
    std::unique_ptr<Rig> rig = make(receivers);
    for (double& forwarded : f.forwarded) {
        int per_send = rig->deliveries_per_send > 0 ? rig->deliveries_per_send : receivers;
        forwarded = g_latency_only ? 0 : Sustained(rig, make, receivers) * per_send;
    }
    std::sort(f.forwarded, f.forwarded + 3);
    rig.reset();
    StopRelay();  // counts the last relay's time
    if (g_relay_cpu_seconds > 0 && g_delivered_total > 0) {
        f.cpu_us_per_delivery = g_relay_cpu_seconds * 1e6 / double(g_delivered_total);
    }
    rig = make(receivers);
    Latency(*rig, &f);
    return f;
}

void OnDelivered(const uint8_t* data, int32_t length, int32_t type, int32_t id, void*) {
    // The relay reads bundles: this launcher may send them too.
    if (uint32_t(type) == kBundlesType) {
        SetConnectionBundles(id, true);
        return;
    }
    g_tally.Add(data, size_t(length));
}
bool g_connected[1024];

// The i-th launcher's own loopback address (network order): 127.0.0.2 and on.
uint32_t LauncherAddress(int i) {
    uint32_t ip = 0;
    std::string text =
        "127.0." + std::to_string((i + 2) / 256) + "." + std::to_string((i + 2) % 256);
    ResolveIPv4(text.c_str(), &ip);
    return ip;
}
void OnConnected(int32_t id, int32_t, void*) {
    g_connected[id] = true;
}

std::string g_relay_binary;
uint16_t g_relay_port = 0;
pid_t g_relay_pid = 0;

// A fresh ozrelay process (and, with `idle`, a child holding that many idle links).
void StartRelay(int idle);
void StopRelay();

struct OzrelayRig : Rig {
    std::vector<uint8_t> message = std::vector<uint8_t>(kRelayHeaderSize + kLinkSize);
    ~OzrelayRig() override { TransportReset(); }
};

int g_idle_links = 0;
bool g_bundles = false;   // the launchers ask for bundles in their joins
bool g_game_path = true;  // also the relayed game path (type 10) and ENet unsequenced

// A fresh relay and the sender and receivers joined to session "bench" with `flags`
// (and bundles when measured with them), each handled by `handler`.
std::vector<int32_t> JoinedLaunchers(int receivers, int idle, uint32_t flags,
                                     DefaultHandler handler) {
    TransportReset();
    SetTransportLogSink(nullptr);
    StopRelay();
    StartRelay(idle);
    std::memset(g_connected, 0, sizeof g_connected);
    std::vector<int32_t> links;
    for (int i = 0; i <= receivers; ++i) {
        // Each launcher from a loopback address of its own (127.0.0.2 ...), as players
        // are: the relay's caps per source address then hold for 33 and 65 links too.
        Endpoint* ep = CreateEndpoint(0, LauncherAddress(i));
        int32_t id = Connect(ep, "127.0.0.1", g_relay_port);
        SetEventCallback(id, EVENT_CONNECTED, OnConnected);
        SetDefaultHandler(id, handler);
        links.push_back(id);
    }
    auto until = Clock::now() + std::chrono::seconds(5);
    while (Clock::now() < until &&
           !std::all_of(links.begin(), links.end(), [](int32_t id) { return g_connected[id]; })) {
        TransportThink(0);
        usleep(1000);
    }
    uint8_t join[kJoinMessageSize];
    WriteJoinMessage(join, "bench", flags | (g_bundles ? kJoinFlagBundles : 0));
    for (int32_t id : links) TransportSend(id, join, int32_t(sizeof join), kJoinMessageType);
    return links;
}

std::unique_ptr<Rig> MakeOzrelayRig(int receivers) {
    std::vector<int32_t> links = JoinedLaunchers(receivers, g_idle_links, 0, OnDelivered);
    for (int i = 0; i < 200; ++i) {
        TransportThink(0);
        usleep(500);
    }
    auto rig = std::make_unique<OzrelayRig>();
    int32_t sender = links[0];
    OzrelayRig* r = rig.get();
    rig->send = [r, sender](const std::vector<uint8_t>& link) {
        WriteRelayHeader(r->message.data(), "bench", uint32_t(link.size()));
        std::memcpy(r->message.data() + kRelayHeaderSize, link.data(), link.size());
        TransportSend(sender, r->message.data(), int32_t(r->message.size()), kRelayMessageType);
    };
    rig->pump = [] { TransportThink(0); };
    return rig;
}

// The relayed game path: the sender's launcher sends each receiver the same 200-byte
// game datagram as a direct message (type 10, unacknowledged) to its relayed address;
// the relay forwards each to the one member that holds the address.
std::map<int32_t, uint32_t> g_relayed;  // receiving link -> its relayed address

void OnAddressOrDelivered(const uint8_t* data, int32_t length, int32_t type, int32_t id,
                          void* zero) {
    if (uint32_t(type) == kAddressMessageType && length == int32_t(kAddressMessageSize)) {
        std::memcpy(&g_relayed[id], data, 4);
        return;
    }
    OnDelivered(data, length, type, id, zero);
}

std::unique_ptr<Rig> MakeGameRig(int receivers) {
    g_relayed.clear();
    std::vector<int32_t> links =
        JoinedLaunchers(receivers, 0, kJoinFlagRelayedTraffic, OnAddressOrDelivered);
    auto until = Clock::now() + std::chrono::seconds(5);
    while (Clock::now() < until && g_relayed.size() < links.size()) {
        TransportThink(0);
        usleep(500);
    }
    auto rig = std::make_unique<OzrelayRig>();
    int32_t sender = links[0];
    std::vector<uint32_t> destinations;
    for (size_t i = 1; i < links.size(); ++i) destinations.push_back(g_relayed[links[i]]);
    OzrelayRig* r = rig.get();
    // Each send is one game datagram, for the receivers in turn.
    rig->deliveries_per_send = 1;
    auto next = std::make_shared<size_t>(0);
    // A launcher forwards what its game sent meanwhile in one burst, as the session
    // library does with what waits on its socket: the sends up to the next pump are one.
    auto in_burst = std::make_shared<bool>(false);
    rig->send = [r, sender, destinations, next, in_burst](const std::vector<uint8_t>& link) {
        if (!*in_burst) TransportBeginBurst();
        *in_burst = true;
        r->message.assign(link.begin(), link.end());
        StampLinkAddress(r->message.data(), r->message.size(),
                         destinations[(*next)++ % destinations.size()]);
        TransportSendDatagram(sender, r->message.data(), int32_t(r->message.size()),
                              kDirectMessageType);
    };
    rig->pump = [in_burst] {
        if (*in_burst) TransportEndBurst();
        *in_burst = false;
        TransportThink(0);
    };
    return rig;
}

void StartRelay(int idle) {
    g_relay_port = FreeUdpPort();
    std::string port_text = std::to_string(g_relay_port);
    const char* argv[] = {g_relay_binary.c_str(), "--port", port_text.c_str(), "--bind",
                          "127.0.0.1", "--max-queued", "100000", "--max-connections", "30000",
                          "--max-sessions", "5000", "--stats-interval", "3600",
                          // The sender is one player offering far more than a game sends,
                          // and K = 64 makes a session of 65.
                          "--max-messages-per-source", "100000000", "--max-members", "1000",
                          nullptr};
    posix_spawn_file_actions_t quiet;
    posix_spawn_file_actions_init(&quiet);
    posix_spawn_file_actions_addopen(&quiet, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn(&g_relay_pid, g_relay_binary.c_str(), &quiet, nullptr, const_cast<char**>(argv),
                environ);
    posix_spawn_file_actions_destroy(&quiet);
    signal(SIGCHLD, SIG_IGN);  // the idle-link holders end on their own
    usleep(200000);
    if (idle > 0) {
        // A child of this program holds the idle links and answers for them.
        std::string self = "/proc/self/exe", count = std::to_string(idle);
        char exe[4096] = {};
        ssize_t n = readlink(self.c_str(), exe, sizeof exe - 1);
        if (n > 0) exe[n] = 0;
        std::string relay_pid = std::to_string(g_relay_pid);
        const char* child[] = {exe,           "--hold-idle",     port_text.c_str(),
                               count.c_str(), relay_pid.c_str(), nullptr};
        pid_t holder = 0;
        posix_spawn(&holder, exe, nullptr, nullptr, const_cast<char**>(child), environ);
        // It reports by its exit only when killed; wait until the relay counts the links.
        usleep(useconds_t(idle) * 300 + 2000000);
    }
}

void StopRelay() {
    if (g_relay_pid > 0) {
        g_relay_cpu_seconds += ProcessCpuSeconds(g_relay_pid);
        kill(g_relay_pid, SIGTERM);
        waitpid(g_relay_pid, nullptr, 0);
        g_relay_pid = 0;
    }
}

// --hold-idle PORT N PID: N links to the relay at 127.0.0.1:PORT in N/10 sessions,
// kept alive (acknowledged, heartbeats answered) until the relay process PID ends.
int HoldIdleLinks(uint16_t port, int count, pid_t relay) {
    SetTransportLogSink(nullptr);
    TransportLimits limits;
    limits.max_datagrams_per_poll = 64;
    SetTransportLimits(limits);
    std::vector<int32_t> links;
    for (int i = 0; i < count; ++i) {
        Endpoint* ep = CreateEndpoint(0);
        if (!ep) break;
        links.push_back(Connect(ep, "127.0.0.1", port));
        if (i % 500 == 499) TransportThink(0);
    }
    for (int i = 0; i < 20; ++i) {
        TransportThink(0);
        usleep(50000);
    }
    uint8_t join[kJoinMessageSize];
    for (size_t i = 0; i < links.size(); ++i) {
        char name[32];
        std::snprintf(name, sizeof name, "idle-%zu", i / 10);
        WriteJoinMessage(join, name);
        TransportSend(links[i], join, int32_t(sizeof join), kJoinMessageType);
    }
    for (;;) {
        TransportThink(0);
        usleep(200000);
        if (kill(relay, 0) != 0) return 0;
    }
}

struct RawRig : Rig {
    int forward = -1;
    std::vector<SocketHandle> sinks;
    SocketHandle sender = kInvalidSocket;
    std::atomic<bool> stop{false};
    std::thread forwarder;
    uint8_t buffer[2048];
    ~RawRig() override {
        stop = true;
        if (forwarder.joinable()) forwarder.join();
        for (SocketHandle s : sinks) SocketClose(s);
        SocketClose(sender);
        close(forward);
    }
};

std::unique_ptr<Rig> MakeRawRig(int receivers) {
    auto rig = std::make_unique<RawRig>();
    RawRig* r = rig.get();
    r->forward = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(r->forward, reinterpret_cast<sockaddr*>(&a), sizeof a);
    socklen_t n = sizeof a;
    getsockname(r->forward, reinterpret_cast<sockaddr*>(&a), &n);
    uint16_t forward_port = ntohs(a.sin_port);
    auto sink_addresses = std::make_shared<std::vector<sockaddr_in>>();
    for (int i = 0; i < receivers; ++i) {
        SocketHandle s = SocketOpenUdp();
        SocketBind(s, 0);
        SocketSetNonBlocking(s);
        uint16_t p = 0;
        SocketLocalPort(s, &p);
        r->sinks.push_back(s);
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        to.sin_port = htons(p);
        sink_addresses->push_back(to);
    }
    r->forwarder = std::thread([r, sink_addresses, receivers] {
        constexpr int kBatch = 32;
        static thread_local uint8_t buffers[kBatch][2048];
        mmsghdr in[kBatch];
        iovec in_iov[kBatch];
        std::vector<mmsghdr> out(size_t(kBatch) * receivers);
        std::vector<iovec> out_iov(out.size());
        timeval tick{0, 100000};
        setsockopt(r->forward, SOL_SOCKET, SO_RCVTIMEO, &tick, sizeof tick);
        while (!r->stop) {
            for (int i = 0; i < kBatch; ++i) {
                in_iov[i] = {buffers[i], sizeof buffers[i]};
                in[i] = {};
                in[i].msg_hdr.msg_iov = &in_iov[i];
                in[i].msg_hdr.msg_iovlen = 1;
            }
            int got = recvmmsg(r->forward, in, kBatch, MSG_WAITFORONE, nullptr);
            if (got <= 0) continue;
            size_t k = 0;
            for (int i = 0; i < got; ++i) {
                for (auto& to : *sink_addresses) {
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
                int result = sendmmsg(r->forward, out.data() + sent, unsigned(k - sent), 0);
                if (result <= 0) break;
                sent += size_t(result);
            }
        }
    });
    r->sender = SocketOpenUdp();
    SocketAddress to = Loopback(forward_port);
    rig->send = [r, to](const std::vector<uint8_t>& link) {
        SocketSendTo(r->sender, link.data(), link.size(), to);
    };
    rig->pump = [r] {
        SocketAddress from;
        int error;
        for (SocketHandle s : r->sinks) {
            int got;
            while ((got = SocketReceiveFrom(s, r->buffer, sizeof r->buffer, &from, &error)) > 0) {
                g_tally.Add(r->buffer, size_t(got));
            }
        }
    };
    return rig;
}

// The same relay written with ENet: its host on a thread forwards each reliable
// packet of one peer to every other peer; the sender and receivers are ENet hosts in
// this thread.
struct EnetRig : Rig {
    ENetHost* relay = nullptr;
    std::vector<ENetHost*> clients;  // [0] sends
    std::vector<ENetPeer*> peers;
    std::atomic<bool> stop{false};
    std::thread service;
    ~EnetRig() override {
        stop = true;
        if (service.joinable()) service.join();
        for (ENetHost* h : clients) enet_host_destroy(h);
        if (relay) enet_host_destroy(relay);
    }
};

void ServiceClient(ENetHost* host) {
    ENetEvent event;
    while (enet_host_service(host, &event, 0) > 0) {
        if (event.type == ENET_EVENT_TYPE_RECEIVE) {
            g_tally.Add(event.packet->data, event.packet->dataLength);
            enet_packet_destroy(event.packet);
        }
    }
}

bool g_enet_unreliable = false;  // unsequenced packets, as games send them

std::unique_ptr<Rig> MakeEnetRig(int receivers) {
    auto rig = std::make_unique<EnetRig>();
    EnetRig* r = rig.get();
    ENetAddress address{};
    enet_address_set_host(&address, "127.0.0.1");
    address.port = FreeUdpPort();
    r->relay = enet_host_create(&address, size_t(receivers) + 1, 1, 0, 0);
    r->service = std::thread([r] {
        std::vector<ENetPeer*> connected;
        ENetEvent event;
        while (!r->stop) {
            if (enet_host_service(r->relay, &event, 1) <= 0) continue;
            do {
                if (event.type == ENET_EVENT_TYPE_CONNECT) {
                    connected.push_back(event.peer);
                } else if (event.type == ENET_EVENT_TYPE_RECEIVE) {
                    ENetPacket* copy =
                        enet_packet_create(event.packet->data, event.packet->dataLength,
                                           g_enet_unreliable ? ENET_PACKET_FLAG_UNSEQUENCED
                                                             : ENET_PACKET_FLAG_RELIABLE);
                    bool sent = false;
                    for (ENetPeer* p : connected) {
                        if (p == event.peer) continue;
                        enet_peer_send(p, 0, copy);
                        sent = true;
                    }
                    if (!sent) enet_packet_destroy(copy);
                    enet_packet_destroy(event.packet);
                }
            } while (enet_host_check_events(r->relay, &event) > 0);
            enet_host_flush(r->relay);
        }
    });
    for (int i = 0; i <= receivers; ++i) {
        ENetHost* client = enet_host_create(nullptr, 1, 1, 0, 0);
        r->clients.push_back(client);
        r->peers.push_back(enet_host_connect(client, &address, 1, 0));
    }
    auto until = Clock::now() + std::chrono::seconds(5);
    while (Clock::now() < until && !std::all_of(r->peers.begin(), r->peers.end(), [](ENetPeer* p) {
               return p->state == ENET_PEER_STATE_CONNECTED;
           })) {
        for (ENetHost* h : r->clients) ServiceClient(h);
        usleep(1000);
    }
    rig->send = [r](const std::vector<uint8_t>& link) {
        enet_peer_send(r->peers[0], 0,
                       enet_packet_create(link.data(), link.size(),
                                          g_enet_unreliable ? ENET_PACKET_FLAG_UNSEQUENCED
                                                            : ENET_PACKET_FLAG_RELIABLE));
    };
    rig->pump = [r] {
        enet_host_flush(r->clients[0]);
        for (ENetHost* h : r->clients) ServiceClient(h);
    };
    return rig;
}

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
    g_bundles = column != "ours";
    g_enet_unreliable = column == "enet-unsequenced";
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
                double(g_tally.delivered) / (g_fixed_rate * g_try_seconds * double(per_send)));
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
    for (int i = 1; i + 1 < argc; i += 2) {
        std::string option = argv[i];
        if (option == "--idle") g_idle_links = std::atoi(argv[i + 1]);
        if (option == "--k") ks = {std::atoi(argv[i + 1])};
        if (option == "--try-seconds") g_try_seconds = std::atof(argv[i + 1]);
        if (option == "--latency-only") g_latency_only = std::atoi(argv[i + 1]) != 0;
        if (option == "--game-path") g_game_path = std::atoi(argv[i + 1]) != 0;
        if (option == "--only") g_only = argv[i + 1];
        if (option == "--rate") g_fixed_rate = std::atof(argv[i + 1]);
    }
    if (!g_only.empty() && !ColumnRig(g_only)) {
        std::fprintf(stderr,
                     "relay_bench: --only takes ours, bundles, raw, enet, game or "
                     "enet-unsequenced, not '%s'\n",
                     g_only.c_str());
        return 2;
    }
    g_relay_binary = SiblingBinary(argv[0], "ozrelay");
    enet_initialize();
    std::printf(
        "relay fan-out, 200-byte link messages, K receivers; forwarded messages per "
        "second as min/median/max of three runs\n");
    if (g_idle_links > 0) {
        std::printf("ozrelay holds %d idle links in %d sessions besides the measured ones\n",
                    g_idle_links, g_idle_links / 10);
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
        g_bundles = false;
        Figures ours = Measure(MakeOzrelayRig, k);
        StopRelay();
        TransportReset();
        g_bundles = true;
        Figures bundled = Measure(MakeOzrelayRig, k);
        StopRelay();
        TransportReset();
        Figures raw = Measure(MakeRawRig, k);
        g_enet_unreliable = false;
        Figures enet = Measure(MakeEnetRig, k);
        Figures game, enet_unreliable;
        if (g_game_path) {
            g_bundles = true;
            game = Measure(MakeGameRig, k);
            StopRelay();
            TransportReset();
            g_enet_unreliable = true;
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
