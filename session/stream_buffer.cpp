#include "session/stream_buffer.h"

#include <algorithm>
#include <cstring>

#include "protocol/stream_wire.h"

namespace ozlan {
namespace {

// Moves what now follows `next` without a gap from `pending` to `ready`.
void Settle(StreamInbound& in) {
    while (!in.pending.empty()) {
        auto first = in.pending.begin();
        if (first->first > in.next) return;
        uint64_t overlap = in.next - first->first;
        const std::vector<uint8_t>& bytes = first->second;
        if (overlap < bytes.size()) {
            in.ready.insert(in.ready.end(), bytes.begin() + std::ptrdiff_t(overlap), bytes.end());
            in.next += bytes.size() - overlap;
        }
        in.pending.erase(first);
    }
}

}  // namespace

StreamAccept AcceptStreamData(StreamInbound& in, uint32_t offset, const uint8_t* data,
                              size_t size) {
    if (size == 0) return StreamAccept::Duplicate;
    if (size > in.window) return StreamAccept::OverWindow;
    // Where the bytes lie from `next`: the wire's offsets are within a window of it.
    int64_t start = int64_t(in.next) + int32_t(offset - uint32_t(in.next));
    int64_t end = start + int64_t(size);
    if (end <= int64_t(in.next)) return StreamAccept::Duplicate;  // all in order already
    uint64_t taken = in.next - in.ready.size();
    if (start < 0 || uint64_t(end) - taken > in.window) return StreamAccept::OverWindow;
    size_t skip = start < int64_t(in.next) ? size_t(int64_t(in.next) - start) : 0;
    uint64_t from = uint64_t(start) + skip;
    auto existing = in.pending.find(from);
    if (existing != in.pending.end() && existing->second.size() >= size - skip) {
        return StreamAccept::Duplicate;
    }
    in.pending[from].assign(data + skip, data + size);
    Settle(in);
    return StreamAccept::Ok;
}

size_t TakeStreamBytes(StreamInbound& in, uint8_t* out, size_t room) {
    size_t n = std::min(room, in.ready.size());
    std::memcpy(out, in.ready.data(), n);
    in.ready.erase(in.ready.begin(), in.ready.begin() + std::ptrdiff_t(n));
    return n;
}

size_t StreamBytesHeld(const StreamInbound& in) {
    size_t held = in.ready.size();
    for (const auto& [offset, bytes] : in.pending) held += bytes.size();
    return held;
}

bool StreamCreditDue(StreamInbound& in, uint32_t* count) {
    uint64_t taken = in.next - in.ready.size();
    uint64_t since = taken - in.credit_sent;
    if (since == 0) return false;
    if (since < in.window / 4 && !(in.ready.empty() && in.pending.empty())) return false;
    in.credit_sent = taken;
    *count = uint32_t(taken);
    return true;
}

size_t NextStreamChunk(const StreamOutbound& out, size_t available) {
    return std::min(
        {available, size_t(StreamRoom(out.window, out.sent, out.credited)), kStreamMaxData});
}

void StreamChunkSent(StreamOutbound& out, size_t size) {
    out.sent += uint32_t(size);
}

bool AcceptStreamCredit(StreamOutbound& out, uint32_t count) {
    if (count - out.credited > out.sent - out.credited) return false;
    out.credited = count;
    return true;
}

}  // namespace ozlan
