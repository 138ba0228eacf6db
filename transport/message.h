// Peer message wire format: one UDP datagram = 12-byte little-endian header + payload.
#pragma once

#include <cstddef>
#include <cstdint>

namespace ozlan {

constexpr size_t kHeaderSize = 12;
constexpr size_t kMaxFragmentPayload = 1400;
constexpr size_t kMaxDatagram = kHeaderSize + kMaxFragmentPayload;  // 1412
constexpr size_t kReceiveBufferSize = 2048;
// An unacknowledged message is one datagram and never fragmented: it may be larger than
// a fragment, up to a datagram of 1500 bytes (peers read up to kReceiveBufferSize), so
// that what it carries arrives whole. It is sent alone when it does not fit a bundle.
constexpr size_t kMaxUnacknowledgedPayload = 1488;
constexpr size_t kMaxUnacknowledgedDatagram = kHeaderSize + kMaxUnacknowledgedPayload;  // 1500
static_assert(kMaxUnacknowledgedDatagram <= kReceiveBufferSize);
constexpr size_t kHostFieldSize = 64;  // 63 characters and the NUL

enum MessageType : uint16_t {
    MSG_CONNECT = 32400,
    MSG_ACK = 32401,
    MSG_CONFIRM_CONNECT = 32402,
    MSG_HEARTBEAT = 32403,
    MSG_PEERCLOSE = 32404,
    MSG_CONFIRM_DISCONNECT = 32405,
};

// A bundle (an extension both sides must have agreed on): its body is several whole
// datagrams of the connection, messages and acknowledgements alike, each with its own
// header, read one after the other. Never inside another bundle.
constexpr uint16_t kBundleType = 32406;
// An acknowledgement list (same extension): id, seq and total 0, the body several
// acknowledgement bodies of 8 bytes, at least one; as many as one bundle holds.
constexpr uint16_t kAckListType = 32407;

constexpr size_t kConnectBodySize = 72;
constexpr size_t kAckBodySize = 8;
constexpr size_t kConfirmConnectBodySize = 8;
constexpr size_t kConnectionIdBodySize = 4;  // heartbeat, peer-close, confirm-disconnect
constexpr size_t kMaxAckListEntries = (kMaxDatagram - 2 * kHeaderSize) / kAckBodySize;  // 173

inline bool IsControlType(uint16_t type) {
    return type >= MSG_CONNECT && type <= MSG_CONFIRM_DISCONNECT;
}

struct MessageHeader {
    uint32_t id = 0;
    uint16_t type = 0;
    uint16_t seq = 0;
    uint16_t total = 0;
    uint16_t len = 0;
};

// Little-endian field access; the format never uses network byte order.
inline void PutU16(uint8_t* p, uint16_t v) {
    p[0] = uint8_t(v);
    p[1] = uint8_t(v >> 8);
}
inline void PutU32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = uint8_t(v >> (8 * i));
}
inline uint16_t GetU16(const uint8_t* p) {
    return uint16_t(p[0] | (p[1] << 8));
}
inline uint32_t GetU32(const uint8_t* p) {
    return uint32_t(p[0]) | (uint32_t(p[1]) << 8) | (uint32_t(p[2]) << 16) | (uint32_t(p[3]) << 24);
}
inline int32_t GetI32(const uint8_t* p) {
    return int32_t(GetU32(p));
}

void WriteHeader(uint8_t* out, const MessageHeader& h);

// Reads a datagram's header. False when the datagram is shorter than the header or
// its len claims more payload than arrived; such a datagram is not a message.
bool ParseHeader(const uint8_t* datagram, size_t size, MessageHeader* out);

// Number of fragments for a body of n bytes: floor(n / 1400) + 1, so an exact
// multiple of 1400 ends in an empty fragment.
inline uint32_t FragmentCount(size_t n) {
    return uint32_t(n / kMaxFragmentPayload + 1);
}

struct ConnectBody {
    uint8_t version_major = 0;
    uint8_t version_minor = 2;
    char host[kHostFieldSize] = {};
    uint16_t port = 0;
    int32_t connection_id = 0;
};

void WriteConnectBody(uint8_t* out, const ConnectBody& body);  // 72 bytes
ConnectBody ReadConnectBody(const uint8_t* body);              // body holds 72 bytes

// Acknowledgement body: id, type, then the acknowledged fragment's seq in the two
// bytes a plain acknowledgement leaves unset (0 means "any fragment of that id").
void WriteAckBody(uint8_t* out, uint32_t id, uint16_t type, uint16_t seq);

}  // namespace ozlan
