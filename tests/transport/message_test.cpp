#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "transport/message.h"

namespace ozlan {
namespace {

TEST(MessageFormat, HeaderIsLittleEndianInFieldOrder) {
    uint8_t out[kHeaderSize];
    WriteHeader(out, MessageHeader{0x04030201, 0x7E90, 2, 3, 1400});
    const uint8_t expected[] = {0x01, 0x02, 0x03, 0x04, 0x90, 0x7E,
                                0x02, 0x00, 0x03, 0x00, 0x78, 0x05};
    EXPECT_EQ(0, std::memcmp(out, expected, sizeof expected));
    MessageHeader back;
    std::vector<uint8_t> datagram(out, out + kHeaderSize);
    datagram.resize(kHeaderSize + 1400);
    ASSERT_TRUE(ParseHeader(datagram.data(), datagram.size(), &back));
    EXPECT_EQ(0x04030201u, back.id);
    EXPECT_EQ(MSG_CONNECT, back.type);
    EXPECT_EQ(2, back.seq);
    EXPECT_EQ(3, back.total);
    EXPECT_EQ(1400, back.len);
}

TEST(MessageFormat, ShortOrOverlongDatagramsAreNotMessages) {
    std::vector<uint8_t> d(kHeaderSize + 10);
    WriteHeader(d.data(), MessageHeader{1, 8, 1, 1, 10});
    MessageHeader h;
    EXPECT_TRUE(ParseHeader(d.data(), d.size(), &h));
    EXPECT_FALSE(ParseHeader(d.data(), d.size() - 1, &h));  // len claims one byte more
    EXPECT_FALSE(ParseHeader(d.data(), 11, &h));
    EXPECT_FALSE(ParseHeader(d.data(), 0, &h));
}

TEST(MessageFormat, FragmentCountEndsInEmptyFragmentOnExactMultiples) {
    EXPECT_EQ(1u, FragmentCount(0));
    EXPECT_EQ(1u, FragmentCount(1399));
    EXPECT_EQ(2u, FragmentCount(1400));
    EXPECT_EQ(3u, FragmentCount(3000));
    EXPECT_EQ(3u, FragmentCount(2800));
}

TEST(MessageFormat, ConnectBodyBytes) {
    ConnectBody body;
    std::strcpy(body.host, "10.0.0.5");
    body.port = 700;
    body.connection_id = 1;
    uint8_t out[kConnectBodySize];
    WriteConnectBody(out, body);
    EXPECT_EQ(0x00, out[0]);
    EXPECT_EQ(0x02, out[1]);
    EXPECT_EQ(0, std::memcmp(out + 2, "10.0.0.5", 9));  // with its NUL
    EXPECT_EQ(0xBC, out[66]);
    EXPECT_EQ(0x02, out[67]);
    const uint8_t id[] = {0x01, 0x00, 0x00, 0x00};
    EXPECT_EQ(0, std::memcmp(out + 68, id, 4));

    ConnectBody back = ReadConnectBody(out);
    EXPECT_STREQ("10.0.0.5", back.host);
    EXPECT_EQ(700, back.port);
    EXPECT_EQ(1, back.connection_id);
}

TEST(MessageFormat, UnterminatedHostIsCutAtItsField) {
    uint8_t body[kConnectBodySize];
    std::memset(body, 'x', sizeof body);
    ConnectBody back = ReadConnectBody(body);
    EXPECT_EQ(63u, std::strlen(back.host));
}

TEST(MessageFormat, AckBodyCarriesIdTypeAndFragment) {
    uint8_t out[kAckBodySize];
    WriteAckBody(out, 5, MSG_CONFIRM_CONNECT, 2);
    const uint8_t expected[] = {0x05, 0x00, 0x00, 0x00, 0x92, 0x7E, 0x02, 0x00};
    EXPECT_EQ(0, std::memcmp(out, expected, sizeof expected));
}

}  // namespace
}  // namespace ozlan
