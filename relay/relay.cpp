// The relay loop and the door of the service: it starts the endpoint, runs one
// transport pass at a time, and hands each launcher's message to the room that owns
// it (relay/README.md has the map).
#include "relay/relay.h"

#include <cinttypes>
#include <cstdio>

#include "relay/addresses.h"
#include "relay/admission.h"
#include "relay/forwarding.h"
#include "relay/relay_state.h"
#include "relay/streams.h"
#include "protocol/stream_wire.h"

namespace ozlan {

using namespace relay;

void RelayOnUserMessage(const uint8_t* data, int32_t length, int32_t type, int32_t connection_id,
                        void*) {
    RelayState& r = Relay();
    auto found = r.links.find(connection_id);
    if (found == r.links.end()) return;
    if (uint32_t(type) == kJoinMessageType) {
        OnJoin(connection_id, found->second, data, length);
    } else if (uint32_t(type) == kRelayMessageType) {
        OnRelay(connection_id, found->second, data, length);
    } else if (uint32_t(type) == kDirectMessageType) {
        OnDirect(found->second, data, length);
    } else if (uint32_t(type) == kAddressMessageType) {
        OnOwnAddress(connection_id, found->second, data, length);
    } else if (uint32_t(type) == kNetworksMessageType) {
        OnNetworks(connection_id, found->second, data, length);
    } else if (uint32_t(type) == kStreamMessageType) {
        OnStream(connection_id, found->second, data, length);
    } else {
        ++r.stats.drop_other_type;
    }
}

bool RelayStart(const RelayConfig& config, std::string* error) {
    RelayState& r = Relay();
    r.config = config;
    if (r.config.session_range_prefix == 0) {
        ParseSessionRange(kDefaultSessionRange, &r.config.session_range_ip,
                          &r.config.session_range_prefix);
    }
    if (!config.verbose) SetTransportLogSink(nullptr);
    if (config.clock_scale > 1) SetTransportClock(ScaledNow, nullptr);
    TransportLimits limits;
    limits.max_connections = config.max_connections;
    limits.max_unverified = config.max_unverified;
    limits.max_unverified_per_source = config.max_unverified_per_source;
    limits.max_incomplete_per_connection = 8;  // relay messages take at most two fragments
    SetTransportLimits(limits);
    SetAcceptCallback(RelayOnAccept);
    SetVerifiedCallback(RelayOnVerified);
    SetUnknownSourceCallback(RelayOnUnknownSource);
    r.endpoint = CreateEndpoint(config.port, config.bind_ip);
    if (!r.endpoint) {
        char text[128];
        std::snprintf(text, sizeof text, "cannot open UDP port %u: %s", unsigned(config.port),
                      TransportErrorText(TransportLastError()));
        *error = text;
        return false;
    }
    return true;
}

void RelayRunOnce(int max_wait_ms) {
    int64_t scale = Relay().config.clock_scale;
    int64_t wait = TransportNextDueMs(max_wait_ms * scale);
    if (wait > 0) SocketWaitReadable(Relay().endpoint->socket, int((wait + scale - 1) / scale));
    TransportThink(0);
}

RelayStats GetRelayStats() {
    return Relay().stats;
}
size_t RelaySessionCount() {
    return Relay().sessions.size();
}
size_t RelayMemberCount() {
    return Relay().members;
}
size_t RelayLinkCount() {
    return Relay().links.size();
}

std::string RelayStatsLine() {
    const RelayStats& s = Relay().stats;
    TransportStats t = GetTransportStats();
    char line[1200];
    std::snprintf(
        line, sizeof line,
        "sessions=%zu members=%zu links=%zu joins=%" PRIu64 " in=%" PRIu64 " out=%" PRIu64
        " drops: malformed_join=%" PRIu64 " malformed_relay=%" PRIu64 " not_joined=%" PRIu64
        " other_type=%" PRIu64 " session_limit=%" PRIu64 " member_limit=%" PRIu64
        " queue_full=%" PRIu64 " unverified=%" PRIu64 " bad_datagram=%" PRIu64
        " unknown_source=%" PRIu64 " bucket_full=%" PRIu64 " connection_limit=%" PRIu64
        " unverified_dropped=%" PRIu64 " source_limit=%" PRIu64 " source_rate=%" PRIu64
        " direct_in=%" PRIu64 " direct_out=%" PRIu64 " no_destination=%" PRIu64
        " other_session=%" PRIu64 " notices=%" PRIu64 " notice_rate=%" PRIu64 " replaced=%" PRIu64
        " kept_address=%" PRIu64 " member_tables=%" PRIu64 " member_lists=%" PRIu64
        " no_network=%" PRIu64 " refused: wrong_password=%" PRIu64 " needs_password=%" PRIu64
        " session_open=%" PRIu64 " ignored=%" PRIu64 " stream_in=%" PRIu64 " stream_out=%" PRIu64
        " stream_bytes=%" PRIu64 " streams_opened=%" PRIu64 " unknown_stream=%" PRIu64
        " stream_window=%" PRIu64 " stream_limit=%" PRIu64,
        Relay().sessions.size(), Relay().members, Relay().links.size(), s.joins, s.relays_in,
        s.relays_out, s.drop_malformed_join, s.drop_malformed_relay, s.drop_not_joined,
        s.drop_other_type, s.drop_session_limit, s.drop_member_limit, s.drop_queue_full,
        t.dropped_unverified_message, t.dropped_malformed, t.dropped_unknown_source,
        t.dropped_bucket_full, t.dropped_connection_limit, t.dropped_unverified,
        t.dropped_source_limit, s.drop_source_rate, s.directs_in, s.directs_out,
        s.drop_no_destination, s.drop_other_session, s.notices_sent, s.drop_notice_rate,
        s.links_replaced, s.addresses_kept, s.member_tables, s.member_lists, s.drop_no_network,
        s.refused_wrong_password, s.refused_needs_password, s.refused_session_open,
        s.refused_ignored, s.streams_in, s.streams_out, s.stream_bytes, s.streams_opened,
        s.drop_unknown_stream, s.drop_stream_window, s.drop_stream_limit);
    return line;
}

void RelayReset() {
    RelayState& r = Relay();
    r = RelayState{};
}

}  // namespace ozlan
