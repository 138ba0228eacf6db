// The relay service's test rig: the relay as a real process, launchers made of
// transports in the test, what each link received, and the messages they send.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <map>
#include <thread>
#include <vector>

#include "protocol/stream_wire.h"
#include "protocol/wire.h"
#include "tests/support/relay_process.h"
#include "tests/support/transport_harness.h"

namespace ozlan::test {

inline std::map<int32_t, std::vector<std::vector<uint8_t>>> g_inbox;
inline std::map<int32_t, bool> g_connected;

// Address messages and relayed game datagrams, by receiving link.
inline std::map<int32_t, std::vector<std::vector<uint8_t>>> g_addresses, g_directs;
// Join answers, by receiving link.
inline std::map<int32_t, std::vector<int>> g_answers;
// The relay's answers to joins that asked for bundles, by receiving link.
inline std::map<int32_t, int> g_bundle_answers;
// Member tables and member lists, by receiving link.
inline std::map<int32_t, std::vector<std::vector<uint8_t>>> g_tables, g_lists;
// Stream offers and stream messages, by receiving link.
inline std::map<int32_t, std::vector<std::vector<uint8_t>>> g_offers, g_streams;

inline void Inbox(const uint8_t* data, int32_t length, int32_t type, int32_t id, void*) {
    if (type == int32_t(kRelayMessageType)) g_inbox[id].emplace_back(data, data + length);
    if (type == int32_t(kAddressMessageType)) g_addresses[id].emplace_back(data, data + length);
    if (type == int32_t(kDirectMessageType)) g_directs[id].emplace_back(data, data + length);
    if (type == int32_t(kJoinAnswerType) && length == 1) g_answers[id].push_back(data[0]);
    if (type == int32_t(kJoinAnswerType) && length == 2) {
        g_answers[id].push_back(data[0] << 8 | data[1]);  // too many tries, and the seconds
    }
    if (type == int32_t(kMembersMessageType)) g_tables[id].emplace_back(data, data + length);
    if (type == int32_t(kMemberListType)) g_lists[id].emplace_back(data, data + length);
    if (type == int32_t(kStreamOfferType)) g_offers[id].emplace_back(data, data + length);
    if (type == int32_t(kStreamMessageType)) g_streams[id].emplace_back(data, data + length);
    if (type == int32_t(kBundlesType)) {
        ++g_bundle_answers[id];
        SetConnectionBundles(id, true);  // as a launcher that asked does
    }
}
inline void Connected(int32_t id, int32_t, void*) {
    g_connected[id] = true;
}

inline void PumpFor(int ms) {
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (std::chrono::steady_clock::now() < end) {
        TransportThink(0);
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

template <class Done>
inline bool PumpUntil(Done done, int ms = 3000) {
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (!done()) {
        if (std::chrono::steady_clock::now() > end) return false;
        TransportThink(0);
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

inline std::vector<uint8_t> JoinMessage(const char* name, uint32_t flags = 0) {
    std::vector<uint8_t> m(kJoinMessageSize);
    WriteJoinMessage(m.data(), name, flags);
    return m;
}

inline std::vector<uint8_t> LinkMessage(uint16_t port, const std::vector<uint8_t>& ip,
                                        const std::vector<uint8_t>& payload) {
    uint8_t header[kLinkHeaderSize];
    WriteLinkHeader(header, port);
    std::memcpy(header + kLinkAddressOffset, ip.data(), 4);
    std::vector<uint8_t> m(header, header + kLinkHeaderSize);
    for (uint8_t b : payload) m.push_back(b);
    return m;
}

inline std::vector<uint8_t> RelayMessage(const char* session, const std::vector<uint8_t>& link,
                                         uint32_t flags = 0) {
    uint8_t header[kRelayHeaderSize];
    WriteRelayHeader(header, session, uint32_t(link.size()), flags);
    std::vector<uint8_t> m(header, header + kRelayHeaderSize);
    for (uint8_t b : link) m.push_back(b);
    return m;
}

class RelayServiceTest : public ::testing::Test {
  protected:
    void SetUp() override {
        TransportReset();
        SetTransportLogSink(nullptr);
        g_inbox.clear();
        g_connected.clear();
        g_addresses.clear();
        g_directs.clear();
        g_answers.clear();
        g_tables.clear();
        g_lists.clear();
        g_bundle_answers.clear();
        g_offers.clear();
        g_streams.clear();
    }
    void TearDown() override { TransportReset(); }

    // A launcher on its own endpoint (bound to `ip`, so the relay sees that source),
    // connected to the relay and joined to `session` unless it is null.
    int32_t Launcher(const RelayProcess& relay, const char* session, const char* ip = "127.0.0.2") {
        uint32_t bind_ip = 0;
        ResolveIPv4(ip, &bind_ip);
        Endpoint* ep = CreateEndpoint(0, bind_ip);
        int32_t id = Connect(ep, "127.0.0.1", relay.port());
        SetDefaultHandler(id, Inbox);
        SetEventCallback(id, EVENT_CONNECTED, Connected);
        EXPECT_TRUE(PumpUntil([&] { return g_connected[id]; })) << "no confirmation";
        if (session) Send(id, kJoinMessageType, JoinMessage(session));
        return id;
    }
    // A launcher that takes relayed traffic: joined with the flag, told its relayed
    // address, and telling its own (`own`, as its machine has it).
    int32_t RelayingLauncher(const RelayProcess& relay, const char* session, const char* ip,
                             const std::vector<uint8_t>& own, uint32_t* relayed,
                             uint32_t more_flags = 0) {
        int32_t id = Launcher(relay, nullptr, ip);
        Send(id, kJoinMessageType, JoinMessage(session, kJoinFlagRelayedTraffic | more_flags));
        EXPECT_TRUE(PumpUntil([&] { return !g_addresses[id].empty(); })) << "no address";
        if (g_addresses[id].empty()) return id;
        std::memcpy(relayed, g_addresses[id][0].data(), 4);
        Send(id, kAddressMessageType, own);
        return id;
    }
    void Send(int32_t id, uint32_t type, const std::vector<uint8_t>& body) {
        TransportSend(id, body.data(), int32_t(body.size()), type);
        PumpUntil([&] { return TransportPendingCount(id) == 0; });
    }
};

inline std::vector<uint8_t> Bytes(uint32_t ip_network_order) {
    const uint8_t* b = reinterpret_cast<const uint8_t*>(&ip_network_order);
    return {b[0], b[1], b[2], b[3]};
}

}  // namespace ozlan::test
