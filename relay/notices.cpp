// Notices to launchers outside the transport's acknowledgements: "no link" to a
// source the relay holds no link for, and "going away" to every link when the service
// stops.
#include <cstring>

#include "relay/relay_state.h"

namespace ozlan {

using namespace relay;

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

}  // namespace ozlan
