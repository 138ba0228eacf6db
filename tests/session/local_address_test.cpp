#include <gtest/gtest.h>

#include <vector>

#include "session/session.h"

namespace ozlan {
namespace {

std::string Pick(std::vector<std::vector<uint8_t>> list, const char* host = "myhost") {
    std::vector<const uint8_t*> pointers;
    for (auto& a : list) pointers.push_back(a.data());
    pointers.push_back(nullptr);
    char text[kLocalAddressSize];
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

}  // namespace
}  // namespace ozlan
