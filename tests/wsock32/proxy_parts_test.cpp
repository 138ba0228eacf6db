// The proxy's parts linked into the test: the IPX socket list, the registry reader,
// and the exports that change the list, against Wine's real Winsock.
#include <gtest/gtest.h>

#include <cstdio>

#include "wsock32/wsock32.h"

extern "C" {
int WSAAPI mp_WSAStartup(WORD, LPWSADATA);
SOCKET WSAAPI mp_socket(int, int, int);
int WSAAPI mp_closesocket(SOCKET);
}

namespace ozlan::proxy {
namespace {

TEST(IpxSocketList, AddFindDeleteKeepOrderAndRefuseDuplicates) {
    DeleteAllIPXSock();
    EXPECT_EQ(1, AddIPXSock(SOCKET(10)));
    EXPECT_EQ(1, AddIPXSock(SOCKET(20)));
    EXPECT_EQ(1, AddIPXSock(SOCKET(30)));
    EXPECT_EQ(0, AddIPXSock(SOCKET(20)));
    EXPECT_EQ(2, FindIPXSock(SOCKET(20)));
    EXPECT_EQ(1, DeleteIPXSock(SOCKET(10)));
    EXPECT_EQ(0, DeleteIPXSock(SOCKET(10)));
    EXPECT_EQ(1, FindIPXSock(SOCKET(20)));
    EXPECT_EQ(2, FindIPXSock(SOCKET(30)));
    EXPECT_EQ(0, FindIPXSock(SOCKET(99)));
    DeleteAllIPXSock();
    EXPECT_EQ(0, FindIPXSock(SOCKET(20)));
    EXPECT_EQ(0, FindIPXSock(SOCKET(30)));
}

TEST(IpxSocketList, HoldsAtMost1024Handles) {
    DeleteAllIPXSock();
    for (int i = 1; i <= kMaxIpxSockets; ++i) ASSERT_EQ(1, AddIPXSock(SOCKET(i)));
    EXPECT_EQ(0, AddIPXSock(SOCKET(5000)));
    EXPECT_EQ(kMaxIpxSockets, FindIPXSock(SOCKET(kMaxIpxSockets)));
    DeleteAllIPXSock();
}

TEST(ProxyExports, CloseSocketAndStartupEmptyTheIpxList) {
    // Linked in, the proxy has no file of its own: point it at the system's Winsock.
    char system[MAX_PATH];
    GetSystemDirectoryA(system, MAX_PATH);
    std::snprintf(Proxy().real_library_path, kPathSize, "%s\\wsock32.dll", system);
    WSADATA data;
    ASSERT_EQ(0, mp_WSAStartup(0x0101, &data));
    SOCKET a = mp_socket(AF_INET, SOCK_DGRAM, 0);
    SOCKET b = mp_socket(AF_INET, SOCK_DGRAM, 0);
    ASSERT_NE(INVALID_SOCKET, a);
    AddIPXSock(a);
    AddIPXSock(b);
    EXPECT_EQ(0, mp_closesocket(a));
    EXPECT_EQ(0, FindIPXSock(a));
    EXPECT_EQ(1, FindIPXSock(b));
    // Removed before the real call, also when that call fails.
    AddIPXSock(SOCKET(0x7FFF0));
    EXPECT_EQ(-1, mp_closesocket(SOCKET(0x7FFF0)));
    EXPECT_EQ(0, FindIPXSock(SOCKET(0x7FFF0)));
    EXPECT_EQ(0, mp_WSAStartup(0x0101, &data));
    EXPECT_EQ(0, FindIPXSock(b));
    mp_closesocket(b);
}

class RegistryReader : public ::testing::Test {
  protected:
    void SetUp() override {
        RegCreateKeyExA(HKEY_CURRENT_USER, "Software\\OzlanTest\\Inner", 0, nullptr, 0,
                        KEY_ALL_ACCESS, nullptr, &key_, nullptr);
        Set("Plain", REG_SZ, "C:\\WINDOWS");
        Set("Expandable", REG_EXPAND_SZ, "%SystemRoot%");
        Set("Empty", REG_SZ, "");
        DWORD number = 7;
        RegSetValueExA(key_, "Number", 0, REG_DWORD, reinterpret_cast<BYTE*>(&number), 4);
        HKEY top;
        RegCreateKeyExA(HKEY_CURRENT_USER, "Software", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &top,
                        nullptr);
        RegCloseKey(top);
    }
    void TearDown() override {
        RegCloseKey(key_);
        RegDeleteKeyA(HKEY_CURRENT_USER, "Software\\OzlanTest\\Inner");
        RegDeleteKeyA(HKEY_CURRENT_USER, "Software\\OzlanTest");
    }
    void Set(const char* name, DWORD type, const char* text) {
        RegSetValueExA(key_, name, 0, type, reinterpret_cast<const BYTE*>(text),
                       DWORD(strlen(text) + 1));
    }
    HKEY key_ = nullptr;
    char out_[kPathSize] = {};
};

TEST_F(RegistryReader, ReadsPlainStringsByLongAndShortRootNames) {
    EXPECT_EQ(1, LookupRegistryString("HKCU\\Software\\OzlanTest\\Inner\\Plain", out_));
    EXPECT_STREQ("C:\\WINDOWS", out_);
    out_[0] = 0;
    EXPECT_EQ(1,
              LookupRegistryString("HKEY_CURRENT_USER\\Software\\OzlanTest\\Inner\\Plain", out_));
    EXPECT_STREQ("C:\\WINDOWS", out_);
}

TEST_F(RegistryReader, RefusesWhatIsNotAReadablePlainString) {
    EXPECT_EQ(0, LookupRegistryString("HKCU\\Software\\OzlanTest\\Inner\\Expandable", out_));
    EXPECT_EQ(0, LookupRegistryString("HKCU\\Software\\OzlanTest\\Inner\\Number", out_));
    EXPECT_EQ(0, LookupRegistryString("HKCU\\Software\\OzlanTest\\Inner\\Missing", out_));
    EXPECT_EQ(0, LookupRegistryString("HKCU\\Software\\NoSuchKey\\Plain", out_));
    EXPECT_EQ(0, LookupRegistryString("hkcu\\Software\\OzlanTest\\Inner\\Plain", out_));  // case
    EXPECT_EQ(0, LookupRegistryString("NoBackslashAtAll", out_));
}

TEST_F(RegistryReader, ASingleBackslashReadsUnderTheRootItself) {
    // HKCU\Volatile Environment or similar is not reliable; an absent value under the
    // root still takes the path of an empty subkey and fails only at the value.
    EXPECT_EQ(0, LookupRegistryString("HKCU\\NoSuchValueAtTheRoot", out_));
    HKEY root;
    RegOpenKeyExA(HKEY_CURRENT_USER, "", 0, KEY_ALL_ACCESS, &root);
    RegSetValueExA(root, "OzlanTestTop", 0, REG_SZ, reinterpret_cast<const BYTE*>("top"), 4);
    EXPECT_EQ(1, LookupRegistryString("HKCU\\OzlanTestTop", out_));
    EXPECT_STREQ("top", out_);
    RegDeleteValueA(root, "OzlanTestTop");
    RegCloseKey(root);
}

}  // namespace
}  // namespace ozlan::proxy
