// The stream messages' bytes on the wire, their boundaries and what a reader refuses,
// and the window arithmetic across the 2^32 wrap.
#include "protocol/stream_wire.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

namespace ozlan {
namespace {

std::string Hex(const uint8_t* p, size_t n) {
    std::string text;
    char two[3];
    for (size_t i = 0; i < n; ++i) {
        std::snprintf(two, sizeof two, "%02X", p[i]);
        text += two;
    }
    return text;
}

TEST(StreamWire, ExactBytesOfAnOpenAndOfData) {
    uint8_t out[kStreamMaxMessage];
    StreamHeader open;
    open.kind = StreamKind::Open;
    open.protocol = StreamProtocol::SpxPacket;
    open.id = 0x01020304;
    open.peer = 0x0514A8C0;  // 192.168.20.5 in network order
    open.port = 0x4E20;
    open.source_port = 0x1234;
    ASSERT_EQ(16u, WriteStreamMessage(out, open));
    EXPECT_EQ("0103000004030201C0A81405204E3412", Hex(out, 16));

    StreamHeader data;
    data.kind = StreamKind::Data;
    data.from_acceptor = true;
    data.id = 7;
    data.peer = open.peer;
    data.count = 0xFFFFFFF0u;
    const uint8_t bytes[] = {'a', 'b', 'c'};
    ASSERT_EQ(19u, WriteStreamMessage(out, data, bytes, 3));
    EXPECT_EQ("8400000007000000C0A81405F0FFFFFF616263", Hex(out, 19));

    StreamHeader read;
    const uint8_t* got = nullptr;
    size_t got_size = 0;
    ASSERT_TRUE(ParseStreamMessage(out, 19, &read, &got, &got_size));
    EXPECT_EQ(StreamKind::Data, read.kind);
    EXPECT_TRUE(read.from_acceptor);
    EXPECT_EQ(7u, read.id);
    EXPECT_EQ(0xFFFFFFF0u, read.count);
    EXPECT_EQ("abc", std::string(reinterpret_cast<const char*>(got), got_size));

    StampStreamPeer(out, 0x0A0A0A0A);
    ASSERT_TRUE(ParseStreamMessage(out, 19, &read, &got, &got_size));
    EXPECT_EQ(0x0A0A0A0Au, read.peer);
}

TEST(StreamWire, DataFitsOneTransportMessageAndNoMore) {
    std::vector<uint8_t> out(kStreamMaxMessage + 1);
    std::vector<uint8_t> bytes(kStreamMaxData + 1, 'x');
    StreamHeader data;
    data.kind = StreamKind::Data;
    EXPECT_EQ(1400u, WriteStreamMessage(out.data(), data, bytes.data(), kStreamMaxData));
    EXPECT_EQ(0u, WriteStreamMessage(out.data(), data, bytes.data(), kStreamMaxData + 1));
    StreamHeader read;
    const uint8_t* got;
    size_t got_size;
    EXPECT_TRUE(ParseStreamMessage(out.data(), 1400, &read, &got, &got_size));
    EXPECT_EQ(kStreamMaxData, got_size);
    EXPECT_FALSE(ParseStreamMessage(out.data(), 1401, &read, &got, &got_size));
    // Only data carries bytes.
    StreamHeader credit;
    credit.kind = StreamKind::Credit;
    EXPECT_EQ(0u, WriteStreamMessage(out.data(), credit, bytes.data(), 1));
}

TEST(StreamWire, WhatIsNoStreamMessageIsRefusedAndSetsNothing) {
    uint8_t good[kStreamMaxMessage];
    StreamHeader open;
    open.port = 4000;
    ASSERT_EQ(16u, WriteStreamMessage(good, open));
    struct Case {
        const char* what;
        size_t at;
        uint8_t value;
        size_t size;
    } cases[] = {
        {"too short", 0, 0x01, 15},
        {"kind 0", 0, 0x00, 16},
        {"kind 8", 0, 0x08, 16},
        {"an open from the acceptor", 0, 0x81, 16},
        {"protocol 0", 1, 0x00, 16},
        {"protocol 4", 1, 0x04, 16},
        {"byte 2 set", 2, 0x01, 16},
        {"byte 3 set", 3, 0x80, 16},
        {"an open to port 0", 12, 0x00, 16},
        {"bytes after an open", 0, 0x01, 17},
    };
    for (const Case& c : cases) {
        uint8_t copy[kStreamMaxMessage] = {};
        std::memcpy(copy, good, 16);
        copy[c.at] = c.value;
        if (c.at == 12) copy[13] = 0;
        StreamHeader read;
        read.id = 99;
        const uint8_t* got = nullptr;
        size_t got_size = 77;
        EXPECT_FALSE(ParseStreamMessage(copy, c.size, &read, &got, &got_size)) << c.what;
        EXPECT_EQ(99u, read.id) << c.what;
        EXPECT_EQ(77u, got_size) << c.what;
    }
    // A protocol byte on anything but an open.
    StreamHeader reset;
    reset.kind = StreamKind::Reset;
    uint8_t message[kStreamMaxMessage];
    ASSERT_EQ(16u, WriteStreamMessage(message, reset));
    message[1] = 1;
    StreamHeader read;
    const uint8_t* got;
    size_t got_size;
    EXPECT_FALSE(ParseStreamMessage(message, 16, &read, &got, &got_size));
}

TEST(StreamWire, OfferAndWindowAcrossTheWrap) {
    uint8_t offer[kStreamOfferSize];
    WriteStreamOffer(offer, 65536, 16);
    EXPECT_EQ("0000010010000000", Hex(offer, 8));
    uint32_t window = 0, streams = 0;
    ASSERT_TRUE(ParseStreamOffer(offer, 8, &window, &streams));
    EXPECT_EQ(65536u, window);
    EXPECT_EQ(16u, streams);
    EXPECT_FALSE(ParseStreamOffer(offer, 7, &window, &streams));
    WriteStreamOffer(offer, 0, 16);
    EXPECT_FALSE(ParseStreamOffer(offer, 8, &window, &streams));

    EXPECT_EQ(65536u, StreamRoom(65536, 0, 0));
    EXPECT_EQ(1u, StreamRoom(65536, 65535, 0));
    EXPECT_EQ(0u, StreamRoom(65536, 65536, 0));
    // Offsets wrap: 16 bytes sent past 2^32, 8 of them taken.
    EXPECT_EQ(65536u - 8, StreamRoom(65536, 0x10, 0x08));
    EXPECT_EQ(65536u - 24, StreamRoom(65536, 0x10, 0xFFFFFFF8u));
    // A credit for bytes never sent grants nothing.
    EXPECT_EQ(0u, StreamRoom(65536, 100, 200));
}

}  // namespace
}  // namespace ozlan
