// The two directions of a stream a launcher carries, platform-free. Inbound: data
// messages by offset, in any order and any number of times (a relay reconnect resends),
// become the stream's bytes in order, each once, and the reader's taking them makes the
// credit the sender waits for; at most the window is ever held. Outbound: what may be
// sent now, given the credit the other end gave.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <vector>

namespace ozlan {

enum class StreamAccept {
    Ok,          // new bytes (some may have been there already)
    Duplicate,   // nothing new
    OverWindow,  // beyond what the window allows: the sender ignores the credit
};

// Positions are counted in 64 bits here (the wire's 32-bit offsets wrap), so that
// bytes out of order sort by where they belong.
struct StreamInbound {
    uint32_t window = 65536;
    uint64_t next = 0;         // position of the first byte not yet in order
    uint64_t credit_sent = 0;  // the bytes taken as last told to the sender
    std::map<uint64_t, std::vector<uint8_t>> pending;  // by position, not yet in order
    std::vector<uint8_t> ready;                        // in order, not yet taken
};

StreamAccept AcceptStreamData(StreamInbound& in, uint32_t offset, const uint8_t* data, size_t size);
// Copies up to `room` bytes in order into `out`; how many.
size_t TakeStreamBytes(StreamInbound& in, uint8_t* out, size_t room);
// Bytes held (in order or not); all of them lie within the window.
size_t StreamBytesHeld(const StreamInbound& in);
// A credit to send: when the reader took a quarter of the window since the last one, or
// everything that came; *count is the bytes taken in all (wrapping).
bool StreamCreditDue(StreamInbound& in, uint32_t* count);

struct StreamOutbound {
    uint32_t window = 65536;
    uint32_t sent = 0;      // offset of the next byte to send
    uint32_t credited = 0;  // bytes the other end took in all
};

// How many of `available` bytes may go in the next data message.
size_t NextStreamChunk(const StreamOutbound& out, size_t available);
void StreamChunkSent(StreamOutbound& out, size_t size);
// A credit from the other end; false (ignored) for one that goes back or beyond what
// was sent.
bool AcceptStreamCredit(StreamOutbound& out, uint32_t count);

}  // namespace ozlan
