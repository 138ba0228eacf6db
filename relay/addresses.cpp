#include "relay/addresses.h"

#include <cstring>

#include "relay/members.h"

namespace ozlan {
namespace relay {
namespace {

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

}  // namespace

bool TakeRelayedAddress(int32_t id, Link& link, uint32_t wanted, bool any_range) {
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

void AnnounceRelayedAddress(int32_t id, Link& link) {
    bool assigned =
        link.session_addresses ? AssignSessionAddress(id, link) : AssignRelayedAddress(id, link);
    if (!assigned) return;
    SendAddressMessage(id, link);
    RefreshMemberTables(link.session);
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

}  // namespace relay

bool ParseSessionRange(const char* text, uint32_t* ip_network_order, int* prefix) {
    unsigned a, b, c, d, n;
    char end;
    if (std::sscanf(text, "%u.%u.%u.%u/%u%c", &a, &b, &c, &d, &n, &end) != 5 || a > 255 ||
        b > 255 || c > 255 || d > 255 || n < 8 || n > 24) {
        return false;
    }
    uint32_t host = (a << 24) | (b << 16) | (c << 8) | d;
    if (host & ~(0xFFFFFFFFu << (32 - n))) return false;
    *ip_network_order = relay::NetworkOrder(host);
    *prefix = int(n);
    return true;
}

}  // namespace ozlan
