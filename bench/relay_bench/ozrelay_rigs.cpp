#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <map>

#include "bench/process_figures.h"
#include "bench/relay_bench/rig.h"
#include "protocol/wire.h"

extern char** environ;
using namespace ozlan;

namespace relay_bench {
namespace {

void OnDelivered(const uint8_t* data, int32_t length, int32_t type, int32_t id, void*) {
    // The relay reads bundles: this launcher may send them too.
    if (uint32_t(type) == kBundlesType) {
        SetConnectionBundles(id, true);
        return;
    }
    Received().Add(data, size_t(length));
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

uint16_t g_relay_port = 0;
pid_t g_relay_pid = 0;

struct OzrelayRig : Rig {
    std::vector<uint8_t> message = std::vector<uint8_t>(kRelayHeaderSize + kLinkSize);
    ~OzrelayRig() override { TransportReset(); }
};

// A fresh ozrelay process (and, with `idle`, a child holding that many idle links).
void StartRelay(int idle) {
    g_relay_port = FreeUdpPort();
    std::string port_text = std::to_string(g_relay_port);
    const char* argv[] = {Run().relay_binary.c_str(), "--port", port_text.c_str(), "--bind",
                          "127.0.0.1", "--max-queued", "100000", "--max-connections", "30000",
                          "--max-sessions", "5000", "--stats-interval", "3600",
                          // The sender is one player offering far more than a game sends,
                          // and K = 64 makes a session of 65.
                          "--max-messages-per-source", "100000000", "--max-members", "1000",
                          nullptr};
    posix_spawn_file_actions_t quiet;
    posix_spawn_file_actions_init(&quiet);
    posix_spawn_file_actions_addopen(&quiet, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn(&g_relay_pid, Run().relay_binary.c_str(), &quiet, nullptr, const_cast<char**>(argv),
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
    WriteJoinMessage(join, "bench", flags | (Run().bundles ? kJoinFlagBundles : 0));
    for (int32_t id : links) TransportSend(id, join, int32_t(sizeof join), kJoinMessageType);
    return links;
}

std::map<int32_t, uint32_t> g_relayed;  // receiving link -> its relayed address

void OnAddressOrDelivered(const uint8_t* data, int32_t length, int32_t type, int32_t id,
                          void* zero) {
    if (uint32_t(type) == kAddressMessageType && length == int32_t(kAddressMessageSize)) {
        std::memcpy(&g_relayed[id], data, 4);
        return;
    }
    OnDelivered(data, length, type, id, zero);
}

}  // namespace

std::unique_ptr<Rig> MakeOzrelayRig(int receivers) {
    std::vector<int32_t> links = JoinedLaunchers(receivers, Run().idle_links, 0, OnDelivered);
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

void StopRelay() {
    if (g_relay_pid > 0) {
        Run().relay_cpu_seconds += ProcessCpuSeconds(g_relay_pid);
        kill(g_relay_pid, SIGTERM);
        waitpid(g_relay_pid, nullptr, 0);
        g_relay_pid = 0;
    }
}

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

}  // namespace relay_bench
