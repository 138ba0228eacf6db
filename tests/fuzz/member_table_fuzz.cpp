// Feeds what a launcher and a proxy read of the session with arbitrary bytes: the
// relay's member table (and the routes made of it) and member list, the launcher's
// answer to the proxy, and the networks a launcher reports. Nothing may be read outside the
// bytes, and what is accepted must hold together.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "protocol/wire.h"
#include "session/routes.h"

using namespace ozlan;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > MembersMessageSize(kMaxMemberEntries) + kRouteEntrySize * kMaxRoutes) return 0;
    // Exactly the input's bytes, so that the sanitizer sees any step outside them.
    std::vector<uint8_t> bytes(data, data + size);
    static MemberAddresses members[kMaxMemberEntries];
    size_t count = 0;
    if (ReadMembersMessage(bytes.data(), size, members, &count)) {
        if (size != MembersMessageSize(count) || count > kMaxMemberEntries) __builtin_trap();
        std::vector<Route> routes(3 * count);
        size_t n = BuildRoutes(members, count, routes.data(), routes.size());
        if (n > 3 * count) __builtin_trap();
        for (size_t i = 0; i < n; ++i) {
            // One route per address: the first that names it.
            if (FindRoute(routes.data(), n, routes[i].match) != &routes[i]) __builtin_trap();
            if (routes[i].kind != kRouteThroughLauncher && routes[i].kind != kRouteStraight) {
                __builtin_trap();
            }
        }
        std::vector<uint8_t> again(size);
        WriteMembersMessage(again.data(), members, count);
        for (size_t i = 0; i < count; ++i) {
            // Only the flags byte of the reserved four is read back.
            const uint8_t* entry = bytes.data() + kMembersHeaderSize + kMemberEntrySize * i;
            std::memcpy(again.data() + kMembersHeaderSize + kMemberEntrySize * i + 13, entry + 13,
                        3);
        }
        std::memcpy(again.data() + 2, bytes.data() + 2, 2);
        if (again != bytes) __builtin_trap();
    }
    static Route routes[kMaxRoutes];
    uint32_t relayed = 0;
    if (ReadOwnAddressAnswer(bytes.data(), size, &relayed, routes, &count)) {
        if (kLinkHeaderSize + count * kRouteEntrySize != size) __builtin_trap();
    }
    static MemberList list;
    if (ReadMemberList(bytes.data(), size, &list)) {
        if (list.listed_count > list.count || size != MemberListSize(list.listed_count)) {
            __builtin_trap();
        }
        // Names come out cleaned: terminated, no control characters.
        for (size_t i = 0; i <= list.listed_count; ++i) {
            const char* name = i < list.listed_count ? list.listed[i].name : list.subject;
            size_t n = strnlen(name, kJoinPlayerField);
            if (n > kMaxPlayerName) __builtin_trap();
            for (size_t k = 0; k < n; ++k) {
                if (uint8_t(name[k]) < 32 || uint8_t(name[k]) == 127) __builtin_trap();
            }
        }
    }
    IPv4Network networks[kMaxReportedNetworks];
    if (ReadNetworksMessage(bytes.data(), size, networks, &count) && size != 1 + 8 * count) {
        __builtin_trap();
    }
    return 0;
}
