#include <enet/enet.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <thread>

#include "bench/process_figures.h"
#include "bench/relay_bench/rig.h"

using namespace ozlan;

namespace relay_bench {
namespace {

// The same relay written with ENet: its host on a thread forwards each reliable
// packet of one peer to every other peer; the sender and receivers are ENet hosts in
// this thread.
struct EnetRig : Rig {
    ENetHost* relay = nullptr;
    std::vector<ENetHost*> clients;  // [0] sends
    std::vector<ENetPeer*> peers;
    std::atomic<bool> stop{false};
    std::thread service;
    ~EnetRig() override {
        stop = true;
        if (service.joinable()) service.join();
        for (ENetHost* h : clients) enet_host_destroy(h);
        if (relay) enet_host_destroy(relay);
    }
};

void ServiceClient(ENetHost* host) {
    ENetEvent event;
    while (enet_host_service(host, &event, 0) > 0) {
        if (event.type == ENET_EVENT_TYPE_RECEIVE) {
            Received().Add(event.packet->data, event.packet->dataLength);
            enet_packet_destroy(event.packet);
        }
    }
}

}  // namespace

std::unique_ptr<Rig> MakeEnetRig(int receivers) {
    auto rig = std::make_unique<EnetRig>();
    EnetRig* r = rig.get();
    ENetAddress address{};
    enet_address_set_host(&address, "127.0.0.1");
    address.port = FreeUdpPort();
    r->relay = enet_host_create(&address, size_t(receivers) + 1, 1, 0, 0);
    r->service = std::thread([r] {
        std::vector<ENetPeer*> connected;
        ENetEvent event;
        while (!r->stop) {
            if (enet_host_service(r->relay, &event, 1) <= 0) continue;
            do {
                if (event.type == ENET_EVENT_TYPE_CONNECT) {
                    connected.push_back(event.peer);
                } else if (event.type == ENET_EVENT_TYPE_RECEIVE) {
                    ENetPacket* copy =
                        enet_packet_create(event.packet->data, event.packet->dataLength,
                                           Run().enet_unreliable ? ENET_PACKET_FLAG_UNSEQUENCED
                                                                 : ENET_PACKET_FLAG_RELIABLE);
                    bool sent = false;
                    for (ENetPeer* p : connected) {
                        if (p == event.peer) continue;
                        enet_peer_send(p, 0, copy);
                        sent = true;
                    }
                    if (!sent) enet_packet_destroy(copy);
                    enet_packet_destroy(event.packet);
                }
            } while (enet_host_check_events(r->relay, &event) > 0);
            enet_host_flush(r->relay);
        }
    });
    for (int i = 0; i <= receivers; ++i) {
        ENetHost* client = enet_host_create(nullptr, 1, 1, 0, 0);
        r->clients.push_back(client);
        r->peers.push_back(enet_host_connect(client, &address, 1, 0));
    }
    auto until = Clock::now() + std::chrono::seconds(5);
    while (Clock::now() < until && !std::all_of(r->peers.begin(), r->peers.end(), [](ENetPeer* p) {
               return p->state == ENET_PEER_STATE_CONNECTED;
           })) {
        for (ENetHost* h : r->clients) ServiceClient(h);
        usleep(1000);
    }
    rig->send = [r](const std::vector<uint8_t>& link) {
        enet_peer_send(r->peers[0], 0,
                       enet_packet_create(link.data(), link.size(),
                                          Run().enet_unreliable ? ENET_PACKET_FLAG_UNSEQUENCED
                                                                : ENET_PACKET_FLAG_RELIABLE));
    };
    rig->pump = [r] {
        enet_host_flush(r->clients[0]);
        for (ENetHost* h : r->clients) ServiceClient(h);
    };
    return rig;
}

}  // namespace relay_bench
