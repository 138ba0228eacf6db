// The built proxy loaded under Wine against the real Winsock, with every line it
// writes read back from the recording logging library.
#include <string>

#include "tests/wsock32/proxy_harness.h"

namespace ozlan::test {
namespace {

using WSAStartupFn = int(WSAAPI*)(WORD, LPWSADATA);
using ConnectFn = int(WSAAPI*)(SOCKET, const sockaddr*, int);
using SocketFn = SOCKET(WSAAPI*)(int, int, int);
using BindFn = int(WSAAPI*)(SOCKET, const sockaddr*, int);
using IoctlFn = int(WSAAPI*)(SOCKET, long, u_long*);
using RecvFn = int(WSAAPI*)(SOCKET, char*, int, int);
using CloseFn = int(WSAAPI*)(SOCKET);
using LastErrorFn = int(WSAAPI*)();
using HtonsFn = u_short(WSAAPI*)(u_short);
using HostByNameFn = hostent*(WSAAPI*)(const char*);
using StringToAddressFn = INT(WSAAPI*)(LPSTR, INT, LPVOID, LPSOCKADDR, LPINT);

const char kSystemRootKey[] = "Software\\Microsoft\\Windows\\CurrentVersion";

// Sets (or with null removes) the SystemRoot value in this prefix for one test.
struct SystemRootValue {
    explicit SystemRootValue(const char* value, DWORD type = REG_SZ) {
        HKEY key;
        RegCreateKeyExA(HKEY_LOCAL_MACHINE, kSystemRootKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                        &key, nullptr);
        RegSetValueExA(key, "SystemRoot", 0, type, reinterpret_cast<const BYTE*>(value),
                       DWORD(strlen(value) + 1));
        RegCloseKey(key);
    }
    ~SystemRootValue() {
        HKEY key;
        if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kSystemRootKey, 0, KEY_ALL_ACCESS, &key) == 0) {
            RegDeleteValueA(key, "SystemRoot");
            RegCloseKey(key);
        }
    }
};

std::string SystemWinsock(const char* name = "wsock32.dll") {
    char system[MAX_PATH];
    GetSystemDirectoryA(system, MAX_PATH);
    return std::string(system) + "\\" + name;
}

TEST(ProxyStart, OpensTheLogAndNamesTheRealWinsock) {
    LoadedProxy proxy;
    ASSERT_NE(nullptr, proxy.module());
    auto calls = proxy.Calls();
    ASSERT_GE(calls.size(), 4u);
    EXPECT_STREQ("init", calls[0].kind);
    EXPECT_STREQ("wsock32\\wsock32", calls[0].source);
    EXPECT_EQ(2000, calls[0].level);
    EXPECT_STREQ("wsock32.dll|%logdir%\\wsock32.dll-%rotate%.log", calls[0].text);
    EXPECT_STREQ("[wsock32.dll] Corvane's winsock starting 'wsock32.dll'", calls[1].text);
    EXPECT_EQ(1000, calls[1].level);
    EXPECT_STREQ("wsock32\\registry", calls[2].source);
    EXPECT_STREQ(
        "Looking up 'HKLM\\Software\\Microsoft\\Windows\\CurrentVersion\\SystemRoot' in "
        "the registry",
        calls[2].text);
    // Wine has no SystemRoot value: the fixed folder does not exist either, so the
    // system folder is used.
    auto last = calls.back();
    EXPECT_EQ("[wsock32.dll] Emulating '" + SystemWinsock() + "'", std::string(last.text));
    EXPECT_EQ(2000, last.level);
    // Nothing is loaded yet.
    for (const auto& line : proxy.Lines())
        EXPECT_EQ(std::string::npos, line.find("Successfully loaded"));
}

TEST(ProxyStart, RegistryValueNamesTheSystemFolderWhenItHoldsTheFile) {
    std::string root = MakeTempFolder("root");
    CreateDirectoryA((root + "\\System").c_str(), nullptr);
    CopyFileA(SystemWinsock().c_str(), (root + "\\System\\wsock32.dll").c_str(), FALSE);
    {
        SystemRootValue value(root.c_str());
        LoadedProxy proxy;
        EXPECT_TRUE(proxy.HasLine(" and we found '" + root + "'"));
        EXPECT_TRUE(proxy.HasLine("[wsock32.dll] Emulating '" + root + "\\System\\wsock32.dll'"));
        auto startup = proxy.Export<WSAStartupFn>("WSAStartup");
        WSADATA data;
        EXPECT_EQ(0, startup(0x0101, &data));
        EXPECT_TRUE(
            proxy.HasLine("[wsock32.dll] Successfully loaded (" + root + "\\System\\wsock32.dll)"));
    }
    RemoveFolder(root);
}

TEST(ProxyStart, AMissingRegistryFolderFallsBackToTheSystemFolder) {
    SystemRootValue value("C:\\WINDOWS-NOT-THERE");
    LoadedProxy proxy;
    EXPECT_TRUE(proxy.HasLine("[wsock32.dll] Emulating '" + SystemWinsock() + "'"));
}

