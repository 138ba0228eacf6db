#include "relay/relay_state.h"

#include <cstring>

namespace ozlan::relay {

RelayState& Relay() {
    static RelayState state;
    return state;
}

int64_t ScaledNow() {
    return SystemNowMs() * Relay().config.clock_scale;
}

uint64_t AddressOf(const SocketAddress& a) {
    return (uint64_t(a.ip) << 16) | a.port;
}

uint32_t HostOrder(uint32_t ip_network_order) {
    const uint8_t* b = reinterpret_cast<const uint8_t*>(&ip_network_order);
    return (uint32_t(b[0]) << 24) | (uint32_t(b[1]) << 16) | (uint32_t(b[2]) << 8) | b[3];
}
uint32_t NetworkOrder(uint32_t ip_host_order) {
    uint8_t b[4] = {uint8_t(ip_host_order >> 24), uint8_t(ip_host_order >> 16),
                    uint8_t(ip_host_order >> 8), uint8_t(ip_host_order)};
    uint32_t ip;
    std::memcpy(&ip, b, 4);
    return ip;
}

}  // namespace ozlan::relay
