#include "relay/relay.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <set>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "protocol/wire.h"

namespace ozlan {
namespace {

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
};

RelayState& Relay() {
    static RelayState state;
    return state;
}

int64_t ScaledNow() {
    return SystemNowMs() * Relay().config.clock_scale;
}

uint64_t AddressOf(const SocketAddress& a) {
    return (uint64_t(a.ip) << 16) | a.port;
}

void RefreshMemberTables(const std::string& name);
void AnnouncePresence(const std::string& session, const Link& subject, PresenceEvent event);

void LeaveSession(int32_t id, Link& link, PresenceEvent why = kPresenceLeft) {
    if (link.session.empty()) return;
    RelayState& r = Relay();
    auto found = r.sessions.find(link.session);
    if (found != r.sessions.end()) {
        auto& members = found->second.members;
        members.erase(std::remove(members.begin(), members.end(), id), members.end());
        --r.members;
        if (members.empty()) {
            r.session_networks.erase(found->second.network);
            r.sessions.erase(found);
        }
    }
    std::string left = link.session;
    link.session.clear();
    link.address_pending = false;
    link.members_sent.clear();
    link.list_sent.clear();
    RefreshMemberTables(left);
    AnnouncePresence(left, link, why);
}

// Puts the link into the named session; false (and counted) when a cap refuses it.
bool JoinSession(int32_t id, Link& link, const std::string& name) {
    RelayState& r = Relay();
    if (link.session == name) return true;
    auto found = r.sessions.find(name);
    if (found == r.sessions.end() && r.sessions.size() >= r.config.max_sessions) {
        ++r.stats.drop_session_limit;
        return false;
    }
    if (found != r.sessions.end() && found->second.members.size() >= r.config.max_members) {
        ++r.stats.drop_member_limit;
        return false;
    }
    LeaveSession(id, link);
    r.sessions[name].members.push_back(id);
    ++r.members;
    link.session = name;
    return true;
}

// Gives the link a relayed address unique on this relay (so within its session too):
// the first free one from where its address hashes to; false when all are taken.
bool AssignRelayedAddress(int32_t id, Link& link) {
    RelayState& r = Relay();
    if (link.relayed_address != 0) return true;
    if (r.links_by_relayed_address.size() >= kRelayedAddressCount) return false;
    uint32_t index = PreferredRelayedIndex(link.address.ip, link.address.port);
    while (r.links_by_relayed_address.count(RelayedAddress(index))) {
        index = (index + 1) % kRelayedAddressCount;
    }
    link.relayed_address = RelayedAddress(index);
    r.links_by_relayed_address[link.relayed_address] = id;
    return true;
}

uint32_t HostOrder(uint32_t ip_network_order) {
    const uint8_t* b = reinterpret_cast<const uint8_t*>(&ip_network_order);
    return (uint32_t(b[0]) << 24) | (uint32_t(b[1]) << 16) | (uint32_t(b[2]) << 8) | b[3];
}
uint32_t NetworkOrder(uint32_t ip_host_order) {
    uint8_t b[4] = {uint8_t(ip_host_order >> 24), uint8_t(ip_host_order >> 16),
                    uint8_t(ip_host_order >> 8), uint8_t(ip_host_order)};
    uint32_t ip;
    std::memcpy(&ip, b, 4);
    return ip;
}

// Whether `ip` is a host (1-254) of the /24 `network` (both network order).
bool HostOfNetwork(uint32_t ip, uint32_t network) {
    uint32_t h = HostOrder(ip);
    return network != 0 && (h & 0xFFFFFF00u) == HostOrder(network) && (h & 0xFF) != 0 &&
           (h & 0xFF) != 255;
}

// The address a link may hold as its relayed address: from its session's network with
// session addresses, else from 198.18.0.0/15.
bool FitsLink(const Link& link, uint32_t ip) {
    if (!link.session_addresses) return IsRelayedAddress(ip);
    auto session = Relay().sessions.find(link.session);
    return session != Relay().sessions.end() && HostOfNetwork(ip, session->second.network);
}

// Gives the link the relayed address `wanted` in place of the one it holds, if nobody
// holds it (and, unless `any_range`, if it fits the link); true when the link holds it
// afterwards.
bool TakeRelayedAddress(int32_t id, Link& link, uint32_t wanted, bool any_range = false) {
    RelayState& r = Relay();
    if (wanted == 0 || (!any_range && !FitsLink(link, wanted))) return false;
    if (link.relayed_address == wanted) return true;
    if (r.links_by_relayed_address.count(wanted)) return false;
    if (link.relayed_address != 0) r.links_by_relayed_address.erase(link.relayed_address);
    link.relayed_address = wanted;
    r.links_by_relayed_address[wanted] = id;
    return true;
}

void ReleaseRelayedAddress(Link& link) {
    if (link.relayed_address != 0) Relay().links_by_relayed_address.erase(link.relayed_address);
    link.relayed_address = 0;
}

// Whether the /24 `network` (network order) overlaps one of the networks.
bool Overlaps(uint32_t network, const std::vector<IPv4Network>& networks) {
    for (const IPv4Network& n : networks) {
        uint32_t common = HostOrder(n.mask) & 0xFFFFFF00u;
        if ((HostOrder(network) & common) == (HostOrder(n.ip) & common)) return true;
    }
    return false;
}

// Gives the session a /24 of the configured range that no other session holds and
// that none of the joining launcher's networks overlaps: the one its relayed address
// is from when it has one (a launcher back after a restart), else the first free from
// where the session's name hashes to, so that a restarted relay, or another one, gives
// the session the same network again. False when none is left.
bool ChooseSessionNetwork(Session& session, const std::string& name, const Link& link) {
    RelayState& r = Relay();
    uint32_t base = HostOrder(r.config.session_range_ip);
    uint32_t count = 1u << (24 - r.config.session_range_prefix);
    auto usable = [&](uint32_t network) {
        return !r.session_networks.count(network) && !Overlaps(network, link.networks);
    };
    uint32_t held = NetworkOrder(HostOrder(link.relayed_address) & 0xFFFFFF00u);
    if (link.relayed_address != 0 && (HostOrder(held) - base) >> 8 < count && usable(held)) {
        session.network = held;
    } else {
        uint32_t start = uint32_t(MixBits64(Fnv1a64(name.c_str(), name.size() + 1)) % count);
        for (uint32_t i = 0; i < count && session.network == 0; ++i) {
            uint32_t network = NetworkOrder(base + (((start + i) % count) << 8));
            if (usable(network)) session.network = network;
        }
    }
    if (session.network == 0) return false;
    r.session_networks.insert(session.network);
    return true;
}

// Gives the link an address of its session's network: the one it holds if it is one,
// else the first free host from where its address hashes to.
bool AssignSessionAddress(int32_t id, Link& link) {
    RelayState& r = Relay();
    Session& session = r.sessions[link.session];
    if (session.network == 0 && !ChooseSessionNetwork(session, link.session, link)) {
        ++r.stats.drop_no_network;
        return false;
    }
    if (HostOfNetwork(link.relayed_address, session.network)) return true;
    ReleaseRelayedAddress(link);
    uint32_t start = PreferredRelayedIndex(link.address.ip, link.address.port) % 254;
    for (uint32_t i = 0; i < 254; ++i) {
        uint32_t ip = NetworkOrder(HostOrder(session.network) + 1 + (start + i) % 254);
        if (r.links_by_relayed_address.count(ip)) continue;
        link.relayed_address = ip;
        r.links_by_relayed_address[ip] = id;
        return true;
    }
    ++r.stats.drop_no_network;
    return false;
}

void SendAddressMessage(int32_t id, const Link& link) {
    uint8_t answer[kAddressMessageSize];
    const uint8_t* port = reinterpret_cast<const uint8_t*>(&link.address.port);  // network order
    WriteAddressMessage(answer, link.relayed_address, link.address.ip,
                        uint16_t((port[0] << 8) | port[1]));
    TransportSend(id, answer, int32_t(sizeof answer), kAddressMessageType);
}

// Compares two verifiers in a time that does not depend on where they differ.
bool SameVerifier(const uint8_t* a, const uint8_t* b) {
    uint8_t difference = 0;
    for (size_t i = 0; i < kVerifierSize; ++i) difference |= uint8_t(a[i] ^ b[i]);
    return difference == 0;
}

void AnswerJoin(int32_t id, JoinAnswer answer) {
    uint8_t byte = answer;
    TransportSend(id, &byte, 1, kJoinAnswerType);
}

// How long (ms) the source address's joins are still not looked at: after
// kRefusedJoinsPerMinute refusals in a minute, until the minute is over; 0 when they are.
int64_t JoinsIgnoredFor(uint32_t ip, int64_t now) {
    auto found = Relay().refused_joins.find(ip);
    if (found == Relay().refused_joins.end()) return 0;
    int64_t left = 60000 - (now - found->second.minute_started);
    if (left <= 0) {
        Relay().refused_joins.erase(found);
        return 0;
    }
    return found->second.refused < kRefusedJoinsPerMinute ? 0 : left;
}

void RefuseJoin(int32_t id, const Link& link, JoinAnswer answer, int64_t now) {
    RelayState& r = Relay();
    RefusedJoins& refused = r.refused_joins[link.address.ip];
    if (refused.refused == 0) refused.minute_started = now;
    ++refused.refused;
    if (answer == kJoinWrongPassword) ++r.stats.refused_wrong_password;
    if (answer == kJoinNeedsPassword) ++r.stats.refused_needs_password;
    if (answer == kJoinSessionIsOpen) ++r.stats.refused_session_open;
    AnswerJoin(id, answer);
}

// Gives a joined launcher that takes relayed traffic its relayed address and tells it;
// the members with session addresses get their new member tables.
void AnnounceRelayedAddress(int32_t id, Link& link) {
    bool assigned =
        link.session_addresses ? AssignSessionAddress(id, link) : AssignRelayedAddress(id, link);
    if (!assigned) return;
    SendAddressMessage(id, link);
    RefreshMemberTables(link.session);
}

void OnJoin(int32_t id, Link& link, const uint8_t* data, int32_t length) {
    RelayState& r = Relay();
    char name[kSessionNameField];
    uint32_t flags = length >= int32_t(kJoinMessageSize) ? ReadLe32(data + kJoinFlagsOffset) : 0;
    bool with_verifier = (flags & kJoinFlagVerifier) != 0;
    size_t expected = with_verifier ? kPrivateJoinMessageSize : kJoinMessageSize;
    if (length != int32_t(expected) || !ReadSessionName(data, name) || name[0] == 0) {
        ++r.stats.drop_malformed_join;
        return;
    }
    int64_t now = ScaledNow();
    if (int64_t ignored_ms = JoinsIgnoredFor(link.address.ip, now); ignored_ms > 0) {
        // Not looked at, but the launcher learns why and when to try again (the link is
        // proven: no forged source gets this).
        ++r.stats.refused_ignored;
        uint8_t answer[kTooManyTriesAnswerSize] = {kJoinTooManyTries,
                                                   uint8_t((ignored_ms + 999) / 1000)};
        TransportSend(id, answer, int32_t(sizeof answer), kJoinAnswerType);
        return;
    }
    const uint8_t* verifier = with_verifier ? data + kJoinMessageSize : nullptr;
    auto existing = r.sessions.find(name);
    if (existing != r.sessions.end() && existing->second.members.size() > 0) {
        const Session& session = existing->second;
        if (session.is_private && !verifier) return RefuseJoin(id, link, kJoinNeedsPassword, now);
        if (!session.is_private && verifier) return RefuseJoin(id, link, kJoinSessionIsOpen, now);
        if (verifier && !SameVerifier(session.verifier, verifier)) {
            return RefuseJoin(id, link, kJoinWrongPassword, now);
        }
    }
    bool creates = existing == r.sessions.end();
    char player[kJoinPlayerField] = {};
    std::memcpy(player, data + kPlayerNameOffset, kMaxPlayerName);
    CleanPlayerName(player, link.name);
    link.presence = (flags & kJoinFlagPresence) != 0;
    bool moved = link.session != name;
    if (!JoinSession(id, link, name)) return;
    if (creates && verifier) {
        Session& session = r.sessions[name];
        session.is_private = true;
        std::memcpy(session.verifier, verifier, kVerifierSize);
    }
    ++r.stats.joins;
    if (verifier) AnswerJoin(id, kJoinAccepted);
    if (moved) AnnouncePresence(link.session, link, kPresenceJoined);
    if ((flags & kJoinFlagBundles) && !link.bundles) {
        // It reads bundles: from now on one pass's messages to it share datagrams, and
        // it may bundle too.
        link.bundles = true;
        SetConnectionBundles(id, true);
        TransportSend(id, nullptr, 0, kBundlesType);
    }
    // A launcher that takes relayed traffic learns its relayed address; one that did
    // not ask never sees the message. With session addresses, the address waits for
    // the launcher's networks, which it sends before its join.
    if ((flags & kJoinFlagRelayedTraffic) == 0) return;
    link.session_addresses = (flags & kJoinFlagSessionAddresses) != 0;
    if (link.session_addresses && !link.networks_known) {
        link.address_pending = true;
        return;
    }
    AnnounceRelayedAddress(id, link);
}

// The networks a launcher with session addresses is on; its relayed address, when its
// join came first, goes out now.
void OnNetworks(int32_t id, Link& link, const uint8_t* data, int32_t length) {
    RelayState& r = Relay();
    IPv4Network networks[kMaxReportedNetworks];
    size_t count = 0;
    if (length < 0 || !ReadNetworksMessage(data, size_t(length), networks, &count)) {
        ++r.stats.drop_other_type;
        return;
    }
    link.networks.assign(networks, networks + count);
    link.networks_known = true;
    if (!link.address_pending) return;
    link.address_pending = false;
    AnnounceRelayedAddress(id, link);
}

// The launcher's own address; a launcher that rejoins also names the relayed address
// it had, and gets it back when it is free.
void OnOwnAddress(int32_t id, Link& link, const uint8_t* data, int32_t length) {
    RelayState& r = Relay();
    if (link.relayed_address == 0 ||
        (length != int32_t(kOwnAddressMessageSize) && length != int32_t(kOwnAddressRejoinSize))) {
        ++r.stats.drop_other_type;
        return;
    }
    std::memcpy(&link.own_address, data, 4);
    if (length == int32_t(kOwnAddressRejoinSize)) {
        uint32_t wanted;
        std::memcpy(&wanted, data + 4, 4);
        if (wanted != link.relayed_address && TakeRelayedAddress(id, link, wanted)) {
            ++r.stats.addresses_kept;
            SendAddressMessage(id, link);
        }
    }
    // Whether it sits behind a router decides how the others reach it.
    RefreshMemberTables(link.session);
    AnnouncePresence(link.session, link, kPresenceList);
}

// Whether others reach the launcher's games at the address seen here: it says it has
// that address itself, so no router stands in between.
bool ReachableAsSeen(const Link& link) {
    return link.own_address != 0 && link.own_address == link.address.ip;
}

// Whether the two reach each other only through here: both take relayed traffic, they
// are not behind one router, and not both reachable where the relay sees them.
bool ThroughRelay(const Link& a, const Link& b) {
    return a.relayed_address != 0 && b.relayed_address != 0 && a.address.ip != b.address.ip &&
           !(ReachableAsSeen(a) && ReachableAsSeen(b));
}

// Tells the members that asked for presence who is in the session: the subject (who
// joined, left or timed out) gets the list itself when it joined. A list that changed
// for nobody's event (an address that made a member direct) goes out as a list again.
void AnnouncePresence(const std::string& session_name, const Link& subject, PresenceEvent event) {
    RelayState& r = Relay();
    auto session = r.sessions.find(session_name);
    if (session == r.sessions.end()) return;
    const std::vector<int32_t>& ids = session->second.members;
    static MemberList list;
    static uint8_t message[kMemberListHeaderSize + kListedMemberSize * kMaxListedMembers];
    for (int32_t id : ids) {
        Link& receiver = r.links[id];
        if (!receiver.presence) continue;
        list.event = &receiver == &subject && event == kPresenceJoined ? uint8_t(kPresenceList)
                                                                       : uint8_t(event);
        list.count = uint16_t(std::min<size_t>(ids.size(), 65535));
        std::memcpy(list.subject, subject.name, kJoinPlayerField);
        list.listed_count = 0;
        for (int32_t other : ids) {
            if (list.listed_count == kMaxListedMembers) break;
            const Link& member = r.links[other];
            ListedMember& entry = list.listed[list.listed_count++];
            std::memcpy(entry.name, member.name, kJoinPlayerField);
            entry.flags =
                uint8_t((other == id ? kListedIsYou : 0) |
                        (other != id && ThroughRelay(member, receiver) ? kListedThroughRelay : 0));
        }
        size_t size = WriteMemberList(message, list);
        // A refreshed list that says nothing new is not sent.
        if (event == kPresenceList && receiver.list_sent.size() == size &&
            std::memcmp(receiver.list_sent.data() + 1, message + 1, size - 1) == 0) {
            continue;
        }
        receiver.list_sent.assign(message, message + size);
        TransportSend(id, message, int32_t(size), kMemberListType);
        ++r.stats.member_lists;
    }
}

// What the launcher at `receiver` needs to know of the other members that take relayed
// traffic: their addresses, and whether it reaches them straight, on its own network,
// or only through here (the same rule as for the relay messages' addresses).
void RefreshMemberTables(const std::string& name) {
    RelayState& r = Relay();
    auto session = r.sessions.find(name);
    if (session == r.sessions.end()) return;
    const std::vector<int32_t>& ids = session->second.members;
    MemberAddresses entries[kMaxMemberEntries];
    uint8_t message[kMembersHeaderSize + kMemberEntrySize * kMaxMemberEntries];
    for (int32_t id : ids) {
        Link& receiver = r.links[id];
        if (!receiver.session_addresses || receiver.relayed_address == 0) continue;
        size_t count = 0;
        for (int32_t other : ids) {
            const Link& member = r.links[other];
            if (other == id || member.relayed_address == 0 || count == kMaxMemberEntries) continue;
            MemberAddresses& e = entries[count++];
            e = {member.relayed_address, member.address.ip, member.own_address, 0};
            if (member.address.ip == receiver.address.ip) {
                e.flags = kMemberSameRouter;
            } else if (ThroughRelay(member, receiver)) {
                e.flags = kMemberThroughRelay;
            }
        }
        size_t size = WriteMembersMessage(message, entries, count);
        if (receiver.members_sent.size() == size &&
            std::memcmp(receiver.members_sent.data(), message, size) == 0) {
            continue;
        }
        receiver.members_sent.assign(message, message + size);
        TransportSend(id, message, int32_t(size), kMembersMessageType);
        ++r.stats.member_tables;
    }
}

bool UsableUnicast(uint32_t ip_network_order) {
    const uint8_t* b = reinterpret_cast<const uint8_t*>(&ip_network_order);
    return ip_network_order != 0 && ip_network_order != 0xFFFFFFFFu && b[0] != 127;
}

// Whether the source address may send one more relay message this second: one
// address (a launcher, or all behind one router) cannot take the relay for everyone.
bool WithinSourceRate(uint32_t ip) {
    RelayState& r = Relay();
    int64_t second = ScaledNow() / 1000;
    if (second != r.allowances_second) {
        // Addresses quiet for a second are forgotten: the table stays as large as the
        // set of busy sources.
        for (auto it = r.allowances.begin(); it != r.allowances.end();) {
            it = it->second.second < r.allowances_second ? r.allowances.erase(it) : std::next(it);
        }
        r.allowances_second = second;
    }
    SourceAllowance& a = r.allowances[ip];
    if (a.second != second) a = {second, 0};
    return ++a.used <= r.config.max_messages_per_source;
}

void OnRelay(int32_t id, const Link& link, const uint8_t* data, int32_t length) {
    RelayState& r = Relay();
    if (!WithinSourceRate(link.address.ip)) {
        ++r.stats.drop_source_rate;
        return;
    }
    if (link.session.empty()) {
        ++r.stats.drop_not_joined;
        return;
    }
    if (length < int32_t(kRelayHeaderSize + kLinkHeaderSize)) {
        ++r.stats.drop_malformed_relay;
        return;
    }
    size_t n = ReadLe32(data + 68);
    const uint8_t* message = data + kRelayHeaderSize;
    if (n != size_t(length) - kRelayHeaderSize || n > kLinkMaxMessage ||
        !HasLinkMagic(message, n)) {
        ++r.stats.drop_malformed_relay;
        return;
    }
    ++r.stats.relays_in;
    ++r.sessions[link.session].messages_in;
    // Two forms of the message: as the sender's launcher stamped it (for members seen
    // at the same address, such as players behind one router, who reach each other
    // directly), and with the address this relay sees the sender at (for everyone
    // else: a launcher behind a router stamps a private address nobody else reaches).
    uint8_t as_stamped[kLinkMaxMessage], as_seen[kLinkMaxMessage];
    std::memcpy(as_stamped, message, n);
    if (!UsableUnicast(LinkAddress(as_stamped))) StampLinkAddress(as_stamped, n, link.address.ip);
    // Bytes 6-7 name the sender's game port only when its launcher says so; leftover
    // bytes from older senders must not reach a game as a port.
    if ((ReadLe32(data + kRelayFlagsOffset) & kRelayFlagSourcePort) == 0) {
        SetLinkSourcePort(as_stamped, 0);
    }
    std::memcpy(as_seen, as_stamped, n);
    StampLinkAddress(as_seen, n, link.address.ip);
    // A third form for members who take relayed traffic where a router stands between
    // the two: the sender's relayed address, so that their games' answers come here.
    uint8_t as_relayed[kLinkMaxMessage];
    if (link.relayed_address != 0) {
        std::memcpy(as_relayed, as_stamped, n);
        StampLinkAddress(as_relayed, n, link.relayed_address);
    }
    for (int32_t member : r.sessions[link.session].members) {
        if (member == id) continue;
        if (TransportPendingCount(member) >= r.config.max_queued_per_connection) {
            ++r.stats.drop_queue_full;
            continue;
        }
        auto found = r.links.find(member);
        if (found == r.links.end()) continue;
        const Link& receiver = found->second;
        const uint8_t* form = as_seen;
        if (receiver.address.ip == link.address.ip) {
            form = as_stamped;
        } else if (link.relayed_address != 0 && receiver.relayed_address != 0 &&
                   !(ReachableAsSeen(link) && ReachableAsSeen(receiver))) {
            form = as_relayed;
        }
        TransportSend(member, form, int32_t(n), kRelayMessageType);
        ++r.stats.relays_out;
    }
}

// A game's datagram for one player, carried without acknowledgement: it goes to the
// member of the sender's session that holds the destination's relayed address, as
// from the sender's relayed address.
void OnDirect(const Link& link, const uint8_t* data, int32_t length) {
    RelayState& r = Relay();
    if (!WithinSourceRate(link.address.ip)) {
        ++r.stats.drop_source_rate;
        return;
    }
    if (link.relayed_address == 0 || link.session.empty()) {
        ++r.stats.drop_not_joined;
        return;
    }
    if (length < int32_t(kLinkHeaderSize) || size_t(length) > kDirectMaxMessage ||
        !HasLinkMagic(data, size_t(length))) {
        ++r.stats.drop_malformed_relay;
        return;
    }
    ++r.stats.directs_in;
    ++r.sessions[link.session].messages_in;
    auto destination = r.links_by_relayed_address.find(LinkAddress(data));
    if (destination == r.links_by_relayed_address.end()) {
        ++r.stats.drop_no_destination;
        return;
    }
    // Only within the session: a relayed address of another session is not reachable.
    if (r.links[destination->second].session != link.session) {
        ++r.stats.drop_other_session;
        return;
    }
    uint8_t message[kDirectMaxMessage];
    std::memcpy(message, data, size_t(length));
    StampLinkAddress(message, size_t(length), link.relayed_address);
    TransportSendDatagram(destination->second, message, length, kDirectMessageType);
    ++r.stats.directs_out;
}

}  // namespace

