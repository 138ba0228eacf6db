// Sessions that survive their relay: thousands of launcher links kept by the session
// library's own link keeper (session/relay_link), around real ozrelay processes on
// loopback. Modes:
//   join      N launchers start (spread over a second); the share that is a member of
//             its session within 10 s, against launchers with the protocol's own
//             timings (connect resent every 10 s, given up after 30 s) in the same run.
//             Run it where loss is injected (bench/rejoin-bench does, with nftables).
//   restart   N members; the relay stops (SIGTERM, or SIGKILL with --kill) and is back
//             a second later: how long until every launcher is a member again, and the
//             relay's memory before and after.
//   failover  N members of N/10 sessions over three relays; the relay holding the most
//             stops (SIGTERM), then the one holding the most then dies (SIGKILL): how
//             long until their members are members elsewhere.
//   split     sessions split between relays while their first was down meet again on
//             it once it is back: how long, and whether anyone moves twice.
//   steady    N members over three relays, their games broadcasting, for 60 s (run it
//             where loss is injected): links that waited long, and links that moved.
//   idle      N idle members for 30 s: datagrams per launcher per second, and the
//             relay's CPU per keep-alive.
// Launchers bind to 127.0.0.2 ... 127.0.0.(1 + --sources).
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "bench/process_figures.h"
#include "protocol/wire.h"
#include "session/relay_link.h"
#include "transport/transport.h"

extern char** environ;

using namespace ozlan;

