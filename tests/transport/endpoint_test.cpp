// Endpoints, Connect, callbacks and the last-error code.
#include <string>

#include "tests/support/transport_fixture.h"

namespace ozlan::test {
namespace {

TEST_F(TransportTest, EndpointOnPortZeroHoldsTheChosenPortAndAnnouncesIt) {
    Endpoint* ep = CreateEndpoint(0);
    ASSERT_NE(nullptr, ep);
    EXPECT_NE(0, ep->local_port);
    RawPeer peer;
    int32_t id = Connect(ep, "127.0.0.1", peer.port());
    EXPECT_EQ(1, id);
    TransportThink(0);
    Datagram d;
    ASSERT_TRUE(peer.Receive(&d));
    EXPECT_EQ(MSG_CONNECT, d.header.type);
    EXPECT_EQ(1u, d.header.id);
    ASSERT_EQ(kConnectBodySize, d.payload.size());
    EXPECT_EQ(ep->local_port, GetU16(d.payload.data() + 66));
    EXPECT_STREQ("127.0.0.1", reinterpret_cast<const char*>(d.payload.data() + 2));
    EXPECT_EQ(1, GetI32(d.payload.data() + 68));
    EXPECT_EQ(HostPort(d.from), ep->local_port);
}

TEST_F(TransportTest, BindingABusyPortFailsWithMinusFourAndListsNothing) {
    Endpoint* first = CreateEndpoint(0);
    ASSERT_NE(nullptr, first);
    EXPECT_EQ(nullptr, CreateEndpoint(first->local_port));
    EXPECT_EQ(TRANSPORT_ERR_BIND, TransportLastError());
    EXPECT_STREQ("[-4] unable to bind to socket", TransportErrorText(TransportLastError()));
}

TEST_F(TransportTest, ConnectArgumentErrors) {
    Endpoint* ep = CreateEndpoint(0);
    EXPECT_EQ(0, Connect(ep, "127.0.0.1", 0));
    EXPECT_EQ(TRANSPORT_ERR_ARGUMENTS, TransportLastError());
    EXPECT_TRUE(LogCapture::lines.empty());  // port 0 fails before the log line
    EXPECT_EQ(0, Connect(ep, nullptr, 5000));

    Endpoint stranger;
    EXPECT_EQ(0, Connect(&stranger, "127.0.0.1", 5000, 0));
    EXPECT_EQ(TRANSPORT_ERR_ARGUMENTS, TransportLastError());
    EXPECT_EQ(std::vector<std::string>{"Connect() 127.0.0.1:5000 remote:0\n"}, LogCapture::lines);

    std::string host64(64, 'a');
    EXPECT_EQ(0, Connect(ep, host64.c_str(), 5000));
    EXPECT_EQ(TRANSPORT_ERR_ARGUMENTS, TransportLastError());
    // A failing Connect uses no id.
    EXPECT_EQ(1, Connect(ep, "127.0.0.1", 5000));
}

TEST_F(TransportTest, UnresolvableHostFailsWithMinusSevenAndKeepsIdSequence) {
    Endpoint* ep = CreateEndpoint(0);
    EXPECT_EQ(1, Connect(ep, "127.0.0.1", 5000));
    EXPECT_EQ(0, Connect(ep, "no-such-host.invalid", 5000));
    EXPECT_EQ(TRANSPORT_ERR_LOOKUP, TransportLastError());
    EXPECT_STREQ("[-7] unable to look up host name", TransportErrorText(TRANSPORT_ERR_LOOKUP));
    EXPECT_EQ(2, Connect(ep, "127.0.0.1", 5000));
    // Success leaves the code as it was.
    EXPECT_EQ(TRANSPORT_ERR_LOOKUP, TransportLastError());
}

TEST_F(TransportTest, TwoConnectsToOneAddressMakeTwoConnectionsAndTwoConnectMessages) {
    Endpoint* ep = CreateEndpoint(0);
    RawPeer peer;
    EXPECT_EQ(1, Connect(ep, "127.0.0.1", peer.port()));
    EXPECT_EQ(2, Connect(ep, "127.0.0.1", peer.port()));
    TransportThink(0);
    auto sent = peer.Drain();
    ASSERT_EQ(2u, sent.size());
    EXPECT_EQ(1, GetI32(sent[0].payload.data() + 68));
    EXPECT_EQ(2, GetI32(sent[1].payload.data() + 68));
    EXPECT_EQ(1u, sent[0].header.id);
    EXPECT_EQ(2u, sent[1].header.id);
}

int32_t g_events[8][3];
int g_event_count = 0;
void RecordEvent(int32_t id, int32_t event, void* zero) {
    g_events[g_event_count][0] = id;
    g_events[g_event_count][1] = event;
    g_events[g_event_count][2] = zero ? 1 : 0;
    ++g_event_count;
}

TEST_F(TransportTest, EventSlotsBeyondThreeAndUnknownIdsAreIgnored) {
    g_event_count = 0;
    RawPeer peer;
    Endpoint* ep = CreateEndpoint(0);
    int32_t id = Connect(ep, "127.0.0.1", peer.port());
    SetEventCallback(id, 4, RecordEvent);
    SetEventCallback(99, 0, RecordEvent);
    EXPECT_EQ(0, TransportLastError());
    TransportThink(0);
    Datagram connect;
    ASSERT_TRUE(peer.Receive(&connect));
    std::vector<uint8_t> confirm(8);
    PutU32(confirm.data(), uint32_t(id));
    PutU32(confirm.data() + 4, 5);
    peer.SendTo(ep->local_port, MakeDatagram(1, MSG_CONFIRM_CONNECT, 1, 1, confirm));
    ThinkWhenReadable(ep);
    EXPECT_EQ(0, g_event_count);

    // Registered now, a repeated confirmation reaches it as (id, 0, 0).
    SetEventCallback(id, EVENT_CONNECTED, RecordEvent);
    peer.SendTo(ep->local_port, MakeDatagram(2, MSG_CONFIRM_CONNECT, 1, 1, confirm));
    ThinkWhenReadable(ep);
    ASSERT_EQ(1, g_event_count);
    EXPECT_EQ(id, g_events[0][0]);
    EXPECT_EQ(EVENT_CONNECTED, g_events[0][1]);
    EXPECT_EQ(0, g_events[0][2]);
}

TEST_F(TransportTest, ErrorTextsAreTheTable) {
    EXPECT_STREQ("[ 0] no error", TransportErrorText(0));
    EXPECT_STREQ("[-1] no error", TransportErrorText(-1));
    EXPECT_STREQ("[-2] unable to load wsock32.dll", TransportErrorText(-2));
    EXPECT_STREQ("[-3] unable to aquire socket", TransportErrorText(-3));
    EXPECT_STREQ("[-5] unable to set socket to non-blocking", TransportErrorText(-5));
    EXPECT_STREQ("[-6] invalid arguments passed", TransportErrorText(-6));
    EXPECT_STREQ("[-8] the address does not exist", TransportErrorText(-8));
}

}  // namespace
}  // namespace ozlan::test
