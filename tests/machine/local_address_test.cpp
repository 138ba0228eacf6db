#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "machine/local_address.h"

namespace ozlan {
namespace {

std::string Pick(std::vector<std::vector<uint8_t>> list, const char* host = "myhost") {
    std::vector<const uint8_t*> pointers;
    for (auto& a : list) pointers.push_back(a.data());
    pointers.push_back(nullptr);
    char text[128];  // as large as the session library's
    std::snprintf(text, sizeof text, "%s", host);
    PickLocalAddress(pointers.data(), 4, text, sizeof text);
    return text;
}

TEST(LocalAddress, SkipsLoopbackPrivate192LinkLocalAndZero) {
    EXPECT_EQ("10.0.0.7", Pick({{127, 0, 0, 1}, {192, 168, 1, 5}, {10, 0, 0, 7}}));
    EXPECT_EQ("172.16.4.2", Pick({{169, 10, 0, 1}, {0, 1, 2, 3}, {172, 16, 4, 2}}));
    EXPECT_EQ("10.1.2.3", Pick({{192, 0, 2, 1}, {10, 1, 2, 3}, {11, 0, 0, 1}}));
    EXPECT_EQ("203.0.113.9", Pick({{203, 0, 113, 9}}));
}

TEST(LocalAddress, KeepsTheHostNameWhenNoneQualifies) {
    EXPECT_EQ("myhost", Pick({{192, 168, 1, 5}}));
    EXPECT_EQ("myhost", Pick({{127, 0, 0, 1}, {169, 254, 0, 1}}));
    EXPECT_EQ("myhost", Pick({}));
}

uint32_t Ip(uint8_t a, uint8_t b, uint8_t c, uint8_t d) {
    const uint8_t bytes[4] = {a, b, c, d};
    uint32_t ip;
    std::memcpy(&ip, bytes, 4);
    return ip;
}

TEST(LocalAddress, DirectedBroadcastsOfTheMachinesOwnNetworksOnly) {
    const OwnNetwork networks[] = {
        {Ip(127, 0, 0, 1), Ip(255, 0, 0, 0)},          // loopback: no LAN broadcast
        {Ip(192, 168, 1, 20), Ip(255, 255, 255, 0)},   // /24
        {Ip(10, 77, 2, 130), Ip(255, 255, 255, 128)},  // /25: broadcast .255 of its half
        {Ip(172, 16, 0, 1), Ip(255, 255, 255, 254)},   // /31: point to point
        {Ip(172, 17, 0, 1), Ip(255, 255, 255, 255)},   // /32
    };
    EXPECT_TRUE(IsDirectedBroadcast(Ip(192, 168, 1, 255), networks, 5));
    EXPECT_TRUE(IsDirectedBroadcast(Ip(10, 77, 2, 255), networks, 5));
    EXPECT_FALSE(IsDirectedBroadcast(Ip(10, 77, 2, 127), networks, 5));
    EXPECT_FALSE(IsDirectedBroadcast(Ip(192, 168, 2, 255), networks, 5));  // another network
    EXPECT_FALSE(IsDirectedBroadcast(Ip(192, 168, 1, 20), networks, 5));   // a host
    EXPECT_FALSE(IsDirectedBroadcast(Ip(127, 255, 255, 255), networks, 5));
    EXPECT_FALSE(IsDirectedBroadcast(Ip(172, 16, 0, 1), networks, 5));
    EXPECT_FALSE(IsDirectedBroadcast(Ip(172, 17, 0, 1), networks, 5));
    EXPECT_FALSE(IsDirectedBroadcast(Ip(192, 168, 1, 255), networks, 0));
}

}  // namespace
}  // namespace ozlan
