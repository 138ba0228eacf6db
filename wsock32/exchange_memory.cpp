#include "wsock32/exchange_memory.h"

namespace ozlan {
namespace {

RememberedExchange* Find(ExchangeMemory& memory, uint32_t member, uint16_t port) {
    for (size_t i = 0; i < memory.count; ++i) {
        RememberedExchange& e = memory.entries[i];
        if (e.member == member && e.port == port) return &e;
    }
    return nullptr;
}

void Write(ExchangeMemory& memory, uint32_t member, uint16_t port, uint32_t sent_to) {
    RememberedExchange* e = Find(memory, member, port);
    if (!e && memory.count < kMaxRememberedExchanges) e = &memory.entries[memory.count++];
    if (!e) {
        e = &memory.entries[0];
        for (size_t i = 1; i < memory.count; ++i) {
            if (memory.entries[i].used < e->used) e = &memory.entries[i];
        }
    }
    *e = {member, port, sent_to, ++memory.clock};
}

// Whether an address still reaches the member known by `member`: it is the key itself,
// or a route leads from it to there.
bool StillReaches(uint32_t address, uint32_t member, const Route* routes, size_t count) {
    if (address == member) {
        for (size_t i = 0; i < count; ++i) {
            if (routes[i].target == member) return true;
        }
        return false;
    }
    const Route* route = FindRoute(routes, count, address);
    return route && route->target == member;
}

// The index of `from` among the known addresses; known_count for none.
size_t KnownIndex(const ExchangeMemory& memory, uint32_t from) {
    size_t i = 0;
    while (i < memory.known_count && memory.known[i].from != from) ++i;
    return i;
}

const KnownAddress* FindKnown(const ExchangeMemory& memory, uint32_t from) {
    size_t i = KnownIndex(memory, from);
    return i < memory.known_count ? &memory.known[i] : nullptr;
}

}  // namespace

void RememberExchange(ExchangeMemory& memory, uint32_t member, uint16_t port, uint32_t sent_to) {
    Write(memory, member, port, sent_to);
    // The member's other ports (one it moves the game to) answer as from this address too.
    Write(memory, member, 0, sent_to);
}

uint32_t AddressSeenFor(ExchangeMemory& memory, uint32_t source, uint16_t port) {
    const KnownAddress* known = FindKnown(memory, source);
    uint32_t member = known ? known->member : source;
    RememberedExchange* e = Find(memory, member, port);
    if (!e) e = Find(memory, member, 0);
    if (e) {
        e->used = ++memory.clock;
        return e->sent_to;
    }
    return member;
}

uint32_t KnownMember(const ExchangeMemory& memory, uint32_t ip) {
    if (const KnownAddress* known = FindKnown(memory, ip)) return known->member;
    for (size_t i = 0; i < memory.count; ++i) {
        if (memory.entries[i].member == ip) return ip;
    }
    return 0;
}

void FollowRoutes(ExchangeMemory& memory, const Route* routes, size_t route_count) {
    memory.known_count = 0;
    auto learn = [&](uint32_t from, uint32_t member) {
        size_t i = KnownIndex(memory, from);
        if (i == kMaxRoutes) return;
        if (i == memory.known_count) ++memory.known_count;
        memory.known[i] = {from, member};
    };
    for (size_t i = 0; i < route_count; ++i) {
        const Route& r = routes[i];
        learn(r.target, r.target);
        if (r.kind == kRouteThroughLauncher && r.match != r.target) learn(r.match, r.target);
    }
    size_t kept = 0;
    for (size_t i = 0; i < memory.count; ++i) {
        const RememberedExchange& e = memory.entries[i];
        if (StillReaches(e.sent_to, e.member, routes, route_count)) memory.entries[kept++] = e;
    }
    memory.count = kept;
}

}  // namespace ozlan