TEST(ProxyStart, ExpandableRegistryValueIsNotAString) {
    SystemRootValue value("%SystemRoot%", REG_EXPAND_SZ);
    LoadedProxy proxy;
    EXPECT_TRUE(proxy.HasLine("registry value was not a string"));
}

TEST(ProxyStart, CapitalFileNameNamesTheLinesAndTheRealLibrary) {
    LoadedProxy proxy("WSOCK32.DLL");
    auto lines = proxy.Lines();
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ("[WSOCK32.DLL] Corvane's winsock starting 'WSOCK32.DLL'", lines[0]);
    EXPECT_EQ("[WSOCK32.DLL] Emulating '" + SystemWinsock("WSOCK32.DLL") + "'", lines.back());
}

TEST(ProxyStart, FirstStartupLoadsOnceAndEmptiesTheIpxList) {
    LoadedProxy proxy;
    proxy.ForgetLines();
    auto startup = proxy.Export<WSAStartupFn>("WSAStartup");
    WSADATA data;
    EXPECT_EQ(0, startup(0x0101, &data));
    EXPECT_EQ(
        (std::vector<std::string>{
            "[wsock32.dll] mp_WSAStartup() version 1,1",
            "[wsock32.dll] Successfully loaded (" + SystemWinsock() + ")", "DeleteAllIPXSock()",
            "[wsock32.dll] Successfully deleted all the ipx sockets in the list",
            "[wsock32.dll] lp_WSAStartup returned 0"}),
        proxy.Lines());
    auto calls = proxy.Calls();
    EXPECT_STREQ("wsock32\\socktrak", calls[2].source);
    EXPECT_EQ(1000, calls[1].level);
    EXPECT_EQ(0, startup(0x0101, &data));
    EXPECT_EQ(1u, proxy.CountLine("[wsock32.dll] Successfully loaded (" + SystemWinsock() + ")"));
}

TEST(ProxyStart, ConnectBeforeAnyLoadFailsThenBindsAfterStartup) {
    LoadedProxy proxy;
    auto connect = proxy.Export<ConnectFn>("connect");
    sockaddr_in to{};
    EXPECT_EQ(-1, connect(SOCKET(12), reinterpret_cast<sockaddr*>(&to), sizeof to));
    EXPECT_TRUE(proxy.HasLine("[wsock32.dll] unable to load connect()"));
    EXPECT_FALSE(proxy.HasLine("[wsock32.dll] Successfully loaded (" + SystemWinsock() + ")"));
    WSADATA data;
    proxy.Export<WSAStartupFn>("WSAStartup")(0x0101, &data);
    proxy.ForgetLines();
    connect(SOCKET(12), reinterpret_cast<sockaddr*>(&to), sizeof to);
    EXPECT_FALSE(proxy.HasLine("[wsock32.dll] unable to load connect()"));
    EXPECT_TRUE(proxy.HasLine("[wsock32.dll] mp_connect(12,,16)"));
}

TEST(ProxyStart, DetachWritesShuttingDownLast) {
    LoadedProxy proxy;
    proxy.Unload();
    auto calls = proxy.Calls();
    ASSERT_GE(calls.size(), 2u);
    EXPECT_STREQ("shutdown", calls.back().kind);
    EXPECT_STREQ("[wsock32.dll] Shutting down...", calls[calls.size() - 2].text);
    EXPECT_EQ(1000, calls[calls.size() - 2].level);
}

TEST(ProxyStart, LoggingLibraryWithoutGetErrStrWritesNothing) {
    LoadedProxy proxy("wsock32.dll", "recorder-incomplete");
    ASSERT_NE(nullptr, proxy.module());
    WSADATA data;
    EXPECT_EQ(0, proxy.Export<WSAStartupFn>("WSAStartup")(0x0101, &data));
    EXPECT_TRUE(proxy.Calls().empty());
}

TEST(ProxyStart, WithoutAnyLoggingLibraryEverythingStillWorks) {
    LoadedProxy proxy("wsock32.dll", "");
    WSADATA data;
    EXPECT_EQ(0, proxy.Export<WSAStartupFn>("WSAStartup")(0x0101, &data));
    EXPECT_EQ(0x3412, proxy.Export<HtonsFn>("htons")(0x1234));
}

class ProxyCalls : public ::testing::Test {
  protected:
    void SetUp() override {
        WSADATA data;
        ASSERT_EQ(0, proxy_.Export<WSAStartupFn>("WSAStartup")(0x0101, &data));
        proxy_.ForgetLines();
    }
    LoadedProxy proxy_;
};

TEST_F(ProxyCalls, UnresolvableHostKeepsItsErrorForTheGame) {
    auto by_name = proxy_.Export<HostByNameFn>("gethostbyname");
    EXPECT_EQ(nullptr, by_name("no-such-host.invalid"));
    int error = proxy_.Export<LastErrorFn>("WSAGetLastError")();
    EXPECT_NE(0, error);
    EXPECT_TRUE(
        proxy_.HasLine("[wsock32.dll] lp_gethostbyname failed lookup of no-such-host.invalid (" +
                       std::to_string(error) + ")"));
    EXPECT_TRUE(proxy_.HasLine("[wsock32.dll] mp_WSASetLastError(" + std::to_string(error) + ")"));
}

