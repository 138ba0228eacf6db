// A relay service that only counts: it accepts launchers' links on a UDP port and
// records which numbered relay messages arrived (the number is the first four
// payload bytes of the link message). A plain UDP control port beside it (port + 1)
// answers "reset" with "ok" and "count" with "RECEIVED DUPLICATES". launcher_bench
// uses it so that the launcher under test is the only program going through Wine.
#include <poll.h>
#include <sys/socket.h>
#include <netinet/in.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "protocol/wire.h"
#include "transport/transport.h"

namespace {

using namespace ozlan;

std::vector<uint8_t> g_seen(1 << 20);
int g_received = 0;
int g_duplicates = 0;

void OnRelayMessage(const uint8_t* data, int32_t length, int32_t type, int32_t, void*) {
    if (uint32_t(type) != kRelayMessageType || length < int32_t(kRelayHeaderSize + 16)) return;
    uint32_t seq;
    std::memcpy(&seq, data + kRelayHeaderSize + kLinkHeaderSize, 4);
    if (seq >= g_seen.size()) return;
    if (g_seen[seq]) {
        ++g_duplicates;
    } else {
        g_seen[seq] = 1;
        ++g_received;
    }
}
void OnAccept(int32_t id) {
    SetDefaultHandler(id, OnRelayMessage);
}

}  // namespace

int main(int argc, char** argv) {
    uint16_t port = uint16_t(argc > 1 ? std::atoi(argv[1]) : 3670);
    SetTransportLogSink(nullptr);
    SetAcceptCallback(OnAccept);
    Endpoint* endpoint = CreateEndpoint(port);
    int control = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    local.sin_port = htons(uint16_t(port + 1));
    if (!endpoint || bind(control, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) {
        std::fprintf(stderr, "relay_sink: cannot open ports %u and %u\n", unsigned(port),
                     unsigned(port + 1));
        return 1;
    }
    for (;;) {
        pollfd fds[2] = {{int(endpoint->socket), POLLIN, 0}, {control, POLLIN, 0}};
        poll(fds, 2, int(TransportNextDueMs(100)));
        TransportThink(0);
        if (!(fds[1].revents & POLLIN)) continue;
        char request[16] = {};
        sockaddr_in from{};
        socklen_t from_size = sizeof from;
        ssize_t got = recvfrom(control, request, sizeof request - 1, 0,
                               reinterpret_cast<sockaddr*>(&from), &from_size);
        if (got <= 0) continue;
        char answer[64];
        if (std::strncmp(request, "reset", 5) == 0) {
            std::fill(g_seen.begin(), g_seen.end(), 0);
            g_received = g_duplicates = 0;
            std::snprintf(answer, sizeof answer, "ok");
        } else {
            std::snprintf(answer, sizeof answer, "%d %d", g_received, g_duplicates);
        }
        sendto(control, answer, std::strlen(answer), 0, reinterpret_cast<sockaddr*>(&from),
               from_size);
    }
}
