#include "transport/batch.h"

#include <algorithm>
#include <cstring>

namespace ozlan {
namespace {

// Appends the record to the connection's open bundle in this batch when it fits (a
// slot with one datagram becomes a bundle of it first); false when there is none.
bool AddToBundle(TransportState& s, SendBatch& b, const Record& r) {
    for (int i = b.count - 1; i >= 0; --i) {
        if (b.open[i] != &r.connection) continue;
        DatagramSlot& slot = b.slots[i];
        size_t extra = b.bundle[i] ? 0 : kHeaderSize;
        if (slot.size + extra + kHeaderSize + r.len > kMaxDatagram) return false;
        if (!b.bundle[i]) {
            // The lone datagram was written one header in: the bundle's header goes there.
            slot.data -= kHeaderSize;
            slot.size += kHeaderSize;
            b.bundle[i] = true;
            ++s.stats.bundled;
        }
        uint8_t* data = slot.data;
        WriteHeader(data + slot.size, r.header);
        if (r.len) std::memcpy(data + slot.size + kHeaderSize, r.body, r.len);
        slot.size += kHeaderSize + r.len;
        WriteHeader(data, MessageHeader{0, kBundleType, 0, 0, uint16_t(slot.size - kHeaderSize)});
        ++s.stats.bundled;
        return true;
    }
    return false;
}

}  // namespace

void FlushBatch(TransportState& s, SendBatch& b) {
    if (b.count == 0) return;
    SocketSendBatch(b.socket, b.slots, b.count);
    s.stats.datagrams_sent += uint64_t(b.count);
    b.count = 0;
}

void AddRecordToBatch(TransportState& s, SendBatch& b, const Record& r) {
    Connection& c = r.connection;
    SocketHandle socket = c.endpoint->socket;
    c.last_sent = b.now;
    if (c.bundles && b.count > 0 && socket == b.socket && AddToBundle(s, b, r)) return;
    if (b.count == kMaxBatch || (b.count > 0 && socket != b.socket)) FlushBatch(s, b);
    // Room for a bundle's header ahead of each datagram, used when it becomes one; a slot
    // holds the largest lone datagram (an unacknowledged one) or the largest bundle.
    constexpr size_t kSlotSize = kHeaderSize + kMaxUnacknowledgedDatagram;
    static_assert(kMaxUnacknowledgedDatagram >= kMaxDatagram);
    s.send_storage.resize(size_t(kMaxBatch) * kSlotSize);
    uint8_t* datagram = s.send_storage.data() + size_t(b.count) * kSlotSize + kHeaderSize;
    WriteHeader(datagram, r.header);
    if (r.len) std::memcpy(datagram + kHeaderSize, r.body, r.len);
    b.socket = socket;
    b.slots[b.count].data = datagram;
    b.slots[b.count].size = kHeaderSize + r.len;
    b.slots[b.count].address = c.remote;
    b.open[b.count] = c.bundles ? &c : nullptr;
    b.bundle[b.count] = false;
    ++b.count;
}

void AddToBatch(TransportState& s, SendBatch& b, const Message& m) {
    size_t limit = m.unacknowledged ? kMaxUnacknowledgedPayload : kMaxFragmentPayload;
    size_t len = std::min<size_t>(m.payload.size(), limit);
    AddRecordToBatch(s, b, Record{*m.connection, m.header, m.payload.data(), len});
}

// The acknowledgements gathered for bundling connections that are due (held
// kAckListWaitMs, or a full list), as acknowledgement lists (as many 8-byte bodies as fit
// one bundle each), ahead of what else the pass sends. The others wait.
void AddAcknowledgementLists(TransportState& s, SendBatch& b, int64_t now) {
    constexpr size_t kMaxListBytes = kMaxAckListEntries * kAckBodySize;
    size_t waiting = 0;
    for (ConnectionRef& c : s.acks_due) {
        const std::vector<uint8_t>& acks = c->pending_acks;
        bool live = FindConnection(c->id) == c.get();
        if (live && acks.size() < kMaxListBytes && now - c->acks_since < kAckListWaitMs) {
            s.acks_due[waiting++].swap(c);
            continue;
        }
        if (live) {
            for (size_t at = 0; at < acks.size(); at += kMaxListBytes) {
                size_t len = std::min(kMaxListBytes, acks.size() - at);
                MessageHeader h{0, kAckListType, 0, 0, uint16_t(len)};
                AddRecordToBatch(s, b, Record{*c, h, acks.data() + at, len});
            }
        }
        c->pending_acks.clear();
    }
    s.acks_due.resize(waiting);
}

}  // namespace ozlan
