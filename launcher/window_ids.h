// The players' window's class and control ids, which its test drives it by.
#pragma once

namespace ozlan {

constexpr const char* kWindowClass = "OZLANLaunchWindow";
constexpr int kIdGame = 101;
constexpr int kIdBrowse = 102;
constexpr int kIdArguments = 103;
constexpr int kIdRelay = 104;
constexpr int kIdSession = 105;
constexpr int kIdPassword = 106;
constexpr int kIdName = 107;
constexpr int kIdInside = 108;
constexpr int kIdPlay = 110;
constexpr int kIdStatus = 120;
constexpr int kIdMembers = 121;

}  // namespace ozlan
