// connect_flood RELAY-IP PORT COUNT SOURCE-PREFIX: sends COUNT connect messages to the
// relay service from random forged sources in SOURCE-PREFIX/16 (a raw socket, needs
// root), as fast as it can; then, as `connect_flood --session RELAY-IP PORT`, plays two
// launchers of one session from this host's own address and tells whether their
// broadcasts got through. bench/relay-flood runs both around a relay it watches.
// `connect_flood --forge RELAY-IP PORT COUNT SOURCE SESSION` sends, from the one forged
// SOURCE, COUNT rounds of a connect, a join of SESSION and a relay message, 10 ms apart:
// what a reflection attack on SOURCE would send (scripts/e2e checks what SOURCE gets).
#include <arpa/inet.h>
#include <netinet/ip.h>
#include <netinet/udp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>

#include "protocol/wire.h"
#include "transport/transport.h"

using namespace ozlan;
using Clock = std::chrono::steady_clock;

namespace {

// Sends one UDP datagram with a forged source address through the raw socket.
bool SendForged(int raw, const in_addr& relay, uint16_t port, uint32_t source_ip,
                uint16_t source_port, const uint8_t* payload, size_t size) {
    uint8_t packet[sizeof(iphdr) + sizeof(udphdr) + 2200] = {};
    auto* ip = reinterpret_cast<iphdr*>(packet);
    auto* udp = reinterpret_cast<udphdr*>(packet + sizeof(iphdr));
    ip->version = 4;
    ip->ihl = 5;
    ip->ttl = 64;
    ip->protocol = IPPROTO_UDP;
    ip->saddr = source_ip;
    ip->daddr = relay.s_addr;
    udp->source = htons(source_port);
    udp->dest = htons(port);
    udp->len = htons(uint16_t(sizeof(udphdr) + size));
    std::memcpy(packet + sizeof(iphdr) + sizeof(udphdr), payload, size);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr = relay;
    return sendto(raw, packet, sizeof(iphdr) + sizeof(udphdr) + size, 0,
                  reinterpret_cast<sockaddr*>(&to), sizeof to) > 0;
}

// A connect message (header and body) from `source_port` naming `connection_id`.
void WriteConnect(uint8_t* out, uint32_t id, const char* relay_ip, uint16_t source_port,
                  int32_t connection_id) {
    ConnectBody body;
    std::strcpy(body.host, relay_ip);
    body.port = source_port;
    body.connection_id = connection_id;
    WriteHeader(out, MessageHeader{id, MSG_CONNECT, 1, 1, uint16_t(kConnectBodySize)});
    WriteConnectBody(out + kHeaderSize, body);
}

int Forge(const char* relay_ip, uint16_t port, long count, const char* source,
          const char* session) {
    int raw = socket(AF_INET, SOCK_RAW, IPPROTO_RAW);
    if (raw < 0) {
        std::perror("connect_flood: raw socket (needs root)");
        return 1;
    }
    in_addr relay{}, from{};
    inet_pton(AF_INET, relay_ip, &relay);
    inet_pton(AF_INET, source, &from);
    uint8_t connect[kHeaderSize + kConnectBodySize];
    uint8_t join[kHeaderSize + kJoinMessageSize];
    uint8_t relayed[kHeaderSize + kRelayHeaderSize + kLinkHeaderSize + 64];
    for (long i = 0; i < count; ++i) {
        uint16_t source_port = uint16_t(20000 + i);
        WriteConnect(connect, uint32_t(3 * i + 1), relay_ip, source_port, int32_t(i + 1));
        SendForged(raw, relay, port, from.s_addr, source_port, connect, sizeof connect);
        WriteHeader(join, MessageHeader{uint32_t(3 * i + 2), uint16_t(kJoinMessageType), 1, 1,
                                        uint16_t(kJoinMessageSize)});
        WriteJoinMessage(join + kHeaderSize, session);
        SendForged(raw, relay, port, from.s_addr, source_port, join, sizeof join);
        size_t link = kLinkHeaderSize + 64;
        WriteHeader(relayed, MessageHeader{uint32_t(3 * i + 3), uint16_t(kRelayMessageType), 1, 1,
                                           uint16_t(kRelayHeaderSize + link)});
        WriteRelayHeader(relayed + kHeaderSize, session, uint32_t(link));
        WriteLinkHeader(relayed + kHeaderSize + kRelayHeaderSize, 4000);
        SendForged(raw, relay, port, from.s_addr, source_port, relayed, sizeof relayed);
        usleep(10000);
    }
    std::printf("forge: %ld rounds of connect, join and relay message as %s\n", count, source);
    close(raw);
    return 0;
}

int Flood(const char* relay_ip, uint16_t port, long count, const char* prefix) {
    int raw = socket(AF_INET, SOCK_RAW, IPPROTO_RAW);
    if (raw < 0) {
        std::perror("connect_flood: raw socket (needs root)");
        return 1;
    }
    in_addr relay{}, base{};
    inet_pton(AF_INET, relay_ip, &relay);
    inet_pton(AF_INET, prefix, &base);
    std::mt19937 random(12345);
    uint8_t connect[kHeaderSize + kConnectBodySize];
    auto start = Clock::now();
    long sent = 0;
    for (long i = 0; i < count; ++i) {
        uint32_t r = random();
        uint32_t source = htonl(ntohl(base.s_addr) | (r & 0xFFFF));
        uint16_t source_port = uint16_t(1024 + (r >> 17) % 60000);
        WriteConnect(connect, uint32_t(i + 1), relay_ip, source_port,
                     int32_t(1 + (random() & 0x7FFFFFFF) % 1000000));
        sent += SendForged(raw, relay, port, source, source_port, connect, sizeof connect);
    }
    double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    std::printf("flood: %ld connects from random sources in %s/16 in %.1f s (%.0f per second)\n",
                sent, prefix, seconds, double(sent) / seconds);
    close(raw);
    return 0;
}

int g_received = 0;
bool g_connected[8];
void OnMessage(const uint8_t*, int32_t, int32_t type, int32_t, void*) {
    if (uint32_t(type) == kRelayMessageType) ++g_received;
}
void OnConnected(int32_t id, int32_t, void*) {
    g_connected[id] = true;
}

template <class Done>
bool PumpUntil(Done done, int ms) {
    auto end = Clock::now() + std::chrono::milliseconds(ms);
    while (!done()) {
        if (Clock::now() > end) return false;
        TransportThink(0);
        usleep(1000);
    }
    return true;
}

// Two launchers join one session; the first sends ten broadcasts.
int Session(const char* relay_ip, uint16_t port) {
    SetTransportLogSink(nullptr);
    int32_t links[2];
    for (int32_t& id : links) {
        id = Connect(CreateEndpoint(0), relay_ip, port);
        SetDefaultHandler(id, OnMessage);
        SetEventCallback(id, EVENT_CONNECTED, OnConnected);
    }
    if (!PumpUntil([&] { return g_connected[links[0]] && g_connected[links[1]]; }, 5000)) {
        std::printf("session: the relay service did not confirm both launchers\n");
        return 1;
    }
    uint8_t join[kJoinMessageSize];
    WriteJoinMessage(join, "after-flood");
    for (int32_t id : links) TransportSend(id, join, int32_t(sizeof join), kJoinMessageType);
    PumpUntil([] { return false; }, 300);
    uint8_t message[kRelayHeaderSize + kLinkHeaderSize + 4];
    WriteRelayHeader(message, "after-flood", uint32_t(kLinkHeaderSize + 4));
    WriteLinkHeader(message + kRelayHeaderSize, 4000);
    for (int i = 0; i < 10; ++i) {
        TransportSend(links[0], message, int32_t(sizeof message), kRelayMessageType);
    }
    PumpUntil([] { return g_received >= 10; }, 5000);
    std::printf("session: %d of 10 broadcasts reached the other launcher\n", g_received);
    return g_received == 10 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 4 && std::string(argv[1]) == "--session") {
        return Session(argv[2], uint16_t(std::atoi(argv[3])));
    }
    if (argc == 7 && std::string(argv[1]) == "--forge") {
        return Forge(argv[2], uint16_t(std::atoi(argv[3])), std::atol(argv[4]), argv[5], argv[6]);
    }
    if (argc != 5) {
        std::fprintf(stderr,
                     "usage: connect_flood RELAY-IP PORT COUNT SOURCE-PREFIX\n"
                     "       connect_flood --session RELAY-IP PORT\n");
        return 2;
    }
    return Flood(argv[1], uint16_t(std::atoi(argv[2])), std::atol(argv[3]), argv[4]);
}
