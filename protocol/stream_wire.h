// Streams through the relay service (extension: join flag bit 5, types 18 and 19): the
// messages that carry a game's TCP connection (or SPX connection over IPX) between two
// members of a session whom only the relay reaches. The launcher that opens a stream
// names it by an id of its own and the other end's relayed address; the relay forwards
// each message to the member holding that address, with the address replaced by the
// sender's, as it does direct messages. Bytes carry their offset in the stream, so a
// receiver puts them in order whatever the transport's order; credit messages say how
// much the reader took, so a sender never has more than the window unread. Header-only
// and platform-free; docs/protocol.md describes them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "protocol/wire.h"

namespace ozlan {

// The launcher carries streams; the relay answers with a stream offer when it does too.
constexpr uint32_t kJoinFlagStreams = 32;

// Relay -> launcher, 8 bytes after a join with kJoinFlagStreams: the window (unread bytes
// a sender may have in one stream, u32) and the most streams a member may hold open
// (u32). A launcher that got none carries no stream.
constexpr uint32_t kStreamOfferType = 18;
constexpr size_t kStreamOfferSize = 8;

// Both ways, one message type for all stream messages.
constexpr uint32_t kStreamMessageType = 19;
constexpr size_t kStreamHeaderSize = 16;
// Data fits one transport message (1400 bytes), header included.
constexpr size_t kStreamMaxData = 1400 - kStreamHeaderSize;
constexpr size_t kStreamMaxMessage = kStreamHeaderSize + kStreamMaxData;

enum class StreamKind : uint8_t {
    Open = 1,      // the opener asks the other end's launcher to connect to its game
    Accepted = 2,  // the other end's game took the connection
    Refused = 3,   // nothing listens there (the game sees WSAECONNREFUSED)
    Data = 4,      // bytes at an offset
    Credit = 5,    // the reader took this many bytes in all
    Shutdown = 6,  // no more bytes after this offset (an orderly close)
    Reset = 7,     // the stream is gone (abortive close, a member left)
};

enum class StreamProtocol : uint8_t {
    Tcp = 1,
    Spx = 2,        // SPX as a byte stream
    SpxPacket = 3,  // SPX sequenced packets: message boundaries kept
};

// Bit 7 of the first byte: the message comes from the end that accepted the stream.
// With the id and the peer's address it names one stream at either end, as both ends
// may open streams with the same ids.
constexpr uint8_t kStreamFromAcceptor = 0x80;

struct StreamHeader {
    StreamKind kind = StreamKind::Open;
    bool from_acceptor = false;
    StreamProtocol protocol = StreamProtocol::Tcp;  // Open only; else as opened
    uint32_t id = 0;
    // Launcher -> relay: the other end's relayed address; relay -> launcher: the
    // sender's (network order).
    uint32_t peer = 0;
    // Open: the port to connect to (host order), and the opener's game socket's port.
    uint16_t port = 0;
    uint16_t source_port = 0;
    // Data and Shutdown: the offset of the first byte (or of the end), wrapping at 2^32;
    // Credit: the bytes taken in all, wrapping.
    uint32_t count = 0;
};

// Writes a stream message into `out` (kStreamMaxMessage bytes at least); its length, or
// 0 when `size` bytes of data do not fit or the kind takes none.
inline size_t WriteStreamMessage(uint8_t* out, const StreamHeader& h, const uint8_t* data = nullptr,
                                 size_t size = 0) {
    if (size > kStreamMaxData || (size > 0 && h.kind != StreamKind::Data)) return 0;
    std::memset(out, 0, kStreamHeaderSize);
    out[0] = uint8_t(uint8_t(h.kind) | (h.from_acceptor ? kStreamFromAcceptor : 0));
    out[1] = h.kind == StreamKind::Open ? uint8_t(h.protocol) : 0;
    WriteLe32(out + 4, h.id);
    std::memcpy(out + 8, &h.peer, 4);
    if (h.kind == StreamKind::Open) {
        out[12] = uint8_t(h.port);
        out[13] = uint8_t(h.port >> 8);
        out[14] = uint8_t(h.source_port);
        out[15] = uint8_t(h.source_port >> 8);
    } else {
        WriteLe32(out + 12, h.count);
    }
    if (size > 0) std::memcpy(out + kStreamHeaderSize, data, size);
    return kStreamHeaderSize + size;
}

// Reads a stream message: false, setting nothing, for anything that is not one (too
// short or long, an unknown kind or protocol, data on a kind that takes none, bytes 2-3
// not zero, an Open to port 0).
inline bool ParseStreamMessage(const uint8_t* in, size_t size, StreamHeader* h,
                               const uint8_t** data, size_t* data_size) {
    if (size < kStreamHeaderSize || size > kStreamMaxMessage) return false;
    uint8_t kind = in[0] & uint8_t(~kStreamFromAcceptor);
    if (kind < uint8_t(StreamKind::Open) || kind > uint8_t(StreamKind::Reset)) return false;
    if (in[2] != 0 || in[3] != 0) return false;
    StreamKind k = StreamKind(kind);
    if (size > kStreamHeaderSize && k != StreamKind::Data) return false;
    StreamHeader read;
    read.kind = k;
    read.from_acceptor = (in[0] & kStreamFromAcceptor) != 0;
    read.id = ReadLe32(in + 4);
    std::memcpy(&read.peer, in + 8, 4);
    if (k == StreamKind::Open) {
        if (in[1] < uint8_t(StreamProtocol::Tcp) || in[1] > uint8_t(StreamProtocol::SpxPacket)) {
            return false;
        }
        read.protocol = StreamProtocol(in[1]);
        read.port = uint16_t(in[12] | (in[13] << 8));
        read.source_port = uint16_t(in[14] | (in[15] << 8));
        if (read.port == 0 || read.from_acceptor) return false;
    } else {
        if (in[1] != 0) return false;
        read.count = ReadLe32(in + 12);
    }
    *h = read;
    *data = in + kStreamHeaderSize;
    *data_size = size - kStreamHeaderSize;
    return true;
}

// The relay's rewrite on the way through: the sender's relayed address in the peer field.
inline void StampStreamPeer(uint8_t* message, uint32_t sender_relayed) {
    std::memcpy(message + 8, &sender_relayed, 4);
}

inline void WriteStreamOffer(uint8_t* out, uint32_t window, uint32_t max_streams) {
    WriteLe32(out, window);
    WriteLe32(out + 4, max_streams);
}

inline bool ParseStreamOffer(const uint8_t* in, size_t size, uint32_t* window,
                             uint32_t* max_streams) {
    if (size != kStreamOfferSize) return false;
    uint32_t w = ReadLe32(in), m = ReadLe32(in + 4);
    if (w == 0 || m == 0) return false;
    *window = w;
    *max_streams = m;
    return true;
}

// Bytes of a stream that may still be sent: the window less what was sent and not yet
// taken (offsets wrap at 2^32; a credit beyond what was sent grants nothing).
inline uint32_t StreamRoom(uint32_t window, uint32_t sent, uint32_t taken) {
    uint32_t unread = sent - taken;
    return unread >= window ? 0 : window - unread;
}

}  // namespace ozlan
