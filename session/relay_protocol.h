// The user messages between a launcher's session library and the relay service:
// the join message (type 0) and the relay message (type 8). Little-endian,
// header-only and platform-free, so the relay service shares it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace ozlan {

constexpr uint32_t kJoinMessageType = 0;
constexpr uint32_t kRelayMessageType = 8;

constexpr size_t kSessionNameField = 64;  // 63 characters and the NUL
constexpr size_t kJoinMessageSize = 92;   // name, u32 0, "NoName" in 24 bytes
constexpr size_t kJoinPlayerField = 24;
constexpr size_t kRelayHeaderSize = 72;  // name, u32 0, u32 length of what follows
constexpr const char* kDefaultSessionName = "default";

// Flags in the relay header's 32-bit word at offset 64, which older launchers leave 0.
constexpr size_t kRelayFlagsOffset = 64;
// The link message's bytes 6-7 hold the sending game socket's port; without this
// flag the relay service clears them, so that leftover bytes never read as a port.
constexpr uint32_t kRelayFlagSourcePort = 1;

inline void WriteLe32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = uint8_t(v >> (8 * i));
}
inline uint32_t ReadLe32(const uint8_t* p) {
    return uint32_t(p[0]) | (uint32_t(p[1]) << 8) | (uint32_t(p[2]) << 16) | (uint32_t(p[3]) << 24);
}

// Writes at most 63 characters of `name` and its terminating zero into a name field.
inline void WriteSessionName(uint8_t* field, const char* name) {
    std::memcpy(field, name, strnlen(name, kSessionNameField - 1));
}

inline void WriteJoinMessage(uint8_t* out, const char* name) {
    std::memset(out, 0, kJoinMessageSize);
    WriteSessionName(out, name);
    std::memcpy(out + kSessionNameField + 4, "NoName", 7);
}

inline void WriteRelayHeader(uint8_t* out, const char* name, uint32_t length, uint32_t flags = 0) {
    std::memset(out, 0, kRelayHeaderSize);
    WriteSessionName(out, name);
    WriteLe32(out + kRelayFlagsOffset, flags);
    WriteLe32(out + 68, length);
}

// The session name field as text, if it is terminated inside its 64 bytes.
inline bool ReadSessionName(const uint8_t* field, char (&name)[kSessionNameField]) {
    const void* end = std::memchr(field, 0, kSessionNameField);
    if (!end) return false;
    std::memcpy(name, field, size_t(static_cast<const uint8_t*>(end) - field) + 1);
    return true;
}

}  // namespace ozlan
