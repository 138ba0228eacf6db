// Feeds arbitrary datagrams to the transport's receive path, from the address of a
// connected peer, then runs the deliver and send steps: nothing may crash or read
// past the datagram.
#include <cstddef>
#include <cstdint>

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
void Sink(const uint8_t*, int32_t, int32_t, int32_t, void*) {}

struct Setup {
    Endpoint* endpoint = nullptr;
    SocketAddress peer;
    Setup() {
        SetTransportLogSink(nullptr);
        SetTransportClock(FuzzNow, FuzzSleep);
        endpoint = CreateEndpoint(0);
        // The peer is a port nobody listens on: answers go nowhere.
        int32_t id = Connect(endpoint, "127.0.0.1", 9);
        SetDefaultHandler(id, Sink);
        TransportConnectionInfo(id, &peer, nullptr, nullptr);
    }
};
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static Setup setup;
    // The first byte picks the source: the connected peer or a stranger.
    SocketAddress from = setup.peer;
    if (size > 0 && (data[0] & 1)) from.port ^= 0x0101;
    std::lock_guard guard(State().lock);
    HandleIncomingDatagram(setup.endpoint, data, size, from);
    g_now += 7000;  // let resends, time-outs and bucket expiry happen over the run
    TransportThink(0);
    return 0;
}
