// A transport in its own process for the two-process test: connects to the address
// it is given and sends every user message back with the same type; type 99 ends it.
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "transport/transport.h"

using namespace ozlan;

namespace {
bool g_quit = false;
int32_t g_link = 0;
std::vector<std::pair<int32_t, std::vector<uint8_t>>> g_echo;

void Echo(const uint8_t* data, int32_t length, int32_t type, int32_t, void*) {
    if (type == 99) {
        g_quit = true;
        return;
    }
    g_echo.emplace_back(type, std::vector<uint8_t>(data, data + length));
}
}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: transport_echo_peer HOST PORT\n");
        return 2;
    }
    SetTransportLogSink(nullptr);
    Endpoint* ep = CreateEndpoint(0);
    if (!ep) return 3;
    g_link = Connect(ep, argv[1], uint16_t(std::atoi(argv[2])));
    if (!g_link) return 4;
    SetDefaultHandler(g_link, Echo);
    int64_t start = SystemNowMs();
    while (!g_quit && SystemNowMs() - start < 60000) {
        SocketWaitReadable(ep->socket, 10);
        TransportThink(0);
        for (auto& [type, data] : g_echo) {
            TransportSend(g_link, data.data(), int32_t(data.size()), uint32_t(type));
        }
        g_echo.clear();
    }
    // Let the acknowledgement of the quit message leave.
    TransportThink(0);
    return g_quit ? 0 : 5;
}
