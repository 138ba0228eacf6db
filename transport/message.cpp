#include "transport/message.h"

#include <cstring>

namespace ozlan {

void WriteHeader(uint8_t* out, const MessageHeader& h) {
    PutU32(out, h.id);
    PutU16(out + 4, h.type);
    PutU16(out + 6, h.seq);
    PutU16(out + 8, h.total);
    PutU16(out + 10, h.len);
}

bool ParseHeader(const uint8_t* datagram, size_t size, MessageHeader* out) {
    if (size < kHeaderSize) return false;
    out->id = GetU32(datagram);
    out->type = GetU16(datagram + 4);
    out->seq = GetU16(datagram + 6);
    out->total = GetU16(datagram + 8);
    out->len = GetU16(datagram + 10);
    return size_t(out->len) <= size - kHeaderSize;
}

void WriteConnectBody(uint8_t* out, const ConnectBody& body) {
    std::memset(out, 0, kConnectBodySize);
    out[0] = body.version_major;
    out[1] = body.version_minor;
    std::memcpy(out + 2, body.host, kHostFieldSize);
    out[2 + kHostFieldSize - 1] = 0;
    PutU16(out + 66, body.port);
    PutU32(out + 68, uint32_t(body.connection_id));
}

ConnectBody ReadConnectBody(const uint8_t* body) {
    ConnectBody b;
    b.version_major = body[0];
    b.version_minor = body[1];
    std::memcpy(b.host, body + 2, kHostFieldSize);
    b.host[kHostFieldSize - 1] = 0;  // a peer may leave the field unterminated
    b.port = GetU16(body + 66);
    b.connection_id = GetI32(body + 68);
    return b;
}

void WriteAckBody(uint8_t* out, uint32_t id, uint16_t type, uint16_t seq) {
    PutU32(out, id);
    PutU16(out + 4, type);
    PutU16(out + 6, seq);
}

}  // namespace ozlan
