#include <cstdio>
#include <cstring>

#include "session/session.h"

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

}  // namespace ozlan
