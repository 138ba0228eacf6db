// The relay service's process-wide records, shared by its rooms: the links (one per
// launcher connection), the sessions, and the tables its limits keep. Single-threaded:
// only the relay loop and the transport's callbacks on it touch them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "protocol/wire.h"
#include "relay/relay.h"

namespace ozlan::relay {

// One launcher's connection, from its connect to its time-out or disconnect.
struct Link {
    SocketAddress address;
    std::string session;  // empty until it joins
    // Set when the launcher takes relayed traffic: the address its game is known by
    // to the players who reach it through here (network order).
    uint32_t relayed_address = 0;
    // The launcher's own address as it says (0 until it does): when it is not the
    // address seen here, the launcher sits behind a router.
    uint32_t own_address = 0;
    // Session addresses: the launcher is told its session's member table, and its
    // relayed address comes from the session's network, once its networks are known.
    bool session_addresses = false;
    bool networks_known = false;
    bool address_pending = false;  // joined; its address waits for its networks
    std::vector<IPv4Network> networks;
    std::vector<uint8_t> members_sent;  // the last member table it was sent
    // The player's name from its join, and whether it is told who is in its session.
    char name[kJoinPlayerField] = {};
    bool presence = false;
    std::vector<uint8_t> list_sent;  // the last member list it was sent
    bool bundles = false;            // what this relay sends it goes in bundles
    bool streams = false;            // it carries streams and was offered them
};

// One stream the relay carries, by its opener's link and the opener's id for it. What
// each end sent (the end of its data) and what the other end took (its last credit),
// so that nobody has more than the window in flight.
struct StreamKey {
    int32_t opener;
    uint32_t id;
    bool operator<(const StreamKey& o) const {
        return opener != o.opener ? opener < o.opener : id < o.id;
    }
};
struct CarriedStream {
    int32_t acceptor = 0;
    uint32_t sent_end[2] = {};  // [0]: the opener's data, [1]: the acceptor's
    uint32_t taken[2] = {};     // credits for them
    bool shut[2] = {};          // each side's shutdown
};

struct Session {
    std::vector<int32_t> members;  // join order
    uint64_t messages_in = 0;      // relay and direct messages from its members
    // Fixed by the join that made the session: private ones take only joins with the
    // same verifier, open ones only joins without.
    bool is_private = false;
    uint8_t verifier[kVerifierSize] = {};
    // The /24 its members' session addresses come from (network order; 0 until one
    // takes relayed traffic with session addresses).
    uint32_t network = 0;
};

// Refused joins one source address may still have before its joins are ignored for a
// minute: guessing a password through the relay is slow.
constexpr size_t kRefusedJoinsPerMinute = 5;
struct RefusedJoins {
    int64_t minute_started = 0;
    size_t refused = 0;
};

// Relay messages one source address may still send in the current second.
struct SourceAllowance {
    int64_t second = 0;
    size_t used = 0;
};

// "No link" notices: at most one a second to one source address and port, at most
// kNoticesPerSourceAddress a second to one IPv4 address (many players may sit behind
// one carrier-grade NAT), and none once the table of sources answered this second is
// full. A notice is never larger than what it answers, so a forged source gets back no
// more than was sent in its name.
constexpr size_t kNoticesPerSourceAddress = 1024;
constexpr size_t kMaxNoticeSources = 65536;

struct RelayState {
    RelayConfig config;
    RelayStats stats;
    Endpoint* endpoint = nullptr;
    std::unordered_map<int32_t, Link> links;
    std::unordered_map<std::string, Session> sessions;
    // Links by launcher address: a repeated connect makes a second link to one
    // launcher; the transport hands its messages to the lowest id.
    std::unordered_map<uint64_t, std::set<int32_t>> links_by_address;
    size_t members = 0;
    std::unordered_map<uint32_t, SourceAllowance> allowances;  // by source IPv4 address
    int64_t allowances_second = 0;                             // when they were last pruned
    // Relayed addresses in use.
    std::unordered_map<uint32_t, int32_t> links_by_relayed_address;
    // Sources answered with a "no link" notice this second: by address and port, and
    // by IPv4 address.
    int64_t notice_second = -1;
    std::unordered_set<uint64_t> noticed_sources;
    std::unordered_map<uint32_t, size_t> notices_by_ip;
    std::unordered_map<uint32_t, RefusedJoins> refused_joins;  // by source IPv4 address
    std::unordered_set<uint32_t> session_networks;             // the /24s sessions hold
    std::map<StreamKey, CarriedStream> streams;
};

RelayState& Relay();
// The protocol's clock: real milliseconds times the configured clock scale.
int64_t ScaledNow();
// A source address and port as one key.
uint64_t AddressOf(const SocketAddress& a);
// IPv4 addresses between network order (as on the wire) and host order (for arithmetic).
uint32_t HostOrder(uint32_t ip_network_order);
uint32_t NetworkOrder(uint32_t ip_host_order);

}  // namespace ozlan::relay
