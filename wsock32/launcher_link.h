// Launcher link message: the loopback datagram between the Winsock proxy and the
// session library, also carried between launchers by the relay service.
// 12-byte header (magic, port LSB first, 2 reserved bytes, IPv4 address in network
// order) followed by up to 2048 payload bytes. Header-only and platform-free.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace ozlan {

constexpr uint32_t kLinkMagic = 0xF9F9F9F9u;
constexpr size_t kLinkHeaderSize = 12;
constexpr size_t kLinkMaxPayload = 2048;
constexpr size_t kLinkMaxMessage = kLinkHeaderSize + kLinkMaxPayload;  // 2060
constexpr uint16_t kRelayPort = 3668;
constexpr const char* kLoopbackText = "127.0.0.1";

// Text that every build of the proxy carries in its file: the session library tells
// its own copies in a game folder (of this version or an earlier one) from a
// player's wsock32.dll by it.
#define OZLAN_PROXY_MARKER "OZLAN Winsock proxy, placed in game folders by OZLAN.dll"

constexpr size_t kLinkPortOffset = 4;
constexpr size_t kLinkSourcePortOffset = 6;
constexpr size_t kLinkAddressOffset = 8;

inline bool HasLinkMagic(const uint8_t* data, size_t size) {
    return size >= 4 && data[0] == 0xF9 && data[1] == 0xF9 && data[2] == 0xF9 && data[3] == 0xF9;
}

// The UDP port the message is for, in host order.
inline uint16_t LinkPort(const uint8_t* message) {
    return uint16_t(message[kLinkPortOffset] | (message[kLinkPortOffset + 1] << 8));
}

// The sending game socket's own port (host order), which the sending launcher writes
// into the two bytes after the port field and the relay service keeps only when the
// launcher's relay header says so; 0 means the message does not name it. The
// receiving game sees it as the source port, so that its replies reach the socket
// the broadcast came from.
inline uint16_t LinkSourcePort(const uint8_t* message) {
    return uint16_t(message[kLinkSourcePortOffset] | (message[kLinkSourcePortOffset + 1] << 8));
}
inline void SetLinkSourcePort(uint8_t* message, uint16_t port) {
    message[kLinkSourcePortOffset] = uint8_t(port);
    message[kLinkSourcePortOffset + 1] = uint8_t(port >> 8);
}

// The address field as it stands (network order), and its replacement; on a message
// shorter than the header only the part of the field inside it is touched.
inline uint32_t LinkAddress(const uint8_t* message) {
    uint32_t ip;
    std::memcpy(&ip, message + kLinkAddressOffset, 4);
    return ip;
}
inline void StampLinkAddress(uint8_t* message, size_t size, uint32_t ip_network_order) {
    if (size <= kLinkAddressOffset) return;
    size_t n = size - kLinkAddressOffset < 4 ? size - kLinkAddressOffset : 4;
    std::memcpy(message + kLinkAddressOffset, &ip_network_order, n);
}

// What a receiving proxy makes of the n bytes a datagram from the launcher brought:
// false, changing nothing, when they are no link message (shorter than the header,
// or without the magic); otherwise the sender it names (address as it stands; the
// game socket's own port when the message names it, else the port it was sent to,
// host order), and the payload moved to the start of `buffer` with *n reduced to it.
inline bool UnwrapLinkMessage(uint8_t* buffer, int* n, uint32_t* ip, uint16_t* port) {
    if (*n < int(kLinkHeaderSize) || !HasLinkMagic(buffer, size_t(*n))) return false;
    *ip = LinkAddress(buffer);
    uint16_t source_port = LinkSourcePort(buffer);
    *port = source_port != 0 ? source_port : LinkPort(buffer);
    *n -= int(kLinkHeaderSize);
    std::memmove(buffer, buffer + kLinkHeaderSize, size_t(*n));
    return true;
}

// Writes the header for a broadcast to `port` (host order) from 127.0.0.1;
// the reserved bytes are zero.
inline void WriteLinkHeader(uint8_t* out, uint16_t port) {
    out[0] = out[1] = out[2] = out[3] = 0xF9;
    out[4] = uint8_t(port);
    out[5] = uint8_t(port >> 8);
    out[6] = out[7] = 0;
    out[8] = 127;
    out[9] = 0;
    out[10] = 0;
    out[11] = 1;
}

}  // namespace ozlan