void RelayOnAccept(int32_t connection_id) {
    RelayState& r = Relay();
    Link link;
    TransportConnectionInfo(connection_id, &link.address, nullptr, nullptr);
    r.links[connection_id] = link;
    r.links_by_address[AddressOf(link.address)].insert(connection_id);
    SetDefaultHandler(connection_id, RelayOnUserMessage);
    // The relay's heartbeat only once it has sent nothing for 30 s: a launcher that
    // keeps its link alive itself gets acknowledgements instead, and no more.
    LinkTimings timings;
    timings.heartbeat_when_silent = true;
    SetConnectionTimings(connection_id, timings);
    SetEventCallback(connection_id, EVENT_PEER_CLOSE, RelayOnLinkEnded);
    SetEventCallback(connection_id, EVENT_DISCONNECTED, RelayOnLinkEnded);
    SetEventCallback(connection_id, EVENT_TIMED_OUT, RelayOnLinkEnded);
}

// A launcher whose link is proven again from the same address and port connected anew
// (it lost its link, or restarted): the older links there are gone, and the new one
// keeps the relayed address the games know this launcher by.
void RelayOnVerified(int32_t connection_id) {
    RelayState& r = Relay();
    auto found = r.links.find(connection_id);
    if (found == r.links.end()) return;
    auto same = r.links_by_address.find(AddressOf(found->second.address));
    if (same == r.links_by_address.end() || same->second.size() < 2) return;
    std::vector<int32_t> older;
    for (int32_t id : same->second) {
        if (id != connection_id) older.push_back(id);
    }
    for (int32_t id : older) {
        auto old = r.links.find(id);
        if (old == r.links.end()) continue;
        uint32_t relayed = old->second.relayed_address;
        uint32_t own = old->second.own_address;
        LeaveSession(id, old->second);
        ReleaseRelayedAddress(old->second);
        r.links.erase(old);
        same->second.erase(id);
        TransportDropConnection(id);
        ++r.stats.links_replaced;
        Link& link = found->second;
        if (relayed != 0 && link.relayed_address == 0 &&
            TakeRelayedAddress(connection_id, link, relayed, true)) {
            link.own_address = own;
        }
    }
}

