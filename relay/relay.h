// The relay service's core: groups launchers into sessions by their join message
// and carries each relay message to the other members of the sender's session.
// It runs on the peer transport as the answering side.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "transport/transport.h"

namespace ozlan {

constexpr uint16_t kDefaultRelayServicePort = 3669;

struct RelayConfig {
    uint16_t port = kDefaultRelayServicePort;
    uint32_t bind_ip = 0;  // network order; 0 = all addresses
    bool verbose = false;
    size_t max_connections = 4096;
    size_t max_sessions = 1024;
    size_t max_members = 64;
    size_t max_queued_per_connection = 512;  // messages queued or unacknowledged
    size_t max_unverified = 4096;            // links that have not proved their address
    size_t max_unverified_per_source = 16;   // of those, from one IPv4 address
    size_t max_messages_per_source = 20000;  // relay messages per second from one IPv4 address
    int stats_interval_ms = 60000;
    int64_t clock_scale = 1;  // >1 runs the protocol's timers that many times faster
    // Where sessions' networks come from (one /24 each): address (network order) and
    // prefix length, 8 to 24; 0 takes the default range, 172.16.0.0/12.
    uint32_t session_range_ip = 0;
    int session_range_prefix = 0;
    // Streams: the unread bytes a sender may have in one stream, and the streams one
    // member may have open (as opener or acceptor).
    uint32_t stream_window = 65536;
    uint32_t max_streams_per_member = 16;
};

struct RelayStats {
    uint64_t joins = 0;
    uint64_t relays_in = 0;
    uint64_t relays_out = 0;
    uint64_t drop_malformed_join = 0;
    uint64_t drop_malformed_relay = 0;
    uint64_t drop_not_joined = 0;
    uint64_t drop_session_limit = 0;
    uint64_t drop_member_limit = 0;
    uint64_t drop_queue_full = 0;
    uint64_t drop_other_type = 0;
    uint64_t drop_source_rate = 0;  // relay messages over the per-source rate
    uint64_t directs_in = 0;        // relayed game datagrams for one player
    uint64_t directs_out = 0;
    uint64_t drop_no_destination = 0;  // to a relayed address nobody holds
    uint64_t drop_other_session = 0;   // to a member of another session
    uint64_t notices_sent = 0;         // "no link" notices to unknown sources
    uint64_t drop_notice_rate = 0;     // unknown sources left unanswered (rate)
    uint64_t links_replaced = 0;       // older links of a launcher that connected again
    uint64_t addresses_kept = 0;       // rejoining launchers given their relayed address back
    uint64_t member_tables = 0;        // member tables sent to launchers with session addresses
    uint64_t member_lists = 0;         // member lists sent to launchers that asked for presence
    uint64_t drop_no_network = 0;      // no session network or address left for a launcher
    // Joins refused by a private session (or an open one, given a password), and joins
    // ignored from an address that was refused too often.
    uint64_t refused_wrong_password = 0;
    uint64_t refused_needs_password = 0;
    uint64_t refused_session_open = 0;
    uint64_t refused_ignored = 0;
    // Streams: messages forwarded, data bytes among them, streams opened, and what was
    // dropped (no such stream, over the window, over the member's cap; a reset goes to
    // both ends of a stream over its window).
    uint64_t streams_in = 0;
    uint64_t streams_out = 0;
    uint64_t stream_bytes = 0;
    uint64_t streams_opened = 0;
    uint64_t drop_unknown_stream = 0;
    uint64_t drop_stream_window = 0;
    uint64_t drop_stream_limit = 0;
};

// "A.B.C.D/N" with N from 8 to 24 and no host bits set: the range sessions' networks
// come from. False for anything else.
bool ParseSessionRange(const char* text, uint32_t* ip_network_order, int* prefix);

// Creates the endpoint and registers the handlers; false with a reason on failure.
bool RelayStart(const RelayConfig& config, std::string* error);
// Waits for a datagram or the next due timer (at most max_wait_ms of real time),
// then runs one transport pass.
void RelayRunOnce(int max_wait_ms);
// "sessions=.. members=.. in=.. out=.. drops: ..."
std::string RelayStatsLine();
RelayStats GetRelayStats();
size_t RelaySessionCount();
size_t RelayMemberCount();
size_t RelayLinkCount();
// Each session's name, member count, and the messages its members have sent so far.
struct SessionFigures {
    std::string name;  // "private" for a private session, whose name is never shown
    size_t members = 0;
    uint64_t messages_in = 0;          // relay and direct messages from its members
    std::vector<std::string> players;  // their names in join order; none for a private one
};
std::vector<SessionFigures> RelaySessionFigures();  // by name
// Tells every proven link that the relay service is stopping (twice, unacknowledged);
// how many links were told.
size_t RelayAnnounceStop();
// Forgets every session and link (the transport is reset separately).
void RelayReset();

// The handlers the transport calls; exposed for the fuzz target.
void RelayOnUserMessage(const uint8_t* data, int32_t length, int32_t type, int32_t connection_id,
                        void* reserved);
void RelayOnAccept(int32_t connection_id);
void RelayOnVerified(int32_t connection_id);
void RelayOnUnknownSource(Endpoint* endpoint, const SocketAddress& from,
                          const MessageHeader& header, size_t size);
void RelayOnLinkEnded(int32_t connection_id, int32_t event, void* reserved);

}  // namespace ozlan
