// Test fixture that gives each test a fresh transport with a fake clock and
// captured diagnostic lines.
#pragma once

#include <gtest/gtest.h>

#include "tests/support/transport_harness.h"

namespace ozlan::test {

class TransportTest : public ::testing::Test {
  protected:
    void SetUp() override {
        TransportReset();
        LogCapture::Install();
        FakeClock::Install();
    }
    void TearDown() override {
        TransportReset();
        SetTransportClock(nullptr, nullptr);
        SetTransportLogSink(nullptr);
    }

    // Runs one pass as soon as the endpoint has something to read.
    static void ThinkWhenReadable(Endpoint* ep, int timeout_ms = 2000) {
        SocketWaitReadable(ep->socket, timeout_ms);
        TransportThink(0);
    }

    // An endpoint with a confirmed connection to `peer` (the peer's id is
    // `peer_id`); everything the handshake sent to the peer is read off.
    int32_t ConnectedTo(RawPeer& peer, Endpoint** ep, int32_t peer_id = 77) {
        *ep = CreateEndpoint(0);
        int32_t id = Connect(*ep, "127.0.0.1", peer.port());
        TransportThink(0);
        Datagram connect;
        EXPECT_TRUE(peer.Receive(&connect));
        std::vector<uint8_t> confirm(8);
        PutU32(confirm.data(), uint32_t(id));
        PutU32(confirm.data() + 4, uint32_t(peer_id));
        peer.SendTo((*ep)->local_port, MakeDatagram(9000, MSG_CONFIRM_CONNECT, 1, 1, confirm));
        ThinkWhenReadable(*ep);
        // Acknowledge the connect so nothing is resent later.
        std::vector<uint8_t> ack(8);
        WriteAckBody(ack.data(), connect.header.id, MSG_CONNECT, 1);
        peer.SendTo((*ep)->local_port, MakeDatagram(9001, MSG_ACK, 1, 1, ack));
        ThinkWhenReadable(*ep);
        peer.Drain(50);
        LogCapture::lines.clear();
        return id;
    }
};

}  // namespace ozlan::test