// A datagram from a source with no link: the launcher there still thinks it has one
// (this relay restarted, or timed it out, or a router moved it to another port). One
// short notice tells it to connect again.
void RelayOnUnknownSource(Endpoint* endpoint, const SocketAddress& from,
                          const MessageHeader& header, size_t size) {
    RelayState& r = Relay();
    // Never answer a notice (two relays would answer each other), nor anything
    // shorter than the notice itself.
    if (header.type == kNoLinkNoticeType || header.type == kGoingAwayNoticeType ||
        size < kHeaderSize) {
        return;
    }
    int64_t second = ScaledNow() / 1000;
    if (second != r.notice_second) {
        r.noticed_sources.clear();
        r.notices_by_ip.clear();
        r.notice_second = second;
    }
    if (r.noticed_sources.size() >= kMaxNoticeSources) {
        ++r.stats.drop_notice_rate;
        return;
    }
    bool fresh = r.noticed_sources.insert(AddressOf(from)).second;
    size_t& per_ip = r.notices_by_ip[from.ip];
    if (!fresh || per_ip >= kNoticesPerSourceAddress) {
        ++r.stats.drop_notice_rate;
        return;
    }
    ++per_ip;
    TransportSendDatagramTo(endpoint, from, nullptr, 0, kNoLinkNoticeType);
    ++r.stats.notices_sent;
}

