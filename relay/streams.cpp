#include "relay/streams.h"

#include <cstring>
#include <iterator>

#include "protocol/stream_wire.h"
#include "relay/admission.h"
#include "relay/forwarding.h"

namespace ozlan::relay {
namespace {

// A header-only message from the relay in the name of `from` (its relayed address) to `to`.
void SendControl(int32_t to, StreamKind kind, uint32_t id, bool from_acceptor, uint32_t from) {
    StreamHeader h;
    h.kind = kind;
    h.id = id;
    h.from_acceptor = from_acceptor;
    h.peer = from;
    uint8_t message[kStreamHeaderSize];
    WriteStreamMessage(message, h);
    TransportSend(to, message, int32_t(kStreamHeaderSize), kStreamMessageType);
}

uint32_t RelayedAddressOf(int32_t id) {
    RelayState& r = Relay();
    auto found = r.links.find(id);
    return found == r.links.end() ? 0 : found->second.relayed_address;
}

// Resets a carried stream at both ends, each as from the other, and forgets it.
void ResetBoth(std::map<StreamKey, CarriedStream>::iterator s) {
    RelayState& r = Relay();
    int32_t opener = s->first.opener, acceptor = s->second.acceptor;
    SendControl(opener, StreamKind::Reset, s->first.id, true, RelayedAddressOf(acceptor));
    SendControl(acceptor, StreamKind::Reset, s->first.id, false, RelayedAddressOf(opener));
    r.streams.erase(s);
}

size_t StreamsOf(int32_t id) {
    size_t n = 0;
    for (const auto& [key, stream] : Relay().streams) {
        if (key.opener == id || stream.acceptor == id) ++n;
    }
    return n;
}

}  // namespace

void OfferStreams(int32_t id, Link& link) {
    RelayState& r = Relay();
    link.streams = true;
    uint8_t offer[kStreamOfferSize];
    WriteStreamOffer(offer, r.config.stream_window, r.config.max_streams_per_member);
    TransportSend(id, offer, int32_t(sizeof offer), kStreamOfferType);
}

void OnStream(int32_t id, const Link& link, const uint8_t* data, int32_t length) {
    RelayState& r = Relay();
    if (!WithinSourceRate(link.address.ip)) {
        ++r.stats.drop_source_rate;
        return;
    }
    if (!link.streams || link.relayed_address == 0 || link.session.empty()) {
        ++r.stats.drop_not_joined;
        return;
    }
    StreamHeader h;
    const uint8_t* bytes = nullptr;
    size_t size = 0;
    if (length < 0 || !ParseStreamMessage(data, size_t(length), &h, &bytes, &size)) {
        ++r.stats.drop_malformed_relay;
        return;
    }
    ++r.stats.streams_in;
    bool nobody = false;
    int32_t to = SessionMemberAt(link, h.peer, &nobody);
    if (to == 0) {
        // Nobody holds that address (any more): the sender's stream is gone.
        if (nobody && h.kind == StreamKind::Open) {
            SendControl(id, StreamKind::Refused, h.id, true, h.peer);
        }
        return;
    }
    const Link& other = r.links[to];
    StreamKey key{h.from_acceptor ? to : id, h.id};
    auto stream = r.streams.find(key);
    if (h.kind == StreamKind::Open) {
        if (stream != r.streams.end()) {
            ++r.stats.drop_unknown_stream;  // opened already
            return;
        }
        if (!other.streams) {
            // A launcher that carries no stream: nothing listens for this one there.
            SendControl(id, StreamKind::Refused, h.id, true, h.peer);
            return;
        }
        if (StreamsOf(id) >= r.config.max_streams_per_member ||
            StreamsOf(to) >= r.config.max_streams_per_member) {
            ++r.stats.drop_stream_limit;
            SendControl(id, StreamKind::Refused, h.id, true, h.peer);
            return;
        }
        CarriedStream carried;
        carried.acceptor = to;
        stream = r.streams.emplace(key, carried).first;
        ++r.stats.streams_opened;
    } else if (stream == r.streams.end() ||
               stream->second.acceptor != (h.from_acceptor ? id : to)) {
        ++r.stats.drop_unknown_stream;
        return;
    }
    CarriedStream& s = stream->second;
    int side = h.from_acceptor ? 1 : 0;
    if (h.kind == StreamKind::Data) {
        uint32_t end = h.count + uint32_t(size);
        // More unread than the window: the sender ignores the reader's credit.
        if (end - s.taken[side] > r.config.stream_window) {
            ++r.stats.drop_stream_window;
            ResetBoth(stream);
            return;
        }
        if (end - s.sent_end[side] <= r.config.stream_window) s.sent_end[side] = end;
        r.stats.stream_bytes += size;
    } else if (h.kind == StreamKind::Credit) {
        // Only a credit for bytes that were sent moves the window on.
        int other_side = 1 - side;
        if (h.count - s.taken[other_side] <= s.sent_end[other_side] - s.taken[other_side]) {
            s.taken[other_side] = h.count;
        }
    }
    uint8_t message[kStreamMaxMessage];
    std::memcpy(message, data, size_t(length));
    StampStreamPeer(message, link.relayed_address);
    TransportSend(to, message, length, kStreamMessageType);
    ++r.stats.streams_out;
    if (h.kind == StreamKind::Shutdown) s.shut[side] = true;
    if (h.kind == StreamKind::Reset || h.kind == StreamKind::Refused || (s.shut[0] && s.shut[1])) {
        r.streams.erase(stream);
    }
}

void ResetStreamsOf(int32_t id) {
    RelayState& r = Relay();
    uint32_t own = RelayedAddressOf(id);
    for (auto s = r.streams.begin(); s != r.streams.end();) {
        bool opener = s->first.opener == id;
        if (!opener && s->second.acceptor != id) {
            ++s;
            continue;
        }
        int32_t other = opener ? s->second.acceptor : s->first.opener;
        SendControl(other, StreamKind::Reset, s->first.id, opener ? false : true, own);
        s = r.streams.erase(s);
    }
}

}  // namespace ozlan::relay
