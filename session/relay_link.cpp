#include "session/relay_link.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unordered_map>

#include "protocol/wire.h"
#include "session/relay_link_parts.h"

namespace ozlan {

namespace {

void SetError(char* error, size_t size, const std::string& text) {
    if (size > 0) std::snprintf(error, size, "%s", text.c_str());
}

// One "host[:port]" entry, appended with all its addresses.
bool AddRelayEntry(const std::string& entry, uint16_t default_port, std::vector<RelayAddress>* out,
                   char* error, size_t error_size) {
    std::string host = entry;
    uint16_t port = default_port;
    size_t colon = entry.rfind(':');
    if (colon != std::string::npos) {
        host = entry.substr(0, colon);
        std::string digits = entry.substr(colon + 1);
        char* end = nullptr;
        long value = digits.empty() ? 0 : std::strtol(digits.c_str(), &end, 10);
        if (digits.empty() || *end != 0 || value < 1 || value > 65535) {
            SetError(error, error_size, "bad relay port in '" + entry + "'");
            return false;
        }
        port = uint16_t(value);
    }
    if (host.empty() || host.size() >= kHostFieldSize) {
        SetError(error, error_size, "bad relay address '" + entry + "'");
        return false;
    }
    uint32_t ips[kMaxRelays];
    size_t count = ResolveIPv4All(host.c_str(), ips, kMaxRelays);
    if (count == 0) {
        SetError(error, error_size, "cannot resolve the relay service's name '" + host + "'");
        return false;
    }
    for (size_t i = 0; i < count && out->size() < kMaxRelays; ++i) {
        RelayAddress a;
        a.ip = ips[i];
        a.port = port;
        const uint8_t* b = reinterpret_cast<const uint8_t*>(&ips[i]);
        std::snprintf(a.text, sizeof a.text, "%u.%u.%u.%u", b[0], b[1], b[2], b[3]);
        bool known = std::any_of(out->begin(), out->end(), [&](const RelayAddress& r) {
            return r.ip == a.ip && r.port == a.port;
        });
        if (!known) out->push_back(a);
    }
    return true;
}

}  // namespace

int64_t RandomBelow(int64_t bound) {
    uint32_t r = 0;
    if (!RandomBytes(&r, sizeof r)) r = uint32_t(TransportNow());
    return bound > 0 ? int64_t(r % uint64_t(bound)) : 0;
}

bool RelaySkipped(const RelayLinkState& k, size_t index, int64_t now) {
    return index < k.skip_until.size() && now < k.skip_until[index];
}

// The first relay from `start` on that is not skipped; `start` itself when all are.
size_t NextRelay(const RelayLinkState& k, size_t start, int64_t now) {
    for (size_t n = 0; n < k.relays.size(); ++n) {
        size_t index = (start + n) % k.relays.size();
        if (!RelaySkipped(k, index, now)) return index;
    }
    return start % k.relays.size();
}

// Which record a connection belongs to: the transport's callbacks carry only its id.
std::unordered_map<int32_t, RelayLinkState*>& LinksByConnection() {
    static std::unordered_map<int32_t, RelayLinkState*> links;
    return links;
}

RelayLinkState* LinkOf(int32_t connection_id) {
    auto found = LinksByConnection().find(connection_id);
    return found == LinksByConnection().end() ? nullptr : found->second;
}

void DropConnection(RelayLinkState& k) {
    if (k.connection_id == 0) return;
    LinksByConnection().erase(k.connection_id);
    TransportDropConnection(k.connection_id);
}

namespace {

bool StartAttempt(RelayLinkState& k, size_t index, int64_t now) {
    const RelayAddress& relay = k.relays[index];
    int32_t id = ConnectWithTimings(k.endpoint, relay.text, relay.port, LauncherLinkTimings());
    if (id == 0) return false;
    SetEventCallback(id, EVENT_CONNECTED, OnLinkConnected);
    SetEventCallback(id, EVENT_PEER_CLOSE, OnLinkEnded);
    SetEventCallback(id, EVENT_DISCONNECTED, OnLinkEnded);
    SetEventCallback(id, EVENT_TIMED_OUT, OnLinkEnded);
    SetDefaultHandler(id, k.handler);
    LinksByConnection()[id] = &k;
    k.current = index;
    k.connection_id = id;
    k.attempt_started = now;
    k.phase = LinkPhase::Connecting;
    return true;
}

void FlushHeld(RelayLinkState& k) {
    while (!k.held.empty()) {
        const std::vector<uint8_t>& m = k.held.front();
        TransportSend(k.connection_id, m.data(), int32_t(m.size()), kRelayMessageType);
        k.held.pop_front();
    }
}

}  // namespace

void OnLinkConnected(int32_t connection_id, int32_t, void*) {
    RelayLinkState* link = LinkOf(connection_id);
    if (!link || link->phase != LinkPhase::Connecting) return;
    RelayLinkState& k = *link;
    bool rejoined = k.ever_joined;
    k.phase = LinkPhase::Joined;
    k.joined_at = TransportNow();
    k.ever_joined = true;
    if (k.joined_hook) k.joined_hook(k, connection_id, rejoined);
    if (k.join_id == 0) FlushHeld(k);
}

namespace {

// Once the relay has the join, what waited for it goes out; true when nothing waits.
bool JoinAnswered(RelayLinkState& k) {
    if (k.join_id == 0) return true;
    if (TransportMessageOutstanding(k.connection_id, k.join_id)) return false;
    k.join_id = 0;
    FlushHeld(k);
    return true;
}

}  // namespace

// Inside a pass the connection may not be dropped: the loss is acted on at the next tick.
void OnLinkEnded(int32_t connection_id, int32_t, void*) {
    if (RelayLinkState* link = LinkOf(connection_id)) link->loss_pending = true;
}

namespace {

void ActOnLoss(RelayLinkState& k, int64_t now) {
    k.loss_pending = false;
    StopProbing(k);
    k.join_id = 0;
    k.join_sent = false;
    if (k.phase == LinkPhase::Joined && now - k.joined_at >= kStableLinkMs) {
        k.rejoin_delay_ms = kFirstRejoinDelayMs;
    }
    DropConnection(k);
    k.phase = LinkPhase::Waiting;
    // Jittered, so that the launchers of a restarted relay do not all come at once.
    k.next_attempt_at = now + k.rejoin_delay_ms / 2 + RandomBelow(k.rejoin_delay_ms / 2 + 1);
    k.rejoin_delay_ms = std::min(k.rejoin_delay_ms * 2, kMaxRejoinDelayMs);
    k.current = NextRelay(k, 0, now);  // after a loss, the session's order from the top
}

}  // namespace

bool ParseRelayList(const char* text, uint16_t default_port, std::vector<RelayAddress>* out,
                    char* error, size_t error_size) {
    out->clear();
    if (!text || !*text || std::strlen(text) >= kRelayListTextSize) {
        SetError(error, error_size, "no relay address");
        return false;
    }
    std::string list = text;
    size_t start = 0;
    for (;;) {
        size_t comma = list.find(',', start);
        std::string entry =
            list.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
        entry.erase(0, entry.find_first_not_of(' '));
        entry.erase(entry.find_last_not_of(' ') + 1);
        if (entry.empty()) {
            SetError(error, error_size, "empty entry in the relay list '" + list + "'");
            return false;
        }
        if (!AddRelayEntry(entry, default_port, out, error, error_size)) return false;
        if (comma == std::string::npos) break;
        start = comma + 1;
    }
    return true;
}

uint64_t RendezvousScore(const char* session_name, const RelayAddress& relay) {
    // FNV-1a over the name, a zero, the address and the port (most significant first).
    uint64_t h = Fnv1a64(session_name, std::strlen(session_name) + 1);
    h = Fnv1a64(&relay.ip, 4, h);
    const uint8_t port[2] = {uint8_t(relay.port >> 8), uint8_t(relay.port)};
    return MixBits64(Fnv1a64(port, 2, h));
}

void OrderRelaysForSession(const char* session_name, std::vector<RelayAddress>* relays) {
    std::stable_sort(relays->begin(), relays->end(),
                     [session_name](const RelayAddress& a, const RelayAddress& b) {
                         uint64_t sa = RendezvousScore(session_name, a);
                         uint64_t sb = RendezvousScore(session_name, b);
                         return sa > sb;
                     });
}

LinkTimings LauncherLinkTimings() {
    LinkTimings t;
    // A lossy link gets a try every half second, and a relay that is back hears from
    // us at once.
    t.connect_first_resend_ms = 250;
    t.connect_max_resend_ms = 500;
    t.connect_timeout_ms = 0;  // the keeper decides when to stop waiting
    t.unmeasured_resend_ms = 1000;
    t.max_resend_ms = 2000;  // a lost join or broadcast waits 2 s at most
    t.heartbeat_ms = 10000;  // home routers forget idle mappings after 15 s or more
    t.heartbeat_when_silent = true;
    return t;
}

int32_t RelayLinkBegin(RelayLinkState& k, Endpoint* endpoint,
                       const std::vector<RelayAddress>& relays, DefaultHandler handler,
                       LinkJoinedHook joined_hook) {
    std::lock_guard guard(TransportMutex());
    // An earlier session's connection stays in the transport's table, but no longer
    // speaks for this record.
    if (k.connection_id != 0) LinksByConnection().erase(k.connection_id);
    if (k.probe_connection != 0) LinksByConnection().erase(k.probe_connection);
    void* owner = k.owner;
    k = RelayLinkState{};
    k.owner = owner;
    if (relays.empty() || !endpoint) return 0;
    k.relays = relays;
    k.skip_until.assign(relays.size(), 0);
    k.endpoint = endpoint;
    k.handler = handler;
    k.joined_hook = joined_hook;
    if (!StartAttempt(k, 0, TransportNow())) {
        k.phase = LinkPhase::Idle;
        return 0;
    }
    return k.connection_id;
}

void RelayLinkTick(RelayLinkState& k) {
    std::lock_guard guard(TransportMutex());
    if (k.phase == LinkPhase::Idle || k.stopped) return;
    int64_t now = TransportNow();
    if (k.loss_pending) ActOnLoss(k, now);
    if (k.phase == LinkPhase::Joined) JoinAnswered(k);
    WatchRelay(k, now);
    if (k.phase == LinkPhase::Waiting && now >= k.next_attempt_at) {
        if (!StartAttempt(k, k.current, now)) k.next_attempt_at = now + k.rejoin_delay_ms;
        return;
    }
    // A relay that does not answer in time gives way to the next (one relay is tried
    // until it answers: its connect is resent every second at most).
    if (k.phase == LinkPhase::Connecting && k.relays.size() > 1 &&
        now - k.attempt_started >= kRelayAnswerWaitMs) {
        DropConnection(k);
        k.skip_until[k.current] = now + kSkipRelayMs;
        size_t next = NextRelay(k, k.current + 1, now);
        if (!StartAttempt(k, next, now)) {
            k.phase = LinkPhase::Waiting;
            k.current = next;
            k.next_attempt_at = now + k.rejoin_delay_ms;
        }
    }
}

void RelayLinkNotice(int32_t connection_id, uint32_t type) {
    std::lock_guard guard(TransportMutex());
    RelayLinkState* link = LinkOf(connection_id);
    if (!link) return;
    RelayLinkState& k = *link;
    if (type == kGoingAwayNoticeType) {
        k.skip_until[k.current] = TransportNow() + kSkipRelayMs;
        // The relay is going: no need to wait before trying the next one.
        k.rejoin_delay_ms = std::min(k.rejoin_delay_ms, kFirstRejoinDelayMs);
        k.loss_pending = true;
    } else if (type == kNoLinkNoticeType && k.phase == LinkPhase::Joined) {
        // While connecting, a late notice about the old link says nothing of the new one.
        k.loss_pending = true;
    }
}

void RelayLinkStop(RelayLinkState& k) {
    std::lock_guard guard(TransportMutex());
    k.stopped = true;
}

void RelayLinkForget(RelayLinkState& k) {
    std::lock_guard guard(TransportMutex());
    StopProbing(k);
    DropConnection(k);
    k.connection_id = 0;
    k.phase = LinkPhase::Idle;
}

void RelayLinkSendJoin(RelayLinkState& k, const uint8_t* join, size_t size, uint32_t type) {
    std::lock_guard guard(TransportMutex());
    k.join_id = TransportSendTracked(k.connection_id, join, int32_t(size), type);
    k.join_sent = true;
}

void RelayLinkSend(RelayLinkState& k, const uint8_t* message, size_t size) {
    std::lock_guard guard(TransportMutex());
    if (k.phase == LinkPhase::Joined && !k.loss_pending && JoinAnswered(k)) {
        TransportSend(k.connection_id, message, int32_t(size), kRelayMessageType);
        return;
    }
    if (k.held.size() >= kMaxHeldMessages) {
        k.held.pop_front();
        ++k.held_dropped;
    }
    k.held.emplace_back(message, message + size);
}

bool RelayLinkJoined(const RelayLinkState& k) {
    std::lock_guard guard(TransportMutex());
    return k.phase == LinkPhase::Joined && !k.loss_pending;
}

bool RelayLinkJoinDelivered(const RelayLinkState& k) {
    std::lock_guard guard(TransportMutex());
    if (k.phase != LinkPhase::Joined || k.loss_pending || !k.join_sent) return false;
    return k.join_id == 0 || !TransportMessageOutstanding(k.connection_id, k.join_id);
}

int32_t RelayLinkConnection(const RelayLinkState& k) {
    std::lock_guard guard(TransportMutex());
    return k.connection_id;
}

}  // namespace ozlan
