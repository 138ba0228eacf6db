// The takeover in a real process under Wine: this program's own Winsock imports, a DLL
// loaded afterwards that imports by ordinal, and GetProcAddress by name and ordinal.
#include <winsock2.h>

#include <gtest/gtest.h>

#include "inside/takeover.h"

using namespace ozlan;

namespace {

constexpr u_short kNtohsMarker = 0x5151;
constexpr u_long kHtonlMarker = 0x7E7E7E7E;

u_short WSAAPI FakeNtohs(u_short) {
    return kNtohsMarker;
}
u_long WSAAPI FakeHtonl(u_long) {
    return kHtonlMarker;
}

const Replacement kTable[] = {
    {"ntohs", reinterpret_cast<void*>(FakeNtohs)},
    {"htonl", reinterpret_cast<void*>(FakeHtonl)},
};

using ProbeNtohsFn = unsigned (*)(unsigned short);
using ProbeHtonlFn = unsigned long (*)(unsigned long);

// Each call loads its import slot afresh: within one function the compiler may keep a
// slot's value in a register across the takeover, which a game's calls never do.
[[gnu::noinline]] u_short CallNtohs(u_short v) {
    return ntohs(v);
}
[[gnu::noinline]] u_short CallHtons(u_short v) {
    return htons(v);
}
[[gnu::noinline]] u_long CallHtonl(u_long v) {
    return htonl(v);
}
[[gnu::noinline]] void* Lookup(HMODULE m, const char* name) {
    return reinterpret_cast<void*>(GetProcAddress(m, name));
}
[[gnu::noinline]] HMODULE Load(bool wide) {
    return wide ? LoadLibraryW(L"takeover_probe.dll")
                : LoadLibraryExA("takeover_probe.dll", nullptr, 0);
}

TakeoverCount TakeOver() {
    return TakeOverProcess(nullptr, kTable, sizeof kTable / sizeof kTable[0]);
}

}  // namespace

TEST(TakeoverTest, OwnImportsAndGetProcAddressByNameAndOrdinalLeadToTheReplacements) {
    HMODULE ws2 = GetModuleHandleA("ws2_32.dll");
    ASSERT_NE(ws2, nullptr);
    FARPROC real_ntohs = GetProcAddress(ws2, "ntohs");
    ASSERT_EQ(GetProcAddress(ws2, MAKEINTRESOURCEA(15)), real_ntohs);
    FARPROC real_inet_addr = GetProcAddress(ws2, "inet_addr");
    ASSERT_EQ(CallNtohs(0x1234), 0x3412);

    TakeoverCount count = TakeOver();
    EXPECT_GE(count.slots, 2);  // ntohs and htonl here, and the loader functions
    EXPECT_EQ(CallNtohs(0x1234), kNtohsMarker);
    EXPECT_EQ(CallHtonl(1), kHtonlMarker);
    // Functions the table leaves out keep going to the real Winsock.
    EXPECT_EQ(CallHtons(0x1234), 0x3412);

    EXPECT_EQ(Lookup(ws2, "ntohs"), reinterpret_cast<void*>(FakeNtohs));
    EXPECT_EQ(Lookup(ws2, MAKEINTRESOURCEA(15)), reinterpret_cast<void*>(FakeNtohs));
    EXPECT_EQ(Lookup(ws2, "inet_addr"), reinterpret_cast<void*>(real_inet_addr));
    EXPECT_EQ(Lookup(ws2, "no_such_function"), nullptr);
    EXPECT_EQ(ReplacementFor(reinterpret_cast<void*>(real_ntohs)),
              reinterpret_cast<void*>(FakeNtohs));

    // Again: nothing is rewritten twice.
    EXPECT_EQ(TakeOver().slots, count.slots);
}

TEST(TakeoverTest, ADllLoadedLaterIsTakenOverByNameAndByOrdinal) {
    TakeOver();
    for (bool wide : {false, true}) {
        HMODULE probe = Load(wide);
        ASSERT_NE(probe, nullptr);
        auto probe_ntohs = reinterpret_cast<ProbeNtohsFn>(Lookup(probe, "ProbeNtohs"));
        auto probe_htonl = reinterpret_cast<ProbeHtonlFn>(Lookup(probe, "ProbeHtonl"));
        ASSERT_NE(probe_ntohs, nullptr);
        ASSERT_NE(probe_htonl, nullptr);
        EXPECT_EQ(probe_ntohs(0x1234), kNtohsMarker) << "wide " << wide;
        EXPECT_EQ(probe_htonl(1), kHtonlMarker) << "wide " << wide;
        FreeLibrary(probe);
    }
}

TEST(TakeoverTest, AFailedLoadKeepsItsError) {
    TakeOver();
    SetLastError(0);
    EXPECT_EQ(LoadLibraryA("no-such-module-here.dll"), nullptr);  // through the hook
    EXPECT_EQ(GetLastError(), DWORD(ERROR_MOD_NOT_FOUND));
}
