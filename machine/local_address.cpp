#include <cstdio>
#include <cstring>

#include "machine/local_address.h"

namespace ozlan {

bool PickLocalAddress(const uint8_t* const* addresses, int length, char* out, size_t out_size) {
    for (; *addresses; ++addresses) {
        char dotted[64] = {};
        size_t used = 0;
        for (int i = 0; i < length && used < sizeof dotted; ++i) {
            used += size_t(std::snprintf(dotted + used, sizeof dotted - used, i ? ".%u" : "%u",
                                         unsigned((*addresses)[i])));
        }
        unsigned first = 0, b, c, d;
        if (std::sscanf(dotted, "%u.%u.%u.%u", &first, &b, &c, &d) < 1) continue;
        if (first == 127 || first == 192 || first == 169 || first == 0) continue;
        std::snprintf(out, out_size, "%s", dotted);
        return true;
    }
    return false;
}

bool IsDirectedBroadcast(uint32_t ip, const OwnNetwork* networks, int count) {
    for (int i = 0; i < count; ++i) {
        const uint8_t* first = reinterpret_cast<const uint8_t*>(&networks[i].ip);
        const uint8_t* m = reinterpret_cast<const uint8_t*>(&networks[i].mask);
        uint32_t prefix =
            (uint32_t(m[0]) << 24) | (uint32_t(m[1]) << 16) | (uint32_t(m[2]) << 8) | m[3];
        // /31 and /32 networks have no broadcast address; a mask of 0 is no network.
        if (first[0] == 127 || prefix == 0 || prefix >= 0xFFFFFFFEu) continue;
        if (ip == (networks[i].ip | ~networks[i].mask)) return true;
    }
    return false;
}

}  // namespace ozlan