TEST_F(ProxyCalls, HostNamesWithPercentSignsAreWrittenAsTheyAre) {
    proxy_.Export<HostByNameFn>("gethostbyname")("100%s%d.invalid");
    EXPECT_TRUE(proxy_.HasLine("[wsock32.dll] mp_gethostbyname(100%s%d.invalid)"));
}

TEST_F(ProxyCalls, ResolvedHostWritesEachAddress) {
    hostent* entry = proxy_.Export<HostByNameFn>("gethostbyname")("localhost");
    ASSERT_NE(nullptr, entry);
    EXPECT_TRUE(
        proxy_.HasLine("[wsock32.dll] " + std::string(entry->h_name) + "(alt:localhost) = "));
    EXPECT_TRUE(proxy_.HasLine("[wsock32.dll] mp_inet_ntoa()"));
    EXPECT_TRUE(proxy_.HasLine("[wsock32.dll] 127.0.0.1"));
}

TEST_F(ProxyCalls, RecvOnAnEmptyNonBlockingSocketKeepsWouldBlock) {
    SOCKET s = proxy_.Export<SocketFn>("socket")(AF_INET, SOCK_DGRAM, 0);
    ASSERT_NE(INVALID_SOCKET, s);
    sockaddr_in any{};
    any.sin_family = AF_INET;
    ASSERT_EQ(0, proxy_.Export<BindFn>("bind")(s, reinterpret_cast<sockaddr*>(&any), sizeof any));
    u_long on = 1;
    ASSERT_EQ(0, proxy_.Export<IoctlFn>("ioctlsocket")(s, FIONBIO, &on));
    char buffer[16];
    EXPECT_EQ(-1, proxy_.Export<RecvFn>("recv")(s, buffer, sizeof buffer, 0));
    EXPECT_EQ(WSAEWOULDBLOCK, proxy_.Export<LastErrorFn>("WSAGetLastError")());
    std::string id = std::to_string(int(s));
    EXPECT_TRUE(proxy_.HasLine("[wsock32.dll] mp_recv(" + id + ",,16,0)"));
    EXPECT_TRUE(proxy_.HasLine("[wsock32.dll] lp_recv(" + id + ") returned -1"));
    EXPECT_TRUE(proxy_.HasLine("[wsock32.dll] lp_recv(" + id + ") error = 10035"));
    EXPECT_TRUE(proxy_.HasLine("[wsock32.dll] WSAGetLastError() returned 10035"));
    proxy_.Export<CloseFn>("closesocket")(s);
}

TEST_F(ProxyCalls, HtonsSwapsAndWritesItsResult) {
    EXPECT_EQ(0x3412, proxy_.Export<HtonsFn>("htons")(0x1234));
    EXPECT_TRUE(proxy_.HasLine("[wsock32.dll] mp_htons(4660)"));
    EXPECT_TRUE(proxy_.HasLine("[wsock32.dll] lp_htons(4660) returned 13330"));
}

TEST_F(ProxyCalls, MissingLookupNameFailsOnEveryCall) {
    auto string_to_address = proxy_.Export<StringToAddressFn>("WSAStringToAddressA");
    EXPECT_EQ(reinterpret_cast<void*>(string_to_address),
              reinterpret_cast<void*>(GetProcAddress(proxy_.module(), "WSAStringToAddressW")));
    char text[] = "127.0.0.1";
    EXPECT_EQ(-1, string_to_address(text, AF_INET, nullptr, nullptr, nullptr));
    EXPECT_EQ(-1, string_to_address(text, AF_INET, nullptr, nullptr, nullptr));
    EXPECT_EQ(2u, proxy_.CountLine("[wsock32.dll] unable to load WSAStringToAddress()"));
}

TEST(ProxyUnbound, WithoutARealWinsockConversionsPassValuesThrough) {
    // No system library carries this name: nothing can be bound.
    LoadedProxy proxy("wsockzz.dll");
    EXPECT_EQ(0x1234, proxy.Export<HtonsFn>("htons")(0x1234));
    EXPECT_TRUE(proxy.HasLine("[wsockzz.dll] unable to load htons()"));
    // Nothing was called, so nothing is reported as returned.
    EXPECT_FALSE(proxy.HasLine("[wsockzz.dll] lp_htons(4660) returned 4660"));
    bool load_failure = false;
    for (const auto& line : proxy.Lines()) {
        load_failure |= line.rfind("[wsockzz.dll] Unable to load winsock (" +
                                       SystemWinsock("wsockzz.dll") + ") GetLastError:",
                                   0) == 0;
    }
    EXPECT_TRUE(load_failure);
    WSADATA data;
    EXPECT_EQ(10091, proxy.Export<WSAStartupFn>("WSAStartup")(0x0101, &data));
    EXPECT_TRUE(proxy.HasLine("[wsockzz.dll] unable to register lp_WSAStartup"));
}

}  // namespace
}  // namespace ozlan::test
