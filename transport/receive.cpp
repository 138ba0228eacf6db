// Receive path: reading datagrams, answering control messages, gathering user
// messages in the bucket and delivering whole messages to default handlers.
#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstring>

#include "transport/state.h"

namespace ozlan {
namespace {

void SendConnectionIdBody(int32_t connection_id, int32_t body_id, uint16_t type) {
    uint8_t body[kConnectionIdBodySize];
    PutU32(body, uint32_t(body_id));
    TransportSend(connection_id, body, int32_t(sizeof body), type);
}

ConnectionRef FindConnectionRef(int32_t connection_id);

void Acknowledge(int32_t connection_id, const MessageHeader& h) {
    TransportState& s = State();
    ConnectionRef c = s.in_pass ? FindConnectionRef(connection_id) : nullptr;
    if (c && c->bundles) {
        // Goes out in the connection's next acknowledgement list.
        if (c->pending_acks.empty()) {
            s.acks_due.push_back(c);
            c->acks_since = PassNow();
        }
        size_t at = c->pending_acks.size();
        c->pending_acks.resize(at + kAckBodySize);
        WriteAckBody(c->pending_acks.data() + at, h.id, h.type, h.seq);
        return;
    }
    uint8_t body[kAckBodySize];
    WriteAckBody(body, h.id, h.type, h.seq);
    TransportSend(connection_id, body, int32_t(sizeof body), MSG_ACK);
}

void FireEvent(const ConnectionRef& c, int32_t event);
void SendConfirmation(const Connection& c);

void FireEvent(const ConnectionRef& c, int32_t event) {
    if (c->callbacks[event]) c->callbacks[event](c->id, event, nullptr);
}

ConnectionRef FindConnectionRef(int32_t connection_id) {
    auto& table = State().connections;
    auto it = table.find(connection_id);
    return it == table.end() ? nullptr : it->second;
}

size_t ExpectedControlLength(uint16_t type) {
    switch (type) {
        case MSG_CONNECT:
            return kConnectBodySize;
        case MSG_ACK:
            return kAckBodySize;
        case MSG_CONFIRM_CONNECT:
            return kConfirmConnectBodySize;
        default:
            return kConnectionIdBodySize;
    }
}

// Queues the confirmation of an accepted connection (one copy: a copy still waiting
// for its answer goes).
void SendConfirmation(const Connection& c) {
    uint8_t confirm[kConfirmConnectBodySize];
    PutU32(confirm, uint32_t(c.remote_id));
    PutU32(confirm + 4, uint32_t(c.id));
    DropUnacked(c.id, c.confirm_id);
    QueueMessage(c.id, confirm, int32_t(sizeof confirm), MSG_CONFIRM_CONNECT, c.confirm_id);
}

// Makes room for a new connect: the oldest unverified connection goes, with its
// confirmation, as if it had been disconnected. False when there is none.
bool DropOldestUnverified() {
    TransportState& s = State();
    while (!s.unverified_order.empty()) {
        int32_t id = s.unverified_order.front();
        s.unverified_order.pop_front();
        ConnectionRef c = FindConnectionRef(id);
        if (!c || c->verified) continue;  // verified or gone meanwhile
        ++s.stats.dropped_unverified;
        DropUnacked(id, c->confirm_id);
        RemoveConnection(id);
        FireEvent(c, EVENT_DISCONNECTED);
        return true;
    }
    return false;
}

void OnConnect(Endpoint* endpoint, const MessageHeader& h, const uint8_t* body,
               const SocketAddress& from) {
    ConnectBody connect = ReadConnectBody(body);
    Log("CONNECT: The remote user '%s:%u' is using version (%d,%d)\n", connect.host,
        unsigned(connect.port), int(connect.version_major), int(connect.version_minor));
    // Without the sender's id the link could never be confirmed or heartbeat.
    if (connect.connection_id <= 0) {
        ++State().stats.dropped_malformed;
        return;
    }
    TransportState& s = State();
    // The same connect again (its confirmation or our answer was lost): confirm again,
    // with the same id, instead of making a second link; once the link is proven, only
    // the connect's acknowledgement can have been lost, and it goes again.
    auto same = s.by_address.find(AddressKey(endpoint, from));
    if (same != s.by_address.end()) {
        for (int32_t id : same->second) {
            ConnectionRef c = FindConnectionRef(id);
            if (!c || c->remote_id != connect.connection_id) continue;
            c->connect_header = h;
            if (c->verified) {
                AcknowledgeConnect(*c);
            } else {
                SendConfirmation(*c);
            }
            return;
        }
    }
    auto source = s.unverified_by_source.find(from.ip);
    if (source != s.unverified_by_source.end() &&
        source->second >= s.limits.max_unverified_per_source) {
        ++s.stats.dropped_source_limit;
        return;
    }
    while (s.unverified_count >= s.limits.max_unverified && DropOldestUnverified()) {
    }
    if (s.connections.size() >= s.limits.max_connections) {
        ++s.stats.dropped_connection_limit;
        return;
    }
    // The link points at where the connect came from, not at the port its body
    // announces: a router in between (NAT) may have rewritten the port, and only
    // answers to the observed address and port pass it back.
    const uint8_t* ip = reinterpret_cast<const uint8_t*>(&from.ip);
    char dotted[16];
    std::snprintf(dotted, sizeof dotted, "%u.%u.%u.%u", ip[0], ip[1], ip[2], ip[3]);
    const uint8_t* port = reinterpret_cast<const uint8_t*>(&from.port);  // network order
    uint16_t observed_port = uint16_t((port[0] << 8) | port[1]);
    int32_t b = Connect(endpoint, dotted, observed_port, connect.connection_id);
    if (b == 0) return;
    // The confirmation's id is random: its acknowledgement proves that the remote
    // party receives at its address.
    ConnectionRef c = FindConnectionRef(b);
    uint32_t confirm_id = 0;
    while (confirm_id == 0 && RandomBytes(&confirm_id, sizeof confirm_id)) {
    }
    if (confirm_id == 0) confirm_id = ++s.message_id_counter;  // no random source
    c->confirm_id = confirm_id;
    // Entries of connections verified or gone since are passed over here, so the
    // order grows only with the unverified connections.
    while (!s.unverified_order.empty()) {
        ConnectionRef oldest = FindConnectionRef(s.unverified_order.front());
        if (oldest && !oldest->verified) break;
        s.unverified_order.pop_front();
    }
    TrackUnverified(*c);
    c->connect_header = h;
    if (State().on_accept) State().on_accept(b);
    SendConfirmation(*c);
    Log("We received a connect message\n");
}

void OnConfirmConnect(const MessageHeader& h, const uint8_t* body) {
    int32_t a = GetI32(body);
    int32_t b = GetI32(body + 4);
    Log("CONFIRM CONNECT: The remote user(address:%d) confirms connection on our address %d\n", b,
        a);
    ConnectionRef c = FindConnectionRef(a);
    if (!c) return;
    c->remote_id = b;
    ScheduleHeartbeat(*c);
    // The acknowledgement first: it proves our address to the answering side, which
    // takes no user message before it, and the callback may send at once.
    Acknowledge(a, h);
    FireEvent(c, EVENT_CONNECTED);
}

void OnConfirmDisconnect(const uint8_t* body) {
    Log("CONFIRM DISCONNECT: The remote user confirms they have closed their connection\n");
    ConnectionRef c = FindConnectionRef(GetI32(body));
    if (!c) return;
    FireEvent(c, EVENT_DISCONNECTED);
    RemoveConnection(c->id);
}

void OnPeerClose(const MessageHeader& h, const uint8_t* body) {
    int32_t x = GetI32(body);
    Log("PEERCLOSE: The remote user is asking use to close our connection at address %d\n", x);
    ConnectionRef c = FindConnectionRef(x);
    if (!c || !c->verified) return;  // no answers to a source that has not proved itself
    FireEvent(c, EVENT_PEER_CLOSE);
    SendConnectionIdBody(x, c->remote_id, MSG_CONFIRM_DISCONNECT);
    Acknowledge(x, h);
}

void OnHeartbeat(const MessageHeader& h, const uint8_t* body) {
    int32_t id = GetI32(body);
    Log("HEARTBEAT RECEIVED: The remote user sent us a heartbeat message (remote address: %d)\n",
        id);
    ConnectionRef c = FindConnectionRef(id);
    if (c && !c->verified) return;  // no answers to a source that has not proved itself
    Acknowledge(id, h);             // an unknown id leaves the last-error code at -8
}

void RemoveBucketEntry(TransportState& s, BucketList::iterator it) {
    if (it->total > 1) {
        s.bucket_bytes -= it->bytes;
        --s.bucket_incomplete;
        --it->connection->incomplete;
    }
    s.bucket_by_key.erase(BucketKey(it->connection_id, it->id));
    if (s.spare_bucket.size() < kSpareMessages && it->single.capacity() <= kMaxFragmentPayload) {
        it->connection.reset();
        it->fragments.clear();
        s.spare_bucket.splice(s.spare_bucket.end(), s.bucket, it);
    } else {
        s.bucket.erase(it);
    }
}

// Whether the limits leave room for `bytes` more in a multi-fragment entry
// (`opening` when the fragment would open a new entry).
bool BucketHasRoom(TransportState& s, const Connection& c, size_t bytes, bool opening) {
    const TransportLimits& l = s.limits;
    if (s.bucket_bytes + bytes > l.max_incomplete_bytes) return false;
    if (!opening) return true;
    return s.bucket_incomplete < l.max_incomplete_messages &&
           c.incomplete < l.max_incomplete_per_connection;
}

void OnUserMessage(const Endpoint* endpoint, const MessageHeader& h, const uint8_t* payload,
                   const SocketAddress& from) {
    TransportState& s = State();
    auto index = s.by_address.find(AddressKey(endpoint, from));
    if (index == s.by_address.end()) {
        ++s.stats.dropped_unknown_source;
        return;
    }
    ConnectionRef c = s.connections[*index->second.begin()];  // lowest id wins
    if (!c->verified) {
        // Not even acknowledged: the sender resends once it has answered our
        // confirmation, and a forged source gets nothing.
        ++s.stats.dropped_unverified_message;
        return;
    }
    c->last_received = PassNow();
    if (h.id == 0 && h.seq == 0 && h.total == 0) {
        // An unacknowledged message: handed over as it arrives, nothing to answer.
        ++s.stats.datagrams_delivered;
        if (c->handler) c->handler(payload, int32_t(h.len), h.type, c->id, nullptr);
        return;
    }
    if (h.total == 0 || h.seq == 0 || h.seq > h.total) {
        ++s.stats.dropped_malformed;
        return;
    }
    if (WasDelivered(*c, h.id)) {
        Log("the message was already delivered\n");
        Acknowledge(c->id, h);  // our first answer was lost
        return;
    }
    // Entries are keyed by connection as well as id: two senders' ids are unrelated.
    auto found = s.bucket_by_key.find(BucketKey(c->id, h.id));
    if (found != s.bucket_by_key.end()) {
        BucketEntry& e = *found->second;
        if (e.total != h.total || e.type != h.type) {
            ++s.stats.dropped_malformed;
            return;
        }
        if (e.total == 1 || e.fragments.count(h.seq)) {
            Log("the exact message is already in the message bucket\n");
            Acknowledge(c->id, h);  // the sender repeats it because it lacks our answer
            return;
        }
        if (e.total > 1 && !BucketHasRoom(s, *c, h.len, false)) {
            ++s.stats.dropped_bucket_full;
            return;
        }
        Acknowledge(c->id, h);
        e.fragments[h.seq].assign(payload, payload + h.len);
        e.bytes += h.len;
        if (e.total > 1) s.bucket_bytes += h.len;
        return;
    }
    if (h.total > 1 && !BucketHasRoom(s, *c, h.len, true)) {
        ++s.stats.dropped_bucket_full;
        return;
    }
    Log("Adding recceived message to the bucket\n");
    Acknowledge(c->id, h);
    // An entry's node (and its single payload's room) is reused when there is one.
    if (s.spare_bucket.empty()) {
        s.bucket.emplace_back();
    } else {
        s.bucket.splice(s.bucket.end(), s.spare_bucket, s.spare_bucket.begin());
    }
    BucketEntry& e = s.bucket.back();
    e.connection_id = c->id;
    e.connection = c;
    e.id = h.id;
    e.type = h.type;
    e.total = h.total;
    e.first_arrival = PassNow();
    e.bytes = h.len;
    if (e.total == 1) {
        e.single.assign(payload, payload + h.len);
    } else {
        e.fragments[h.seq].assign(payload, payload + h.len);
        s.bucket_bytes += h.len;
        ++s.bucket_incomplete;
        ++c->incomplete;
    }
    s.bucket_by_key[BucketKey(c->id, h.id)] = std::prev(s.bucket.end());
}

}  // namespace

void HandleRecord(Endpoint* endpoint, const uint8_t* datagram, size_t size,
                  const SocketAddress& from, bool in_bundle);

// A bundle's records, each a whole datagram: all of them, or none when one does not
// fit exactly (a bundle never holds another).
void OnBundle(Endpoint* endpoint, const uint8_t* datagram, const MessageHeader& h,
              const SocketAddress& from) {
    size_t end = kHeaderSize + h.len;
    for (size_t at = kHeaderSize; at < end;) {
        if (end - at < kHeaderSize || kHeaderSize + GetU16(datagram + at + 10) > end - at ||
            GetU16(datagram + at + 4) == kBundleType) {
            ++State().stats.dropped_malformed;
            return;
        }
        at += kHeaderSize + GetU16(datagram + at + 10);
    }
    for (size_t at = kHeaderSize; at < end;) {
        size_t record = kHeaderSize + GetU16(datagram + at + 10);
        HandleRecord(endpoint, datagram + at, record, from, true);
        at += record;
    }
}

void HandleIncomingDatagram(Endpoint* endpoint, const uint8_t* datagram, size_t size,
                            const SocketAddress& from) {
    ++State().stats.datagrams_received;
    HandleRecord(endpoint, datagram, size, from, false);
}

void HandleRecord(Endpoint* endpoint, const uint8_t* datagram, size_t size,
                  const SocketAddress& from, bool in_bundle) {
    TransportState& s = State();
    MessageHeader h;
    if (!ParseHeader(datagram, size, &h)) {
        ++s.stats.dropped_malformed;
        return;
    }
    if (h.type == kBundleType) {
        if (in_bundle) {
            ++s.stats.dropped_malformed;
        } else {
            OnBundle(endpoint, datagram, h, from);
        }
        return;
    }
    Log("We have an unprocessed message: id:%d, len:%d, type:%d, seq:%d of %d\n", int(h.id),
        int(h.len), int(h.type), int(h.seq), int(h.total));
    const uint8_t* body = datagram + kHeaderSize;
    if (IsControlType(h.type) && h.len != ExpectedControlLength(h.type)) {
        ++s.stats.dropped_malformed;
        return;
    }
    if (s.on_unknown_source && h.type != MSG_CONNECT &&
        s.by_address.find(AddressKey(endpoint, from)) == s.by_address.end()) {
        s.on_unknown_source(endpoint, from, h, size);
    }
    switch (h.type) {
        case MSG_CONNECT:
            OnConnect(endpoint, h, body, from);
            break;
        case MSG_CONFIRM_CONNECT:
            OnConfirmConnect(h, body);
            break;
        case MSG_CONFIRM_DISCONNECT:
            OnConfirmDisconnect(body);
            break;
        case MSG_PEERCLOSE:
            OnPeerClose(h, body);
            break;
        case MSG_HEARTBEAT:
            OnHeartbeat(h, body);
            break;
        case MSG_ACK:
            ApplyAcknowledgement(GetU32(body), GetU16(body + 6));
            break;
        case kAckListType:
            if (h.len == 0 || h.len % kAckBodySize != 0) {
                ++s.stats.dropped_malformed;
                break;
            }
            for (size_t at = 0; at < h.len; at += kAckBodySize) {
                ApplyAcknowledgement(GetU32(body + at), GetU16(body + at + 6));
            }
            break;
        default:
            OnUserMessage(endpoint, h, body, from);
            break;
    }
}

void ReceiveStep() {
    TransportState& s = State();
    s.receive_storage.resize(size_t(kMaxBatch) * kReceiveBufferSize);
    DatagramSlot slots[kMaxBatch];
    for (int i = 0; i < kMaxBatch; ++i) {
        slots[i].data = s.receive_storage.data() + size_t(i) * kReceiveBufferSize;
        slots[i].capacity = kReceiveBufferSize;
    }
    for (size_t e = 0; e < s.endpoints.size(); ++e) {
        Endpoint* endpoint = s.endpoints[e].get();
        // Reading until the socket reports nothing takes every waiting datagram, in
        // batches where the platform allows.
        int errors = 0;
        // A first small batch: most sockets of a busy process have little or nothing
        // waiting, and a batch costs its size to set up.
        int batch = 8;
        for (size_t n = 0; n < s.limits.max_datagrams_per_poll;) {
            int want = int(std::min<size_t>(batch, s.limits.max_datagrams_per_poll - n));
            batch = kMaxBatch;
            int error = 0;
            int got = SocketReceiveBatch(endpoint->socket, slots, want, &error);
            if (got == 0) break;
            if (got < 0) {
                Log("recv error: %d\n", error);
                if (++errors == 8) break;  // a broken socket must not spin the pass
                ++n;
                continue;
            }
            errors = 0;
            n += size_t(got);
            s.pass_now = Now();
            for (int i = 0; i < got; ++i) {
                if (slots[i].size == 0) continue;
                HandleIncomingDatagram(endpoint, slots[i].data, slots[i].size, slots[i].address);
            }
            if (got < want) break;  // the socket has nothing more
        }
    }
}

void DeliverStep() {
    TransportState& s = State();
    int64_t now = Now();
    s.pass_now = now;  // for what its handlers send
    std::vector<uint8_t> joined;
    for (auto it = s.bucket.begin(); it != s.bucket.end();) {
        BucketEntry& e = *it;
        auto next = std::next(it);
        if (e.total == 1 || e.fragments.size() == e.total) {
            RememberDelivered(*e.connection, e.id, now);
            DefaultHandler handler = e.connection->handler;
            if (e.total == 1) {
                const std::vector<uint8_t>& p = e.single;
                if (handler) handler(p.data(), int32_t(p.size()), e.type, e.connection_id, nullptr);
            } else {
                joined.clear();
                joined.reserve(e.bytes);
                for (auto& [seq, p] : e.fragments) joined.insert(joined.end(), p.begin(), p.end());
                if (!joined.empty() && handler) {
                    handler(joined.data(), int32_t(joined.size()), e.type, e.connection_id,
                            nullptr);
                }
            }
            ++s.stats.messages_delivered;
            RemoveBucketEntry(s, it);
        } else if (now - e.first_arrival > kTimeoutMs) {
            ++s.stats.dropped_expired;
            RemoveBucketEntry(s, it);
        }
        it = next;
    }
}

bool WasDelivered(const Connection& c, uint32_t id) {
    // Ids of one sender grow: one above the highest delivered is new.
    if (c.delivered_ids.empty() || int32_t(id - c.highest_delivered) > 0) return false;
    // A branch-free scan the compiler turns into vector compares (a resent copy of an
    // older id must not cost a pass 1,024 branches).
    const uint32_t* ids = c.delivered_ids.data();
    uint32_t hits = 0;
    for (size_t i = 0; i < c.delivered_ids.size(); ++i) hits |= uint32_t(ids[i] == id);
    return hits != 0;
}

void RememberDelivered(Connection& c, uint32_t id, int64_t now) {
    if (c.delivered_ids.empty() || int32_t(id - c.highest_delivered) > 0) {
        c.highest_delivered = id;
    }
    std::vector<uint32_t>& ids = c.delivered_ids;
    std::vector<uint32_t>& times = c.delivered_times;
    uint32_t at = uint32_t(now);
    if (ids.size() == c.delivered_capacity && c.delivered_capacity < kMaxRememberedDeliveries &&
        int64_t(int32_t(at - times[c.delivered_next])) < kRememberDeliveriesMs) {
        // The oldest is too young to forget: room for twice as many, oldest first.
        std::rotate(ids.begin(), ids.begin() + ptrdiff_t(c.delivered_next), ids.end());
        std::rotate(times.begin(), times.begin() + ptrdiff_t(c.delivered_next), times.end());
        c.delivered_next = 0;
        c.delivered_capacity *= 2;
    }
    if (ids.size() < c.delivered_capacity) {
        ids.push_back(id);
        times.push_back(at);
        return;
    }
    ids[c.delivered_next] = id;
    times[c.delivered_next] = at;
    c.delivered_next = (c.delivered_next + 1) % c.delivered_capacity;
}

void AcknowledgeConnect(const Connection& c) {
    Acknowledge(c.id, c.connect_header);
}

int64_t BucketNextExpiry() {
    const BucketList& bucket = State().bucket;
    return bucket.empty() ? INT64_MAX : bucket.front().first_arrival;
}

void ClearBucket() {
    TransportState& s = State();
    while (!s.bucket.empty()) RemoveBucketEntry(s, s.bucket.begin());
    s.spare_bucket.clear();
}

void DropBucketEntries(int32_t connection_id) {
    TransportState& s = State();
    for (auto it = s.bucket.begin(); it != s.bucket.end();) {
        auto next = std::next(it);
        if (it->connection_id == connection_id) RemoveBucketEntry(s, it);
        it = next;
    }
}

}  // namespace ozlan
