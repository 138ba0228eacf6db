// Drives the proxy's memory of exchanges with arbitrary sends, receives and route
// changes: the table never grows past its size, holds one entry per member and port,
// answers only with the member itself or an address sent to for it, and after a route
// change keeps only addresses that still reach their member.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "wsock32/exchange_memory.h"

using namespace ozlan;

namespace {

// Few members, ports and addresses, so that the operations meet each other.
uint32_t Address(uint8_t b) {
    uint32_t ip = 0xAC000000u | (b & 15u);
    return ip;
}

void CheckTable(const ExchangeMemory& memory) {
    if (memory.count > kMaxRememberedExchanges || memory.known_count > kMaxRoutes) {
        __builtin_trap();
    }
    for (size_t i = 0; i < memory.known_count; ++i) {
        for (size_t j = i + 1; j < memory.known_count; ++j) {
            if (memory.known[i].from == memory.known[j].from) __builtin_trap();
        }
    }
    for (size_t i = 0; i < memory.count; ++i) {
        for (size_t j = i + 1; j < memory.count; ++j) {
            if (memory.entries[i].member == memory.entries[j].member &&
                memory.entries[i].port == memory.entries[j].port) {
                __builtin_trap();
            }
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static ExchangeMemory memory;
    memory = ExchangeMemory{};
    bool sent[16][16] = {};  // member, address: sent to since the last route change
    for (size_t i = 0; i + 4 <= size; i += 4) {
        uint8_t op = data[i] % 3;
        uint32_t member = Address(data[i + 1]);
        uint16_t port = uint16_t(1 + data[i + 2] % 8);
        uint32_t to = Address(data[i + 3]);
        if (op == 0) {
            RememberExchange(memory, member, port, to);
            sent[member & 15][to & 15] = true;
        } else if (op == 1) {
            uint32_t seen = AddressSeenFor(memory, member, port);
            // As it arrives, as the member it is, or as the game sent to that member.
            uint32_t key = KnownMember(memory, member);
            bool sent_there = sent[member & 15][seen & 15] || (key && sent[key & 15][seen & 15]);
            if (seen != member && seen != key && !sent_there) __builtin_trap();
        } else {
            Route routes[16];
            size_t count = data[i + 1] % 17;
            for (size_t r = 0; r < count; ++r) {
                uint8_t target = data[(i + r) % size];
                routes[r] = {Address(uint8_t(r)), Address(target),
                             target & 1 ? kRouteStraight : kRouteThroughLauncher};
            }
            FollowRoutes(memory, routes, count);
            for (size_t e = 0; e < memory.count; ++e) {
                const RememberedExchange& x = memory.entries[e];
                const Route* route = FindRoute(routes, count, x.sent_to);
                bool key_routed = false;
                for (size_t r = 0; r < count; ++r) key_routed |= routes[r].target == x.member;
                bool reaches =
                    x.sent_to == x.member ? key_routed : route && route->target == x.member;
                if (!reaches) __builtin_trap();
            }
        }
        CheckTable(memory);
    }
    return 0;
}
