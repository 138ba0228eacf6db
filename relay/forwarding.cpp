#include "relay/forwarding.h"

#include <cstring>

#include "relay/admission.h"
#include "relay/members.h"

namespace ozlan::relay {
namespace {

bool UsableUnicast(uint32_t ip_network_order) {
    const uint8_t* b = reinterpret_cast<const uint8_t*>(&ip_network_order);
    return ip_network_order != 0 && ip_network_order != 0xFFFFFFFFu && b[0] != 127;
}

}  // namespace

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
    bool stamp_usable = UsableUnicast(LinkAddress(as_stamped));
    if (!stamp_usable) StampLinkAddress(as_stamped, n, link.address.ip);
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
        bool same_router = receiver.address.ip == link.address.ip;
        bool both_relayed = link.relayed_address != 0 && receiver.relayed_address != 0;
        if (same_router && (stamp_usable || !both_relayed)) {
            form = as_stamped;
        } else if (both_relayed &&
                   (same_router || !(ReachableAsSeen(link) && ReachableAsSeen(receiver)))) {
            // Behind one router, a sender that stamped no address of its own is reached
            // at its relayed address: the router's own would not lead back to it.
            form = as_relayed;
        }
        TransportSend(member, form, int32_t(n), kRelayMessageType);
        ++r.stats.relays_out;
    }
}

int32_t SessionMemberAt(const Link& link, uint32_t relayed, bool* nobody) {
    RelayState& r = Relay();
    auto destination = r.links_by_relayed_address.find(relayed);
    if (nobody) *nobody = destination == r.links_by_relayed_address.end();
    if (destination == r.links_by_relayed_address.end()) {
        ++r.stats.drop_no_destination;
        return 0;
    }
    // Only within the session: a relayed address of another session is not reachable.
    if (r.links[destination->second].session != link.session) {
        ++r.stats.drop_other_session;
        return 0;
    }
    return destination->second;
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
    int32_t to = SessionMemberAt(link, LinkAddress(data));
    if (to == 0) return;
    uint8_t message[kDirectMaxMessage];
    std::memcpy(message, data, size_t(length));
    StampLinkAddress(message, size_t(length), link.relayed_address);
    TransportSendDatagram(to, message, length, kDirectMessageType);
    ++r.stats.directs_out;
}

}  // namespace ozlan::relay
