// The wire formats that the Winsock proxy, the session library and the relay service
// share: the launcher link message (the loopback datagram between the proxy and the
// session library, also carried between launchers by the relay service) and the user
// messages between a session library and the relay service. Little-endian unless a
// field says otherwise; header-only and platform-free. docs/protocol.md describes them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace ozlan {

// Whether a game may send to `ip` (network order) as to one host: not 0.0.0.0/8,
// loopback, multicast or the broadcast address.
inline bool IsUnicastAddress(uint32_t ip_network_order) {
    const uint8_t* b = reinterpret_cast<const uint8_t*>(&ip_network_order);
    return b[0] != 0 && b[0] != 127 && b[0] < 224;
}

// --- Launcher link message ------------------------------------------------------
// 12-byte header (magic, port LSB first, source port LSB first, IPv4 address in
// network order) followed by up to 2048 payload bytes.
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
// false, setting nothing, when they are no link message (shorter than the header, or
// without the magic); otherwise the sender it names (address as it stands; the game
// socket's own port when the message names it, else the port it was sent to, host
// order). The payload is the n - 12 bytes after the header.
inline bool ParseLinkMessage(const uint8_t* message, size_t n, uint32_t* ip, uint16_t* port) {
    if (n < kLinkHeaderSize || !HasLinkMagic(message, n)) return false;
    *ip = LinkAddress(message);
    uint16_t source_port = LinkSourcePort(message);
    *port = source_port != 0 ? source_port : LinkPort(message);
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

// --- Relay service messages -----------------------------------------------------

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

// The SplitMix64 finaliser: what every launcher and relay hashes with where they must
// agree without talking (relayed addresses, the order of relays).
inline uint64_t MixBits64(uint64_t x) {
    x += 0x9E3779B97F4A7C15ull;
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
    return x ^ (x >> 31);
}

// FNV-1a 64 over `size` bytes, continuing from `h`.
constexpr uint64_t kFnv1aStart = 0xCBF29CE484222325ull;
inline uint64_t Fnv1a64(const void* data, size_t size, uint64_t h = kFnv1aStart) {
    const uint8_t* bytes = static_cast<const uint8_t*>(data);
    for (size_t i = 0; i < size; ++i) {
        h ^= bytes[i];
        h *= 0x100000001B3ull;
    }
    return h;
}

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

// Flags in the join message's 32-bit word at offset 64, which older launchers leave 0.
constexpr size_t kJoinFlagsOffset = 64;
// The launcher carries its game's directed traffic through the relay service where the
// players cannot reach each other (see the relayed traffic messages below).
constexpr uint32_t kJoinFlagRelayedTraffic = 1;
// A private session's join: the 92 bytes are followed by the session's verifier, derived
// on the player's machine from the password and the session name (the password itself
// never leaves it). The relay answers such a join, and any join it refuses, with a join
// answer.
constexpr uint32_t kJoinFlagVerifier = 2;
constexpr size_t kVerifierSize = 32;
constexpr size_t kPrivateJoinMessageSize = kJoinMessageSize + kVerifierSize;  // 124

// Relay -> launcher, 1 byte: what became of the join.
constexpr uint32_t kJoinAnswerType = 13;
enum JoinAnswer : uint8_t {
    kJoinAccepted = 0,       // a member of the private session
    kJoinWrongPassword = 1,  // the session is private with another verifier
    kJoinNeedsPassword = 2,  // the session is private; the join had no verifier
    kJoinSessionIsOpen = 3,  // the session is open; the join had a verifier
    // Too many refused joins from this address this minute: the join was not looked at.
    // The answer's second byte holds the seconds until it is looked at again (1-60).
    kJoinTooManyTries = 4,
};
constexpr size_t kJoinAnswerSize = 1;
constexpr size_t kTooManyTriesAnswerSize = 2;

// --- Player names and presence (extension: join flag bit 3, type 16) --------------
// The join's last 24 bytes name the player: at most 23 bytes and a zero (older
// launchers write "NoName").
constexpr size_t kPlayerNameOffset = kSessionNameField + 4;
constexpr size_t kMaxPlayerName = kJoinPlayerField - 1;

// The player's name as a name field holds it: control characters (below 32, and 127)
// left out, spaces at either end too, at most 23 bytes. Empty when nothing is left.
inline void CleanPlayerName(const char* text, char (&out)[kJoinPlayerField]) {
    size_t n = 0;
    for (const char* c = text; c && *c && n < kMaxPlayerName; ++c) {
        uint8_t byte = uint8_t(*c);
        if (byte < 32 || byte == 127 || (byte == ' ' && n == 0)) continue;
        out[n++] = char(byte);
    }
    while (n > 0 && out[n - 1] == ' ') --n;
    std::memset(out + n, 0, kJoinPlayerField - n);
}

inline void WriteJoinMessage(uint8_t* out, const char* name, uint32_t flags = 0,
                             const char* player = "NoName") {
    std::memset(out, 0, kJoinMessageSize);
    WriteSessionName(out, name);
    WriteLe32(out + kJoinFlagsOffset, flags);
    std::memcpy(out + kPlayerNameOffset, player, strnlen(player, kMaxPlayerName));
}

// A private join (kPrivateJoinMessageSize bytes): the join with kJoinFlagVerifier set,
// then the verifier.
inline void WritePrivateJoinMessage(uint8_t* out, const char* name, uint32_t flags,
                                    const uint8_t* verifier, const char* player = "NoName") {
    WriteJoinMessage(out, name, flags | kJoinFlagVerifier, player);
    std::memcpy(out + kJoinMessageSize, verifier, kVerifierSize);
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

// --- Relayed traffic ------------------------------------------------------------
// Only between a launcher whose join set kJoinFlagRelayedTraffic and a relay service
// that answered it with an address message; older peers never see these.

// Relay -> launcher, 12 bytes: the launcher's relayed address (the address other
// players' games know this player's game by when they cannot reach it), then the
// address (network order) and port (u16 LE) the relay service sees the launcher at,
// and two zero bytes. Launcher -> relay, 4 bytes, once the first arrived: the
// launcher's own address (network order), which tells the relay service whether the
// launcher sits behind a router.
constexpr uint32_t kAddressMessageType = 9;
constexpr size_t kAddressMessageSize = 12;
constexpr size_t kOwnAddressMessageSize = 4;

// Both ways, as unacknowledged transport messages: a launcher link message to or from
// one game. Launcher -> relay: bytes 8-11 hold the destination's relayed address, bytes
// 4-5 its port, bytes 6-7 the sending game socket's port. Relay -> launcher: bytes 8-11
// hold the sender's relayed address; the rest as it came.
constexpr uint32_t kDirectMessageType = 10;
// A link message fits one unacknowledged transport message, whose payload may be up to
// 1488 bytes. A game's datagram of up to 1472 bytes (the largest UDP payload of one
// Ethernet frame; IPX's largest on Ethernet, 1470, fits) is relayed whole.
constexpr size_t kDirectMaxPayload = 1472;
constexpr size_t kDirectMaxMessage = kLinkHeaderSize + kDirectMaxPayload;  // 1484

// Relayed addresses come from 198.18.0.0/15, a range set aside for benchmarks that no
// player's network uses; host parts 0 and 255 are left out, as some games take them
// for broadcasts.
constexpr uint32_t kRelayedAddressCount = 512 * 254;
inline bool IsRelayedAddress(uint32_t ip_network_order) {
    const uint8_t* b = reinterpret_cast<const uint8_t*>(&ip_network_order);
    return b[0] == 198 && (b[1] & 0xFE) == 18 && b[3] != 0 && b[3] != 255;
}
// The index-th relayed address (index below kRelayedAddressCount), network order.
inline uint32_t RelayedAddress(uint32_t index) {
    uint32_t block = index / 254;
    uint8_t b[4] = {198, uint8_t(18 + (block >> 8)), uint8_t(block), uint8_t(1 + index % 254)};
    uint32_t ip;
    std::memcpy(&ip, b, 4);
    return ip;
}
// The index RelayedAddress turned into `ip` (a relayed address).
inline uint32_t RelayedAddressIndex(uint32_t ip_network_order) {
    const uint8_t* b = reinterpret_cast<const uint8_t*>(&ip_network_order);
    return ((uint32_t(b[1] - 18) << 8) | b[2]) * 254 + b[3] - 1u;
}

// Where the relay service starts looking for a free relayed address for a launcher it
// sees at `ip`:`port` (network order): a hash of that address, so that a launcher that
// connects again from the same socket, to a restarted relay or to another relay, gets
// the same relayed address whenever it is free, and the games keep reaching it.
inline uint32_t PreferredRelayedIndex(uint32_t ip_network_order, uint16_t port_network_order) {
    return uint32_t(MixBits64((uint64_t(ip_network_order) << 16) | port_network_order) %
                    kRelayedAddressCount);
}

// The address message, relay -> launcher (addresses in network order, the port in
// host order).
inline void WriteAddressMessage(uint8_t* out, uint32_t relayed, uint32_t seen_ip,
                                uint16_t seen_port) {
    std::memset(out, 0, kAddressMessageSize);
    std::memcpy(out, &relayed, 4);
    std::memcpy(out + 4, &seen_ip, 4);
    out[8] = uint8_t(seen_port);
    out[9] = uint8_t(seen_port >> 8);
}
inline void ReadAddressMessage(const uint8_t* message, uint32_t* relayed, uint32_t* seen_ip) {
    std::memcpy(relayed, message, 4);
    std::memcpy(seen_ip, message + 4, 4);
}

// The launcher's answer, 8 bytes instead of 4 when it rejoins after losing its link:
// its own address, then the relayed address it had, which the relay service gives it
// again if nobody holds it (a restarted relay, or another one), so that the games keep
// reaching it where they knew it. Relays that take only 4 bytes drop the longer form.
constexpr size_t kOwnAddressRejoinSize = 8;

// Presence: the launcher is told who is in its session, and of every change.
constexpr uint32_t kJoinFlagPresence = 8;

// Relay -> launcher, to members whose join set kJoinFlagPresence, when the launcher joins
// and whenever someone joins or leaves its session: an event byte, a zero byte, the
// session's member count (u16 LE), the name the event is about (24 bytes), then per
// member (at most 254) 24 bytes of name, a flags byte and three zero bytes.
constexpr uint32_t kMemberListType = 16;
enum PresenceEvent : uint8_t {
    kPresenceList = 0,      // the launcher joined: who is there
    kPresenceJoined = 1,    // someone joined
    kPresenceLeft = 2,      // someone left (or moved to another session)
    kPresenceTimedOut = 3,  // someone's link timed out
};
constexpr uint8_t kListedIsYou = 1;
constexpr uint8_t kListedThroughRelay = 2;  // reached only through the relay, from you
constexpr size_t kMemberListHeaderSize = 4 + kJoinPlayerField;
constexpr size_t kListedMemberSize = kJoinPlayerField + 4;
constexpr size_t kMaxListedMembers = 254;

struct ListedMember {
    char name[kJoinPlayerField] = {};
    uint8_t flags = 0;
};
struct MemberList {
    uint8_t event = 0;
    uint16_t count = 0;  // the session's members; `listed` holds at most 254 of them
    char subject[kJoinPlayerField] = {};
    ListedMember listed[kMaxListedMembers];
    size_t listed_count = 0;
};

inline size_t MemberListSize(size_t listed) {
    return kMemberListHeaderSize + kListedMemberSize * listed;
}
inline size_t WriteMemberList(uint8_t* out, const MemberList& list) {
    size_t listed = list.listed_count < kMaxListedMembers ? list.listed_count : kMaxListedMembers;
    std::memset(out, 0, MemberListSize(listed));
    out[0] = list.event;
    out[2] = uint8_t(list.count);
    out[3] = uint8_t(list.count >> 8);
    std::memcpy(out + 4, list.subject, strnlen(list.subject, kMaxPlayerName));
    for (size_t i = 0; i < listed; ++i) {
        uint8_t* entry = out + kMemberListHeaderSize + kListedMemberSize * i;
        std::memcpy(entry, list.listed[i].name, strnlen(list.listed[i].name, kMaxPlayerName));
        entry[kJoinPlayerField] = list.listed[i].flags;
    }
    return MemberListSize(listed);
}
// False for a size that is not a whole list, an unknown event, or more entries than
// members; names are read up to their zero (or 23 bytes) and cleaned.
inline bool ReadMemberList(const uint8_t* data, size_t size, MemberList* list) {
    if (size < kMemberListHeaderSize || (size - kMemberListHeaderSize) % kListedMemberSize != 0) {
        return false;
    }
    size_t listed = (size - kMemberListHeaderSize) / kListedMemberSize;
    uint16_t count = uint16_t(data[2] | (data[3] << 8));
    if (data[0] > kPresenceTimedOut || listed > kMaxListedMembers || listed > count) return false;
    auto name = [](const uint8_t* field, char(&out)[kJoinPlayerField]) {
        char raw[kJoinPlayerField] = {};
        std::memcpy(raw, field, kMaxPlayerName);
        CleanPlayerName(raw, out);
    };
    list->event = data[0];
    list->count = count;
    name(data + 4, list->subject);
    for (size_t i = 0; i < listed; ++i) {
        const uint8_t* entry = data + kMemberListHeaderSize + kListedMemberSize * i;
        name(entry, list->listed[i].name);
        list->listed[i].flags = entry[kJoinPlayerField];
    }
    list->listed_count = listed;
    return true;
}

// --- Bundles (extension: join flag bit 4, type 17) --------------------------------
// The launcher reads bundles (several of the connection's datagrams in one, see the
// transport's kBundleType). A relay that knows them answers the join once with an empty
// message of type 17 and bundles what it sends the launcher from then on; the launcher
// bundles what it sends once it has that answer.
constexpr uint32_t kJoinFlagBundles = 16;
constexpr uint32_t kBundlesType = 17;

// --- Session addresses (extension: join flag bit 2, types 14 and 15) --------------
// Every member of a session is seen by every other member's game at one address, and
// whatever a game sends to any address of a member reaches that member: the relay
// service tells each launcher which addresses belong to whom and which members it
// reaches only through the relay. Relayed addresses then come from one private /24
// per session that none of its members' networks uses.
constexpr uint32_t kJoinFlagSessionAddresses = 4;

// One IPv4 network: an address on it and its mask (both network order).
struct IPv4Network {
    uint32_t ip;
    uint32_t mask;
};

// Launcher -> relay, before its join: the networks the launcher's machine is on, so
// that the session's relayed addresses clash with none of them. A count byte, then
// that many networks (address, mask; network order); at most 16.
constexpr uint32_t kNetworksMessageType = 14;
constexpr size_t kMaxReportedNetworks = 16;
inline size_t NetworksMessageSize(size_t count) {
    return 1 + 8 * count;
}
inline size_t WriteNetworksMessage(uint8_t* out, const IPv4Network* networks, size_t count) {
    if (count > kMaxReportedNetworks) count = kMaxReportedNetworks;
    out[0] = uint8_t(count);
    for (size_t i = 0; i < count; ++i) {
        std::memcpy(out + 1 + 8 * i, &networks[i].ip, 4);
        std::memcpy(out + 5 + 8 * i, &networks[i].mask, 4);
    }
    return NetworksMessageSize(count);
}
// False for anything but a count of at most 16 and exactly its networks.
inline bool ReadNetworksMessage(const uint8_t* data, size_t size,
                                IPv4Network (&out)[kMaxReportedNetworks], size_t* count) {
    if (size < 1 || data[0] > kMaxReportedNetworks || size != NetworksMessageSize(data[0])) {
        return false;
    }
    *count = data[0];
    for (size_t i = 0; i < *count; ++i) {
        std::memcpy(&out[i].ip, data + 1 + 8 * i, 4);
        std::memcpy(&out[i].mask, data + 5 + 8 * i, 4);
    }
    return true;
}

// Relay -> launcher, whenever what the launcher needs of its session changes: the other
// members' addresses as this launcher must treat them. A u16 count (LE), two zero
// bytes, then per member 16 bytes: its relayed address, the address the relay sees it
// at, the address it says it has (0 when it has not said), a flags byte, three zero bytes.
constexpr uint32_t kMembersMessageType = 15;
constexpr size_t kMembersHeaderSize = 4;
constexpr size_t kMemberEntrySize = 16;
constexpr size_t kMaxMemberEntries = 254;  // the hosts of one /24
// The two reach each other only through the relay: the member's game is known by its
// relayed address, and what goes to any of its addresses takes the relay.
constexpr uint8_t kMemberThroughRelay = 1;
// The member sits behind the same router (the relay sees both at one address): the
// two reach each other on their own network, at its own address.
constexpr uint8_t kMemberSameRouter = 2;

struct MemberAddresses {
    uint32_t relayed = 0;  // network order, as the other addresses
    uint32_t seen = 0;
    uint32_t own = 0;
    uint8_t flags = 0;
};

inline size_t MembersMessageSize(size_t count) {
    return kMembersHeaderSize + kMemberEntrySize * count;
}
inline size_t WriteMembersMessage(uint8_t* out, const MemberAddresses* members, size_t count) {
    if (count > kMaxMemberEntries) count = kMaxMemberEntries;
    std::memset(out, 0, MembersMessageSize(count));
    out[0] = uint8_t(count);
    out[1] = uint8_t(count >> 8);
    for (size_t i = 0; i < count; ++i) {
        uint8_t* entry = out + kMembersHeaderSize + kMemberEntrySize * i;
        std::memcpy(entry, &members[i].relayed, 4);
        std::memcpy(entry + 4, &members[i].seen, 4);
        std::memcpy(entry + 8, &members[i].own, 4);
        entry[12] = members[i].flags;
    }
    return MembersMessageSize(count);
}
// False for a count above kMaxMemberEntries or a size that is not exactly the count's.
inline bool ReadMembersMessage(const uint8_t* data, size_t size,
                               MemberAddresses (&out)[kMaxMemberEntries], size_t* count) {
    if (size < kMembersHeaderSize) return false;
    size_t n = size_t(data[0]) | (size_t(data[1]) << 8);
    if (n > kMaxMemberEntries || size != MembersMessageSize(n)) return false;
    for (size_t i = 0; i < n; ++i) {
        const uint8_t* entry = data + kMembersHeaderSize + kMemberEntrySize * i;
        std::memcpy(&out[i].relayed, entry, 4);
        std::memcpy(&out[i].seen, entry + 4, 4);
        std::memcpy(&out[i].own, entry + 8, 4);
        out[i].flags = entry[12];
    }
    *count = n;
    return true;
}

// The default range of the session networks: 172.16.0.0/12 (private, so games take the
// players for a LAN; the least used of the three private ranges on home networks).
constexpr const char* kDefaultSessionRange = "172.16.0.0/12";

// The proxy's routes, which the launcher sends after the 12-byte answer to the proxy's
// query: per address a game may send to, 12 bytes: that address, where it goes
// instead (a member's relayed address through the launcher, or the address to send
// to straight), a kind byte and three zero bytes.
constexpr size_t kRouteEntrySize = 12;
constexpr size_t kMaxRoutes = 3 * kMaxMemberEntries;
enum RouteKind : uint8_t {
    kRouteThroughLauncher = 1,  // to the launcher, as a datagram for `target`
    kRouteStraight = 2,         // straight to `target`, from the game's socket
};
struct Route {
    uint32_t match = 0;   // network order
    uint32_t target = 0;  // network order
    uint8_t kind = 0;
};
inline void WriteRoute(uint8_t* out, const Route& route) {
    std::memset(out, 0, kRouteEntrySize);
    std::memcpy(out, &route.match, 4);
    std::memcpy(out + 4, &route.target, 4);
    out[8] = route.kind;
}
inline Route ReadRoute(const uint8_t* in) {
    Route route;
    std::memcpy(&route.match, in, 4);
    std::memcpy(&route.target, in + 4, 4);
    route.kind = in[8];
    return route;
}
inline const Route* FindRoute(const Route* routes, size_t count, uint32_t ip) {
    for (size_t i = 0; i < count; ++i) {
        if (routes[i].match == ip) return &routes[i];
    }
    return nullptr;
}

// --- Link notices ---------------------------------------------------------------
// Relay -> launcher, unacknowledged, with an empty body (12 bytes on the wire, no
// larger than any datagram they answer). A launcher acts on them only when they come
// from the address and port it connected to; launchers that do not know them ignore
// them as user messages of an unknown type.

// The relay service has no link for the source of a datagram it received (it was
// restarted, or timed the link out, or a router gave the launcher a new port): the
// launcher's link has ended, and it connects again. At most one a second per source.
constexpr uint32_t kNoLinkNoticeType = 11;
// The relay service is stopping: the launcher's link ends now, and it connects to the
// next relay (or to this one when it is back).
constexpr uint32_t kGoingAwayNoticeType = 12;

// The proxy asks the launcher for its game's relayed address with a bare link header
// (port 0, address 0.0.0.0) sent to port 3668; the launcher answers the same header
// with the address filled in, 0.0.0.0 while it has none, followed by the proxy's
// routes (none without session addresses). A launcher without relayed traffic never
// answers.
inline void WriteOwnAddressQuery(uint8_t* out) {
    WriteLinkHeader(out, 0);
    StampLinkAddress(out, kLinkHeaderSize, 0);
}
inline bool IsOwnAddressQuery(const uint8_t* message, size_t size) {
    return size == kLinkHeaderSize && HasLinkMagic(message, size) && LinkPort(message) == 0 &&
           LinkAddress(message) == 0;
}
// Bit 0 of the answer's byte 6 (the query's source-port field, 0 there): the address it
// names is the player's session address while the machine's own address reaches the
// player too (no router between): its game lists it after its own addresses, not first.
constexpr size_t kAnswerFlagsOffset = kLinkSourcePortOffset;
constexpr uint8_t kAnswerOwnAddressReachesToo = 1;
// The launcher's answer as the proxy reads it: false, changing nothing, for anything but
// the header (port 0) and whole routes, at most kMaxRoutes of them. The relayed address
// is 0 unless the answer names a usable one; *own_reaches_too tells the flag above.
inline bool ReadOwnAddressAnswer(const uint8_t* data, size_t size, uint32_t* relayed,
                                 Route (&routes)[kMaxRoutes], size_t* count,
                                 bool* own_reaches_too = nullptr) {
    if (size < kLinkHeaderSize || !HasLinkMagic(data, size) || LinkPort(data) != 0) return false;
    size_t rest = size - kLinkHeaderSize;
    if (rest % kRouteEntrySize != 0 || rest / kRouteEntrySize > kMaxRoutes) return false;
    *relayed = IsUnicastAddress(LinkAddress(data)) ? LinkAddress(data) : 0;
    if (own_reaches_too) {
        *own_reaches_too =
            *relayed != 0 && (data[kAnswerFlagsOffset] & kAnswerOwnAddressReachesToo);
    }
    *count = rest / kRouteEntrySize;
    for (size_t i = 0; i < *count; ++i) {
        routes[i] = ReadRoute(data + kLinkHeaderSize + kRouteEntrySize * i);
    }
    return true;
}

}  // namespace ozlan
