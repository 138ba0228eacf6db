#include "session/relay_link_parts.h"

namespace ozlan {
namespace {

void MoveToProbe(RelayLinkState& k, int64_t now);

void OnProbeConnected(int32_t connection_id, int32_t, void*) {
    RelayLinkState* link = LinkOf(connection_id);
    if (link && link->probe_connection == connection_id) link->probe_answered = true;
}

// Inside a pass the probe may not be dropped: the next tick asks the next relay.
void OnProbeEnded(int32_t connection_id, int32_t, void*) {
    RelayLinkState* link = LinkOf(connection_id);
    if (link && link->probe_connection == connection_id) link->probe_failed = true;
}

void SetLinkEvents(int32_t id, EventCallback connected, EventCallback ended) {
    SetEventCallback(id, EVENT_CONNECTED, connected);
    SetEventCallback(id, EVENT_PEER_CLOSE, ended);
    SetEventCallback(id, EVENT_DISCONNECTED, ended);
    SetEventCallback(id, EVENT_TIMED_OUT, ended);
}

// Connects to relay `index` as a probe: one connect resent every `resend_ms`.
void ProbeRelay(RelayLinkState& k, size_t index, int64_t resend_ms, int64_t now) {
    k.probe_index = index;
    k.probe_started = now;
    k.probe_answered = false;
    k.probe_failed = false;
    const RelayAddress& relay = k.relays[index];
    LinkTimings timings = LauncherLinkTimings();
    timings.connect_first_resend_ms = resend_ms;
    timings.connect_max_resend_ms = resend_ms;
    int32_t id = ConnectWithTimings(k.endpoint, relay.text, relay.port, timings);
    k.probe_unstarted = id == 0;
    if (id == 0) return;  // the next one is asked after the wait
    SetLinkEvents(id, OnProbeConnected, OnProbeEnded);
    SetDefaultHandler(id, k.handler);
    LinksByConnection()[id] = &k;
    k.probe_connection = id;
}

// Asks the first relay from `from` on that is not the link's own (nor skipped, while
// another is not).
void StartProbe(RelayLinkState& k, size_t from, int64_t now) {
    size_t index = NextRelay(k, from % k.relays.size(), now);
    if (index == k.current) index = NextRelay(k, (index + 1) % k.relays.size(), now);
    if (index == k.current) index = (index + 1) % k.relays.size();
    k.probe_home = false;
    ProbeRelay(k, index, LauncherLinkTimings().connect_max_resend_ms, now);
}

void ScheduleHomeProbe(RelayLinkState& k, int64_t now) {
    k.next_home_probe = now + kHomeProbeMinMs + RandomBelow(kHomeProbeMaxMs - kHomeProbeMinMs + 1);
}

// On another relay than the session's first, while the own one answers: the first is
// asked now and then (whether or not it is skipped: a path that was broken may be back).
void WatchHome(RelayLinkState& k, int64_t now) {
    if (k.current == 0 || k.phase != LinkPhase::Joined) {
        if (k.probe_home) StopProbing(k);
        k.next_home_probe = 0;
        k.home_index = 0;
        return;
    }
    if (k.probe_connection != 0) {
        if (k.probe_answered) {
            MoveToProbe(k, now);
        } else if (k.probe_failed || now - k.probe_started >= kHomeProbeWaitMs) {
            StopProbing(k);
            ++k.home_index;  // the next one before the own is asked next time
            ScheduleHomeProbe(k, now);
        }
        return;
    }
    if (k.next_home_probe == 0) ScheduleHomeProbe(k, now);
    if (now < k.next_home_probe) return;
    k.probe_home = true;
    ProbeRelay(k, k.home_index % k.current, kHomeProbeWaitMs + 1, now);
    if (k.probe_connection == 0) ScheduleHomeProbe(k, now);
}

// The probe's relay answered: the link is now that connection, and joins there as after
// any loss (asking for its relayed address back); what waits goes out once it is in.
void MoveToProbe(RelayLinkState& k, int64_t now) {
    if (k.probe_home) {
        // The relay left behind answers: it hears that the player left (its members do
        // not wait for a time-out), and the transport forgets the link once it confirms.
        ++k.home_moves;
        TransportSendClose(k.connection_id);
        LinksByConnection().erase(k.connection_id);
    } else {
        k.skip_until[k.current] = now + kSkipRelayMs;
        ++k.silent_moves;
        DropConnection(k);
    }
    k.next_home_probe = 0;
    k.home_index = 0;
    int32_t id = k.probe_connection;
    k.probe_connection = 0;
    k.probe_answered = false;
    k.connection_id = id;
    k.moved_from = k.current;
    k.current = k.probe_index;
    k.join_id = 0;
    k.join_sent = false;
    k.phase = LinkPhase::Connecting;
    k.attempt_started = now;
    k.rejoin_delay_ms = kFirstRejoinDelayMs;
    SetLinkEvents(id, OnLinkConnected, OnLinkEnded);
    OnLinkConnected(id, 0, nullptr);
}

}  // namespace

void StopProbing(RelayLinkState& k) {
    if (k.probe_connection != 0) {
        LinksByConnection().erase(k.probe_connection);
        TransportDropConnection(k.probe_connection);
    }
    k.probe_connection = 0;
    k.probe_answered = false;
    k.probe_failed = false;
    k.probe_unstarted = false;
    k.probe_home = false;
}

void WatchRelay(RelayLinkState& k, int64_t now) {
    int64_t waited = k.phase == LinkPhase::Joined && k.relays.size() > 1
                         ? TransportUnansweredMs(k.connection_id)
                         : 0;
    if (waited == 0 && k.phase == LinkPhase::Joined && k.relays.size() > 1) {
        // Traffic from the relay stopped: is it still there?
        int64_t heard = TransportLastMessageAt(k.connection_id);
        if (heard > 0 && now - heard >= kTrafficPauseMs &&
            now - heard < LauncherLinkTimings().heartbeat_ms && k.pause_asked != heard) {
            TransportSendHeartbeat(k.connection_id);
            k.pause_asked = heard;
        }
    }
    if (waited < kQuietRelayMs) {  // it answers (or there is no other relay to go to)
        k.quiet = false;
        if (k.probe_connection != 0 && !k.probe_home) StopProbing(k);
        WatchHome(k, now);
        return;
    }
    if (k.probe_home) StopProbing(k);  // the silent relay comes first
    if (!k.quiet) ++k.quiet_episodes;
    k.quiet = true;
    // A lossy link answers one of these; a relay that is gone answers none.
    if (now - k.last_quiet_probe >= kQuietProbeMs) {
        TransportSendHeartbeat(k.connection_id);
        k.last_quiet_probe = now;
    }
    if (waited < kSilentRelayMs) return;
    if (k.probe_answered) {
        MoveToProbe(k, now);
    } else if (k.probe_connection == 0 && !k.probe_failed && !k.probe_unstarted) {
        StartProbe(k, k.current + 1, now);
    } else if (k.probe_failed || now - k.probe_started >= kSilentProbeWaitMs) {
        size_t next = k.probe_index + 1;
        StopProbing(k);
        StartProbe(k, next, now);
    }
}

}  // namespace ozlan