size_t RelayAnnounceStop() {
    RelayState& r = Relay();
    size_t told = 0;
    for (const auto& [id, link] : r.links) {
        if (!TransportConnectionVerified(id)) continue;
        // Twice: a lost notice leaves the launcher waiting for its link to time out.
        TransportSendDatagram(id, nullptr, 0, kGoingAwayNoticeType);
        TransportSendDatagram(id, nullptr, 0, kGoingAwayNoticeType);
        ++told;
    }
    return told;
}

void RelayOnLinkEnded(int32_t connection_id, int32_t event, void*) {
    RelayState& r = Relay();
    auto found = r.links.find(connection_id);
    if (found == r.links.end()) return;
    std::string session = found->second.session;
    LeaveSession(connection_id, found->second,
                 event == EVENT_TIMED_OUT ? kPresenceTimedOut : kPresenceLeft);
    if (event == EVENT_PEER_CLOSE) return;  // the connection stays until it ends

    uint64_t key = AddressOf(found->second.address);
    ReleaseRelayedAddress(found->second);
    r.links.erase(found);
    auto& same_address = r.links_by_address[key];
    same_address.erase(connection_id);
    if (same_address.empty()) {
        r.links_by_address.erase(key);
        return;
    }
    // Another link to the same launcher takes over its messages, and its place.
    int32_t heir = *same_address.begin();
    if (!session.empty()) JoinSession(heir, r.links[heir], session);
}

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
    } else {
        ++r.stats.drop_other_type;
    }
}

