// Feeds the relay service's message handling with arbitrary joins, relay messages,
// address messages, networks and games' datagrams from four connected launchers, and whole
// datagrams from their addresses and from addresses without a link, and runs transport
// passes between them.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "relay/relay.h"
#include "protocol/wire.h"
#include "transport/state.h"

using namespace ozlan;

namespace {
int64_t g_now = 1000000;
int64_t FuzzNow() {
    return g_now;
}
void FuzzSleep(int ms) {
    g_now += ms;
}

struct Setup {
    int32_t links[4] = {};
    Setup() {
        RelayConfig config;
        config.port = 0;
        config.max_members = 3;
        config.max_sessions = 2;
        std::string error;
        if (!RelayStart(config, &error)) __builtin_trap();
        SetTransportClock(FuzzNow, FuzzSleep);
        Endpoint* ep = State().endpoints.front().get();
        for (int i = 0; i < 4; ++i) {
            // Launchers on ports nobody listens on: answers go nowhere.
            ConnectBody body;
            std::strcpy(body.host, "127.0.0.1");
            body.port = uint16_t(9001 + i);
            body.connection_id = i + 1;
            uint8_t datagram[kHeaderSize + kConnectBodySize];
            WriteHeader(datagram, MessageHeader{uint32_t(i + 1), MSG_CONNECT, 1, 1,
                                                uint16_t(kConnectBodySize)});
            WriteConnectBody(datagram + kHeaderSize, body);
            SocketAddress from;
            ResolveIPv4("127.0.0.1", &from.ip);
            from.port = uint16_t(((9001 + i) >> 8) | ((9001 + i) << 8));
            std::lock_guard guard(State().lock);
            HandleIncomingDatagram(ep, datagram, sizeof datagram, from);
            links[i] = State().next_connection_id - 1;
            // The launcher answers the confirmation: its link is verified.
            ApplyAcknowledgement(State().connections[links[i]]->confirm_id, 1);
        }
    }
};
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static Setup setup;
    while (size >= 3) {
        int32_t link = setup.links[data[0] % 4];
        // Joins, relay messages, address messages, games' datagrams, and other types.
        uint8_t t = data[1];
        int32_t type = t < 80 ? 0 : t < 180 ? 8 : t < 210 ? 9 : t < 225 ? 10 : t < 240 ? 14 : t;
        // Lengths in steps of 9, and the sizes of the joins (open and private), of the
        // own-address messages (first join and rejoin) and of networks messages, which
        // no step hits.
        size_t len = data[2] >= 250   ? kJoinMessageSize
                     : data[2] == 246 ? NetworksMessageSize(data[0] % (kMaxReportedNetworks + 1))
                     : data[2] == 249 ? kOwnAddressMessageSize
                     : data[2] == 248 ? kOwnAddressRejoinSize
                     : data[2] == 247 ? kPrivateJoinMessageSize
                                      : size_t(data[2]) * 9;
        len = std::min(len, size - 3);
        if (t >= 245) {
            // A whole datagram from a source that may have no link (a relay that
            // restarted hears these): notices, connects, replaced links.
            SocketAddress from;
            ResolveIPv4("127.0.0.1", &from.ip);
            uint16_t port = uint16_t(9001 + data[0] % 8);
            from.port = uint16_t((port >> 8) | (port << 8));
            std::lock_guard guard(State().lock);
            HandleIncomingDatagram(State().endpoints.front().get(), data + 3, len, from);
        } else {
            RelayOnUserMessage(data + 3, int32_t(len), type, link, nullptr);
        }
        data += 3 + len;
        size -= 3 + len;
    }
    g_now += 5000;
    TransportThink(0);
    return 0;
}