namespace {

struct Options {
    std::string mode = "join";
    int launchers = 1000;
    int sources = 64;
    bool kill = false;
    std::string relay_binary;
};

// One simulated launcher: its own socket, its link keeper, and whether the relay has
// answered its latest join.
struct Launcher {
    RelayLinkState link;
    Endpoint* endpoint = nullptr;
    std::string session;
    int64_t started = 0;
    int64_t member_at = 0;          // when the relay last answered its join; 0 while not a member
    int32_t member_connection = 0;  // the link the relay answered the join on
    int64_t first_member_at = 0;    // when a relay first answered its join
    int64_t home_at = 0;            // when the session's first relay last answered its join
    // The baseline: a plain connection with the protocol's timings, joined once.
    int32_t plain = 0;
};
std::vector<std::unique_ptr<Launcher>> g_launchers;
std::map<int32_t, Launcher*> g_plain_by_connection;

Launcher* OwnerOf(int32_t connection_id) {
    for (auto& l : g_launchers) {
        if (RelayLinkConnection(l->link) == connection_id || l->plain == connection_id) {
            return l.get();
        }
    }
    return nullptr;
}

void OnMessage(const uint8_t*, int32_t, int32_t type, int32_t connection_id, void*) {
    if (uint32_t(type) == kNoLinkNoticeType || uint32_t(type) == kGoingAwayNoticeType) {
        RelayLinkNotice(connection_id, uint32_t(type));
        return;
    }
    if (uint32_t(type) != kAddressMessageType) return;
    Launcher* l = OwnerOf(connection_id);
    if (!l) return;
    int64_t now = TransportNow();
    // A link that moved to another relay without a loss is a member there anew.
    if (l->member_at == 0 || l->member_connection != connection_id) l->member_at = now;
    l->member_connection = connection_id;
    if (l->first_member_at == 0) l->first_member_at = now;
    if (l->plain == 0 && l->link.current == 0) l->home_at = now;
}

void SendJoinOf(RelayLinkState& link, int32_t, bool) {
    auto* l = static_cast<Launcher*>(link.owner);
    uint8_t join[kJoinMessageSize];
    WriteJoinMessage(join, l->session.c_str(), kJoinFlagRelayedTraffic);
    RelayLinkSendJoin(link, join, sizeof join, kJoinMessageType);
}

void OnPlainConnected(int32_t connection_id, int32_t, void*) {
    auto found = g_plain_by_connection.find(connection_id);
    if (found == g_plain_by_connection.end()) return;
    uint8_t join[kJoinMessageSize];
    WriteJoinMessage(join, found->second->session.c_str(), kJoinFlagRelayedTraffic);
    TransportSend(connection_id, join, int32_t(sizeof join), kJoinMessageType);
}

Endpoint* SourceEndpoint(int index, int sources) {
    char ip[32];
    std::snprintf(ip, sizeof ip, "127.0.0.%d", 2 + index % sources);
    uint32_t bind_ip = 0;
    ResolveIPv4(ip, &bind_ip);
    return CreateEndpoint(0, bind_ip);
}

// --- Relay processes -------------------------------------------------------------

struct Relay {
    uint16_t port = 0;
    pid_t pid = 0;
};

void Start(const Options& o, Relay* r) {
    if (r->port == 0) r->port = FreeUdpPort();
    std::string port = std::to_string(r->port);
    const char* argv[] = {o.relay_binary.c_str(),
                          "--port",
                          port.c_str(),
                          "--bind",
                          "127.0.0.1",
                          "--max-connections",
                          "100000",
                          "--max-sessions",
                          "100000",
                          "--stats-interval",
                          "3600",
                          nullptr};
    posix_spawn_file_actions_t quiet;
    posix_spawn_file_actions_init(&quiet);
    posix_spawn_file_actions_addopen(&quiet, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn(&r->pid, o.relay_binary.c_str(), &quiet, nullptr, const_cast<char**>(argv),
                environ);
    posix_spawn_file_actions_destroy(&quiet);
    usleep(200000);  // until it listens
}

void Stop(Relay* r, int signal_number) {
    if (r->pid <= 0) return;
    kill(r->pid, signal_number);
    waitpid(r->pid, nullptr, 0);
    r->pid = 0;
}

// --- Driving ---------------------------------------------------------------------

RelayAddress AddressOf(const Relay& r) {
    std::vector<RelayAddress> list;
    char error[100];
    std::string text = "127.0.0.1:" + std::to_string(r.port);
    ParseRelayList(text.c_str(), r.port, &list, error, sizeof error);
    return list.front();
}

void BeginKeeper(Launcher& l, const std::vector<RelayAddress>& relays) {
    std::vector<RelayAddress> ordered = relays;
    OrderRelaysForSession(l.session.c_str(), &ordered);
    l.link.owner = &l;
    l.started = TransportNow();
    RelayLinkBegin(l.link, l.endpoint, ordered, OnMessage, SendJoinOf);
}

// One round of the launchers' timers and one transport pass.
void Pass() {
    for (auto& l : g_launchers) {
        if (l->endpoint && l->plain == 0) RelayLinkTick(l->link);
        if (l->plain == 0 && !RelayLinkJoined(l->link)) l->member_at = 0;
    }
    TransportThink(0);
}

// Runs passes every few ms until done() or `ms` have passed; false on time-out.
template <class Done>
bool RunUntil(Done done, int64_t ms) {
    int64_t end = TransportNow() + ms;
    while (!done()) {
        if (TransportNow() >= end) return false;
        Pass();
        usleep(2000);
    }
    return true;
}

size_t Members() {
    return size_t(std::count_if(g_launchers.begin(), g_launchers.end(),
                                [](const auto& l) { return l->member_at != 0; }));
}

void MakeLaunchers(const Options& o, int sessions) {
    g_launchers.clear();
    for (int i = 0; i < o.launchers; ++i) {
        auto l = std::make_unique<Launcher>();
        l->endpoint = SourceEndpoint(i, o.sources);
        l->session = "bench-" + std::to_string(i % sessions);
        if (!l->endpoint) {
            std::fprintf(stderr, "rejoin_bench: cannot open launcher socket %d\n", i);
            std::exit(1);
        }
        g_launchers.push_back(std::move(l));
    }
}

int64_t RandomBelowMs(int64_t bound) {
    return bound > 0 ? int64_t(std::rand() % int(bound)) : 0;
}

double Percentile(std::vector<int64_t> v, double p) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    return double(v[std::min(v.size() - 1, size_t(p * double(v.size())))]);
}

// The share of launchers (keepers, or plain ones) that became members within 10 s of
// their start; the launchers start 1 ms apart.
double JoinShare(const Options& o, const Relay& relay, bool plain, std::vector<int64_t>* times) {
    MakeLaunchers(o, o.launchers / 2);
    std::vector<RelayAddress> relays{AddressOf(relay)};
    LinkTimings protocol;  // the protocol's own timings
    size_t started = 0;
    int64_t begin = TransportNow();
    RunUntil(
        [&] {
            int64_t now = TransportNow();
            while (started < g_launchers.size() && now - begin >= int64_t(started)) {
                Launcher& l = *g_launchers[started++];
                if (plain) {
                    l.started = now;
                    l.plain = ConnectWithTimings(l.endpoint, "127.0.0.1", relay.port, protocol);
                    g_plain_by_connection[l.plain] = &l;
                    SetEventCallback(l.plain, EVENT_CONNECTED, OnPlainConnected);
                    SetDefaultHandler(l.plain, OnMessage);
                } else {
                    BeginKeeper(l, relays);
                }
            }
            return started == g_launchers.size() && now - begin > 11000;
        },
        13000);
    size_t within = 0;
    for (auto& l : g_launchers) {
        if (l->member_at != 0) times->push_back(l->member_at - l->started);
        within += l->member_at != 0 && l->member_at - l->started <= 10000;
        if (!plain) RelayLinkForget(l->link);
    }
    g_plain_by_connection.clear();
    TransportReset();
    return double(within) / double(g_launchers.size());
}

int RunJoin(const Options& o) {
    Relay relay;
    Start(o, &relay);
    std::printf("joins within 10 s, %d launchers from %d addresses (loss as the caller set it)\n",
                o.launchers, o.sources);
    std::vector<int64_t> kept, plain;
    double with_keeper = JoinShare(o, relay, false, &kept);
    Stop(&relay, SIGTERM);
    Start(o, &relay);
    double protocol = JoinShare(o, relay, true, &plain);
    Stop(&relay, SIGTERM);
    std::printf("  launcher link keeper: %.2f%% joined (p50 %.0f ms, p99 %.0f ms, max %.0f ms)\n",
                100 * with_keeper, Percentile(kept, 0.5), Percentile(kept, 0.99),
                Percentile(kept, 1.0));
    std::printf("  protocol timings:     %.2f%% joined (p50 %.0f ms, p99 %.0f ms, max %.0f ms)\n",
                100 * protocol, Percentile(plain, 0.5), Percentile(plain, 0.99),
                Percentile(plain, 1.0));
    std::printf("  ratio: %.3f\n", protocol > 0 ? with_keeper / protocol : 0.0);
    return 0;
}

// For each launcher that became a member again after `since` (within `ms`), how long
// after.
std::vector<int64_t> TimesToMembership(const std::vector<Launcher*>& launchers, int64_t since,
                                       int64_t ms) {
    std::vector<int64_t> times(launchers.size(), -1);
    RunUntil(
        [&] {
            size_t done = 0;
            for (size_t i = 0; i < launchers.size(); ++i) {
                const Launcher& l = *launchers[i];
                if (times[i] < 0 && l.member_at != 0 && l.member_at >= since) {
                    times[i] = l.member_at - since;
                }
                done += times[i] >= 0;
            }
            return done == launchers.size();
        },
        ms);
    std::vector<int64_t> done;
    for (int64_t t : times) {
        if (t >= 0) done.push_back(t);
    }
    return done;
}

// Every keeper a member of its session on `relays`.
bool AllMembers(const std::vector<RelayAddress>& relays, int64_t ms) {
    for (auto& l : g_launchers) BeginKeeper(*l, relays);
    return RunUntil([] { return Members() == g_launchers.size(); }, ms);
}

int RunRestart(const Options& o) {
    Relay relay;
    Start(o, &relay);
    MakeLaunchers(o, o.launchers / 4);
    std::vector<RelayAddress> relays{AddressOf(relay)};
    if (!AllMembers(relays, 30000)) {
        std::printf("restart: only %zu of %zu joined at first\n", Members(), g_launchers.size());
        return 1;
    }
    long before = ProcessResidentKiB(relay.pid);
    Stop(&relay, o.kill ? SIGKILL : SIGTERM);
    RunUntil([] { return false; }, 1000);  // down for a second
    Start(o, &relay);
    int64_t back = TransportNow();
    long fresh = ProcessResidentKiB(relay.pid);
    std::vector<Launcher*> all;
    for (auto& l : g_launchers) all.push_back(l.get());
    std::vector<int64_t> done = TimesToMembership(all, back, 30000);
    long after = ProcessResidentKiB(relay.pid);
    std::printf("restart (%s, down 1 s), %d launchers from %d addresses in %d sessions\n",
                o.kill ? "SIGKILL" : "SIGTERM", o.launchers, o.sources, o.launchers / 4);
    std::printf(
        "  members again: %zu of %zu; after the relay was back: p50 %.0f ms, p99 %.0f ms, "
        "max %.0f ms\n",
        done.size(), all.size(), Percentile(done, 0.5), Percentile(done, 0.99),
        Percentile(done, 1.0));
    std::printf(
        "  relay resident memory: %ld KiB with everyone before, %ld KiB new, %ld KiB with "
        "everyone again\n",
        before, fresh, after);
    Stop(&relay, SIGTERM);
    return done.size() == all.size() ? 0 : 1;
}

// Every keeper sends one relay message (a game's broadcast) at a random moment within
// `ms`.
void SpreadTraffic(int64_t ms) {
    std::vector<int64_t> at;
    for (size_t i = 0; i < g_launchers.size(); ++i) at.push_back(RandomBelowMs(ms));
    int64_t begin = TransportNow();
    std::vector<bool> sent(g_launchers.size(), false);
    RunUntil(
        [&] {
            int64_t now = TransportNow() - begin;
            for (size_t i = 0; i < g_launchers.size(); ++i) {
                if (sent[i] || now < at[i]) continue;
                Launcher& l = *g_launchers[i];
                uint8_t message[kRelayHeaderSize + kLinkHeaderSize];
                WriteRelayHeader(message, l.session.c_str(), uint32_t(kLinkHeaderSize));
                WriteLinkHeader(message + kRelayHeaderSize, 4000);
                RelayLinkSend(l.link, message, sizeof message);
                sent[i] = true;
            }
            return now >= ms;
        },
        ms + 1000);
}

int RunFailover(const Options& o) {
    Relay relays[3];
    std::vector<RelayAddress> list;
    for (Relay& r : relays) {
        Start(o, &r);
        list.push_back(AddressOf(r));
    }
    MakeLaunchers(o, o.launchers / 10);
    if (!AllMembers(list, 30000)) {
        std::printf("failover: only %zu of %zu joined at first\n", Members(), g_launchers.size());
        return 1;
    }
    // The relay most sessions picked first says it stops (SIGTERM); then, its members
    // having moved, the relay now holding the most dies without a word (SIGKILL): a
    // relay gone silent, against one that said goodbye, in the same run.
    double p99[2] = {0, 0};
    bool all_moved = true;
    for (int round = 0; round < 2; ++round) {
        std::map<uint16_t, int> count;
        for (auto& l : g_launchers) ++count[l->link.relays[l->link.current].port];
        Relay* busiest = nullptr;
        for (Relay& r : relays) {
            if (r.pid > 0 && (!busiest || count[r.port] > count[busiest->port])) busiest = &r;
        }
        std::vector<Launcher*> moved;
        for (auto& l : g_launchers) {
            if (l->link.relays[l->link.current].port == busiest->port) moved.push_back(l.get());
        }
        int signal_number = round == 0 ? SIGTERM : SIGKILL;
        // Before the kill, each game broadcasts once at a moment of its own within 10 s,
        // as games do: the launchers' keep-alives then fall due at moments of their own.
        if (signal_number == SIGKILL) SpreadTraffic(10000);
        Stop(busiest, signal_number);
        int64_t stopped = TransportNow();
        std::vector<int64_t> done = TimesToMembership(moved, stopped, 40000);
        std::printf(
            "failover (%s), three relays, %d launchers in %d sessions; %zu were on the "
            "stopped relay\n",
            round == 0 ? "SIGTERM" : "SIGKILL", o.launchers, o.launchers / 10, moved.size());
        std::printf(
            "  members on another relay: %zu of %zu; p50 %.0f ms, p99 %.0f ms, max %.0f ms\n",
            done.size(), moved.size(), Percentile(done, 0.5), Percentile(done, 0.99),
            Percentile(done, 1.0));
        p99[round] = Percentile(done, 0.99);
        all_moved = all_moved && done.size() == moved.size();
        RunUntil([] { return false; }, 2000);  // the moves settle
    }
    if (p99[0] > 0) std::printf("  SIGKILL/SIGTERM p99: %.2f\n", p99[1] / p99[0]);
    for (Relay& r : relays) Stop(&r, SIGTERM);
    return all_moved ? 0 : 1;
}

// Sessions split between relays: relay A is down while half the launchers join (those
// whose session puts A first land on their second relay), then A starts and the other
// half joins (they land on A). How long after A is back until every member of those
// sessions is on A, and how often a launcher moved; against the same launchers' first
// join.
int RunSplit(const Options& o) {
    Relay relays[3];
    relays[0].port = FreeUdpPort();
    Start(o, &relays[1]);
    Start(o, &relays[2]);
    std::vector<RelayAddress> list;
    for (Relay& r : relays) list.push_back(AddressOf(r));
    MakeLaunchers(o, o.launchers / 10);
    size_t half = g_launchers.size() / 2;
    std::vector<Launcher*> early, split;
    for (size_t i = 0; i < g_launchers.size(); ++i) {
        Launcher& l = *g_launchers[i];
        if (i < half) {
            BeginKeeper(l, list);
            early.push_back(&l);
        }
    }
    auto joined = [&](const std::vector<Launcher*>& v) {
        return std::all_of(v.begin(), v.end(), [](Launcher* l) { return l->member_at != 0; });
    };
    if (!RunUntil([&] { return joined(early); }, 30000)) {
        std::printf("split: only %zu of %zu joined at first\n", Members(), half);
        return 1;
    }
    for (Launcher* l : early) {
        if (l->link.relays[0].port == relays[0].port) split.push_back(l);
    }
    Start(o, &relays[0]);
    int64_t back = TransportNow();
    std::vector<Launcher*> late;
    for (size_t i = half; i < g_launchers.size(); ++i) {
        BeginKeeper(*g_launchers[i], list);
        late.push_back(g_launchers[i].get());
    }
    std::vector<int64_t> times(split.size(), -1);
    RunUntil(
        [&] {
            size_t done = 0;
            for (size_t i = 0; i < split.size(); ++i) {
                if (times[i] < 0 && split[i]->home_at >= back) times[i] = split[i]->home_at - back;
                done += times[i] >= 0;
            }
            return done == split.size();
        },
        30000);
    RunUntil([] { return false; }, 10000);  // nobody moves again
    std::vector<int64_t> done, first_joins;
    size_t twice = 0, within = 0;
    for (size_t i = 0; i < split.size(); ++i) {
        if (times[i] >= 0) done.push_back(times[i]);
        within += times[i] >= 0 && times[i] <= 10000;
        twice += split[i]->link.home_moves > 1 ||
                 split[i]->link.relays[split[i]->link.current].port != relays[0].port;
    }
    for (Launcher* l : split) first_joins.push_back(l->first_member_at - l->started);
    std::printf(
        "split sessions, three relays, %d launchers in %d sessions; %zu members waited on "
        "their second relay while their first was down\n",
        o.launchers, o.launchers / 10, split.size());
    std::printf(
        "  on their first relay again after it was back: %zu of %zu (%zu within 10 s); p50 %.0f "
        "ms, p99 %.0f ms, max %.0f ms; moved twice or left it: %zu\n",
        done.size(), split.size(), within, Percentile(done, 0.5), Percentile(done, 0.99),
        Percentile(done, 1.0), twice);
    std::printf("  their first join (the first relay down): p50 %.0f ms; ratio p50 %.2f\n",
                Percentile(first_joins, 0.5),
                Percentile(first_joins, 0.5) > 0
                    ? Percentile(done, 0.5) / Percentile(first_joins, 0.5)
                    : 0.0);
    for (Relay& r : relays) Stop(&r, SIGTERM);
    return done.size() == split.size() && twice == 0 ? 0 : 1;
}

// Members of sessions over three relays whose games broadcast about once a second for
// 60 s (run it where loss is injected): how often a link waited long enough to ask its
// relay more often, and how often one moved (it should never, with every relay up).
int RunSteady(const Options& o) {
    Relay relays[3];
    std::vector<RelayAddress> list;
    for (Relay& r : relays) {
        Start(o, &r);
        list.push_back(AddressOf(r));
    }
    MakeLaunchers(o, o.launchers / 10);
    if (!AllMembers(list, 30000)) {
        std::printf("steady: only %zu of %zu joined\n", Members(), g_launchers.size());
        return 1;
    }
    for (int second = 0; second < 60; ++second) SpreadTraffic(1000);
    uint64_t quiet = 0, moves = 0, home = 0;
    for (auto& l : g_launchers) {
        quiet += l->link.quiet_episodes;
        moves += l->link.silent_moves;
        home += l->link.home_moves;
    }
    std::printf(
        "steady sessions, three relays, %d launchers in %d sessions, 60 s of a broadcast "
        "a second each (loss as the caller set it)\n",
        o.launchers, o.launchers / 10);
    std::printf(
        "  links left waiting %lld ms or more: %llu times; links that left a relay as silent: "
        "%llu; links that went back to their session's first relay (joined elsewhere when "
        "their first connect was lost): %llu\n",
        (long long)kQuietRelayMs, (unsigned long long)quiet, (unsigned long long)moves,
        (unsigned long long)home);
    for (Relay& r : relays) Stop(&r, SIGTERM);
    return moves == 0 ? 0 : 1;
}

int RunIdle(const Options& o) {
    Relay relay;
    Start(o, &relay);
    MakeLaunchers(o, o.launchers / 4);
    if (!AllMembers({AddressOf(relay)}, 30000)) return 1;
    RunUntil([] { return false; }, 2000);  // the joins' traffic settles
    TransportStats before = GetTransportStats();
    double cpu_before = ProcessCpuSeconds(relay.pid);
    const int64_t seconds = 30;
    RunUntil([] { return false; }, seconds * 1000);
    TransportStats after = GetTransportStats();
    double cpu = ProcessCpuSeconds(relay.pid) - cpu_before;
    double sent = double(after.datagrams_sent - before.datagrams_sent);
    double received = double(after.datagrams_received - before.datagrams_received);
    double n = double(g_launchers.size());
    std::printf("idle members, %d launchers, %lld s\n", o.launchers, (long long)seconds);
    std::printf(
        "  launchers sent %.3f datagrams/s each (keep-alives and acknowledgements), "
        "received %.3f\n",
        sent / n / double(seconds), received / n / double(seconds));
    std::printf("  relay CPU: %.3f s for %.0f datagrams in: %.1f us each\n", cpu, sent,
                sent > 0 ? cpu * 1e6 / sent : 0.0);
    double per_second_100k = 100000.0 * sent / n / double(seconds);
    std::printf("  100,000 idle launchers: %.0f datagrams/s in, about %.1f%% of one core\n",
                per_second_100k, sent > 0 ? per_second_100k * cpu / sent * 100 : 0.0);
    Stop(&relay, SIGTERM);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    Options o;
    std::string self = argv[0];
    o.relay_binary = self.substr(0, self.find_last_of('/') + 1) + "ozrelay";
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        const char* value = i + 1 < argc ? argv[i + 1] : "";
        if (a == "--launchers") {
            o.launchers = std::atoi(value);
            ++i;
        } else if (a == "--sources") {
            o.sources = std::max(1, std::min(250, std::atoi(value)));
            ++i;
        } else if (a == "--kill") {
            o.kill = true;
        } else if (a == "--relay") {
            o.relay_binary = value;
            ++i;
        } else {
            o.mode = a;
        }
    }
    if (o.launchers < 10) o.launchers = 10;
    // A socket per launcher.
    rlimit files{};
    getrlimit(RLIMIT_NOFILE, &files);
    files.rlim_cur = files.rlim_max;
    setrlimit(RLIMIT_NOFILE, &files);
    signal(SIGPIPE, SIG_IGN);
    SetTransportLogSink(nullptr);
    SocketStartup();
    if (o.mode == "join") return RunJoin(o);
    if (o.mode == "restart") return RunRestart(o);
    if (o.mode == "failover") return RunFailover(o);
    if (o.mode == "idle") return RunIdle(o);
    if (o.mode == "split") return RunSplit(o);
    if (o.mode == "steady") return RunSteady(o);
    std::fprintf(stderr,
                 "usage: rejoin_bench join|restart|failover|split|steady|idle [--launchers N] "
                 "[--sources N] [--kill] [--relay PATH]\n");
    return 2;
}
