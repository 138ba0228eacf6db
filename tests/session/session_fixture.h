// OZLAN.dll loaded for real, against a peer in the test: the library in a folder of its
// own with a stand-in proxy, a game folder, and a transport that plays the relay.
#pragma once

#include <gtest/gtest.h>
#include <winsock2.h>
#include <windows.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#include "session/ozlan.h"
#include "session/session.h"
#include "tests/support/transport_harness.h"
#include "protocol/wire.h"

namespace ozlan::test {

inline constexpr char kFakeProxy[] = "stand-in for ozws.dll";

inline std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}
inline void WriteFile(const std::string& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
}
inline bool Exists(const std::string& path) {
    return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

// A fresh folder under the temporary folder, removed with its files afterwards.
inline std::string MakeFolder(const char* tag) {
    char temp[MAX_PATH];
    GetTempPathA(MAX_PATH, temp);
    std::string path =
        std::string(temp) + "ozlan-" + tag + "-" + std::to_string(GetCurrentProcessId());
    CreateDirectoryA(path.c_str(), nullptr);
    return path;
}

// GetProcAddress's result as the function type it really has.
template <class F>
inline F Bind(HMODULE module, const char* name) {
    return reinterpret_cast<F>(reinterpret_cast<void*>(GetProcAddress(module, name)));
}
inline void* Address(HMODULE module, const char* name) {
    return reinterpret_cast<void*>(GetProcAddress(module, name));
}

struct Received {
    int32_t type;
    std::vector<uint8_t> data;
};
inline std::vector<Received> g_peer_inbox;
// The networks messages that came before joins, kept apart from the rest.
inline std::vector<std::vector<uint8_t>> g_peer_networks;
inline int32_t g_peer_link = 0;
inline void PeerInbox(const uint8_t* data, int32_t length, int32_t type, int32_t, void*) {
    if (type == int32_t(kNetworksMessageType)) {
        // Always before the join it belongs to.
        bool join_came = std::any_of(g_peer_inbox.begin(), g_peer_inbox.end(),
                                     [](const Received& r) { return r.type == 0; });
        EXPECT_FALSE(join_came && g_peer_networks.empty());
        g_peer_networks.emplace_back(data, data + length);
        return;
    }
    g_peer_inbox.push_back({type, std::vector<uint8_t>(data, data + length)});
}
inline void PeerAccept(int32_t id) {
    g_peer_link = id;
    SetDefaultHandler(id, PeerInbox);
}

class SessionLibraryTest : public ::testing::Test {
  protected:
    void SetUp() override {
        TransportReset();
        SetTransportLogSink(nullptr);
        g_peer_inbox.clear();
        g_peer_networks.clear();
        g_peer_link = 0;
        lib_folder_ = MakeFolder("lib");
        game_folder_ = MakeFolder("game");
        std::string dll = lib_folder_ + "\\OZLAN.dll";
        ASSERT_TRUE(CopyFileA((ProgramFolder() + "\\OZLAN.dll").c_str(), dll.c_str(), FALSE));
        WriteFile(lib_folder_ + "\\ozws.dll", kFakeProxy);
        module_ = LoadLibraryA(dll.c_str());
        ASSERT_NE(nullptr, module_);
        init_ = Bind<OZLanInitFn>(module_, "OZLanInit");
        pre_launch_ = Bind<OZLanPreLaunchFn>(module_, "OZLanPreLaunch");
        end_ = Bind<OZLanEndSessionFn>(module_, "OZLanEndSession");
        ASSERT_TRUE(init_ && pre_launch_ && end_);
    }
    void TearDown() override {
        if (module_) {
            end_();
            FreeLibrary(module_);
        }
        for (const auto& f : {game_folder_ + "\\wsock32.dll", lib_folder_ + "\\ozws.dll",
                              lib_folder_ + "\\OZLAN.dll"}) {
            SetFileAttributesA(f.c_str(), FILE_ATTRIBUTE_NORMAL);
            DeleteFileA(f.c_str());
        }
        RemoveDirectoryA(game_folder_.c_str());
        RemoveDirectoryA(lib_folder_.c_str());
    }

    // Dispatches this thread's messages (the library's timer) and runs the test's
    // own transport, until done() or the time is up.
    template <class Done>
    bool Pump(Done done, int ms = 3000) {
        auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        for (;;) {
            MSG msg;
            while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageA(&msg);
            TransportThink(0);
            if (done()) return true;
            if (std::chrono::steady_clock::now() > end) return false;
            Sleep(1);
        }
    }
    void PumpFor(int ms) {
        Pump([] { return false; }, ms);
    }

    // The library joined to a transport in this test acting as the relay service.
    void JoinTransportPeer() {
        Endpoint* ep = CreateEndpoint(0);
        SetAcceptCallback(PeerAccept);
        ASSERT_EQ(1u, init_("127.0.0.1", ep->local_port));
        ASSERT_TRUE(Pump([] { return g_peer_link != 0; }));
        PumpFor(100);  // the confirmation reaches the library
    }

    HMODULE module_ = nullptr;
    OZLanInitFn init_ = nullptr;
    OZLanPreLaunchFn pre_launch_ = nullptr;
    OZLanEndSessionFn end_ = nullptr;
    std::string lib_folder_, game_folder_;
};

}  // namespace ozlan::test
