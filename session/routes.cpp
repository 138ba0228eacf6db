#include "session/routes.h"

namespace ozlan {
namespace {

// How many members the relay sees at `ip` (several behind one router).
size_t SeenAt(const MemberAddresses* members, size_t count, uint32_t ip) {
    size_t n = 0;
    for (size_t i = 0; i < count; ++i) n += members[i].seen == ip;
    return n;
}

}  // namespace

size_t BuildRoutes(const MemberAddresses* members, size_t count, Route* out, size_t capacity) {
    size_t n = 0;
    auto add = [&](uint32_t match, uint32_t target, RouteKind kind) {
        if (n == capacity || !IsUnicastAddress(match) || !IsUnicastAddress(target) ||
            FindRoute(out, n, match)) {
            return;
        }
        out[n++] = {match, target, kind};
    };
    for (size_t i = 0; i < count; ++i) {
        const MemberAddresses& m = members[i];
        if (m.flags & kMemberThroughRelay) {
            add(m.relayed, m.relayed, kRouteThroughLauncher);
            if (m.own != 0 && m.own == m.seen) add(m.own, m.relayed, kRouteThroughLauncher);
            if (SeenAt(members, count, m.seen) == 1) add(m.seen, m.relayed, kRouteThroughLauncher);
        } else if (m.flags & kMemberSameRouter) {
            add(m.relayed, m.own, kRouteStraight);
        } else {
            add(m.relayed, m.seen, kRouteStraight);
        }
    }
    return n;
}

}  // namespace ozlan