bool ParseSessionRange(const char* text, uint32_t* ip_network_order, int* prefix) {
    unsigned a, b, c, d, n;
    char end;
    if (std::sscanf(text, "%u.%u.%u.%u/%u%c", &a, &b, &c, &d, &n, &end) != 5 || a > 255 ||
        b > 255 || c > 255 || d > 255 || n < 8 || n > 24) {
        return false;
    }
    uint32_t host = (a << 24) | (b << 16) | (c << 8) | d;
    if (host & ~(0xFFFFFFFFu << (32 - n))) return false;
    *ip_network_order = NetworkOrder(host);
    *prefix = int(n);
    return true;
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

std::vector<SessionFigures> RelaySessionFigures() {
    std::vector<SessionFigures> figures;
    figures.reserve(Relay().sessions.size());
    for (const auto& [name, session] : Relay().sessions) {
        SessionFigures f{
            session.is_private ? "private" : name, session.members.size(), session.messages_in, {}};
        for (int32_t id : session.members) {
            if (!session.is_private) f.players.push_back(Relay().links[id].name);
        }
        figures.push_back(std::move(f));
    }
    std::sort(figures.begin(), figures.end(),
              [](const SessionFigures& a, const SessionFigures& b) { return a.name < b.name; });
    return figures;
}

std::string RelayStatsLine() {
    const RelayStats& s = Relay().stats;
    TransportStats t = GetTransportStats();
    char line[1200];
    std::snprintf(line, sizeof line,
                  "sessions=%zu members=%zu links=%zu joins=%" PRIu64 " in=%" PRIu64 " out=%" PRIu64
                  " drops: malformed_join=%" PRIu64 " malformed_relay=%" PRIu64
                  " not_joined=%" PRIu64 " other_type=%" PRIu64 " session_limit=%" PRIu64
                  " member_limit=%" PRIu64 " queue_full=%" PRIu64 " unverified=%" PRIu64
                  " bad_datagram=%" PRIu64 " unknown_source=%" PRIu64 " bucket_full=%" PRIu64
                  " connection_limit=%" PRIu64 " unverified_dropped=%" PRIu64
                  " source_limit=%" PRIu64 " source_rate=%" PRIu64 " direct_in=%" PRIu64
                  " direct_out=%" PRIu64 " no_destination=%" PRIu64 " other_session=%" PRIu64
                  " notices=%" PRIu64 " notice_rate=%" PRIu64 " replaced=%" PRIu64
                  " kept_address=%" PRIu64 " member_tables=%" PRIu64 " member_lists=%" PRIu64
                  " no_network=%" PRIu64 " refused: wrong_password=%" PRIu64
                  " needs_password=%" PRIu64 " session_open=%" PRIu64 " ignored=%" PRIu64,
                  Relay().sessions.size(), Relay().members, Relay().links.size(), s.joins,
                  s.relays_in, s.relays_out, s.drop_malformed_join, s.drop_malformed_relay,
                  s.drop_not_joined, s.drop_other_type, s.drop_session_limit, s.drop_member_limit,
                  s.drop_queue_full, t.dropped_unverified_message, t.dropped_malformed,
                  t.dropped_unknown_source, t.dropped_bucket_full, t.dropped_connection_limit,
                  t.dropped_unverified, t.dropped_source_limit, s.drop_source_rate, s.directs_in,
                  s.directs_out, s.drop_no_destination, s.drop_other_session, s.notices_sent,
                  s.drop_notice_rate, s.links_replaced, s.addresses_kept, s.member_tables,
                  s.member_lists, s.drop_no_network, s.refused_wrong_password,
                  s.refused_needs_password, s.refused_session_open, s.refused_ignored);
    return line;
}

void RelayReset() {
    RelayState& r = Relay();
    r = RelayState{};
}

}  // namespace ozlan
