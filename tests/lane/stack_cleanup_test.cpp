// 32-bit only: calls every export of ozws.dll and OZLAN.dll as a game or launcher
// compiled against the platform's headers does, through a thunk that pushes the
// arguments, calls, and measures the stack afterwards. A __stdcall function removes
// exactly its arguments; one that removes fewer or more bytes corrupts its caller's
// stack, which only a 32-bit build can show.
#include <gtest/gtest.h>
#include <winsock2.h>
#include <windows.h>
// After winsock2.h, which they need first.
#include <mswsock.h>
#include <nspapi.h>

#include <cstdint>
#include <string>
#include <vector>

#include "session/ozlan.h"

static_assert(sizeof(void*) == 4, "the stack cleanup test is for 32-bit builds");

// CallMeasuringStack(function, args, count, &result, &registers_kept): pushes args[count-1]
// .. args[0], calls, and returns the bytes the callee left on the stack (0 for a correct
// __stdcall function, negative when it removed more than it was given). registers_kept
// tells whether ebx, esi and edi survived the call, as the calling convention requires.
asm(R"(
    .text
    .globl _CallMeasuringStack
_CallMeasuringStack:
    pushl %ebp
    movl %esp, %ebp
    pushl %ebx
    pushl %esi
    pushl %edi
    movl 12(%ebp), %esi
    movl 16(%ebp), %ecx
    movl %esp, %edi
    movl %esp, %ebx
1:  testl %ecx, %ecx
    jz 2f
    decl %ecx
    pushl (%esi,%ecx,4)
    jmp 1b
2:  call *8(%ebp)
    movl 20(%ebp), %ecx
    movl %eax, (%ecx)
    xorl %ecx, %ecx
    cmpl 12(%ebp), %esi
    jne 3f
    cmpl %ebx, %edi
    jne 3f
    incl %ecx
3:  movl 24(%ebp), %edx
    movl %ecx, (%edx)
    movl %edi, %eax
    subl %esp, %eax
    movl %edi, %esp
    popl %edi
    popl %esi
    popl %ebx
    popl %ebp
    ret
)");
extern "C" int CallMeasuringStack(void* function, const uint32_t* args, int count, uint32_t* result,
                                  uint32_t* registers_kept);

namespace ozlan::test {
namespace {

// The bytes a caller pushes for a __stdcall function of this type.
template <class R, class... A>
constexpr int ArgumentBytes(R(WINAPI*)(A...)) {
    return (0 + ... + int((sizeof(A) + 3) / 4 * 4));
}

// The same, for a function named by its declaration only: the test imports nothing
// of the platform's Winsock itself.
#define Bytes(function) ArgumentBytes(decltype(&function){})

struct Call {
    const char* name;
    int bytes;                   // from the platform's declaration
    std::vector<uint32_t> args;  // what the test passes
};

uint32_t U(const void* p) {
    return uint32_t(reinterpret_cast<uintptr_t>(p));
}

std::string BinFolder() {
    char path[MAX_PATH];
    GetModuleFileNameA(nullptr, path, MAX_PATH);
    std::string folder = path;
    return folder.substr(0, folder.find_last_of('\\'));
}

void Measure(HMODULE module, const std::vector<Call>& calls) {
    for (const Call& c : calls) {
        ASSERT_EQ(c.bytes, int(c.args.size() * 4)) << c.name << ": the test passes the wrong count";
        void* function = reinterpret_cast<void*>(GetProcAddress(module, c.name));
        ASSERT_NE(nullptr, function) << c.name;
        uint32_t result = 0, kept = 0;
        int left = CallMeasuringStack(function, c.args.data(), int(c.args.size()), &result, &kept);
        EXPECT_EQ(0, left) << c.name << " (" << c.bytes << " bytes of arguments) removed "
                           << c.bytes - left << " bytes";
        EXPECT_EQ(1u, kept) << c.name << " changed ebx, esi or edi";
    }
}

TEST(StackCleanup, EveryProxyExportRemovesExactlyItsArguments) {
    HMODULE proxy = LoadLibraryA((BinFolder() + "\\ozws.dll").c_str());
    ASSERT_NE(nullptr, proxy);
    static uint8_t buffer[8192];
    static uint8_t out[8192];
    static int length = 16;
    static DWORD count = 0, flags = 0;
    static sockaddr_in loopback{};
    loopback.sin_family = AF_INET;
    loopback.sin_addr.s_addr = 0x0100007F;  // 127.0.0.1 in network order
    static fd_set empty{};
    static timeval now{};
    static WSABUF wsabuf{16, reinterpret_cast<char*>(out)};
    static OVERLAPPED overlapped{};
    static uint32_t address = 0x0100007F;
    const uint32_t none = U(nullptr), bad = uint32_t(INVALID_SOCKET);
    const uint32_t b = U(buffer), o = U(out), len = U(&length), sa = U(&loopback);
    const uint32_t text = U("127.0.0.1");
    // Start-up first and clean-up last, so that the calls between reach the platform.
    std::vector<Call> calls = {
        {"WSAStartup", Bytes(WSAStartup), {0x0101, o}},
        {"accept", Bytes(accept), {bad, o, len}},
        {"bind", Bytes(bind), {bad, sa, 16}},
        {"closesocket", Bytes(closesocket), {bad}},
        {"connect", Bytes(connect), {bad, sa, 16}},
        {"getpeername", Bytes(getpeername), {bad, o, len}},
        {"getsockname", Bytes(getsockname), {bad, o, len}},
        {"getsockopt", Bytes(getsockopt), {bad, SOL_SOCKET, SO_TYPE, o, len}},
        {"htonl", Bytes(htonl), {0x12345678}},
        {"htons", Bytes(htons), {0x1234}},
        {"inet_addr", Bytes(inet_addr), {text}},
        {"inet_ntoa", Bytes(inet_ntoa), {address}},
        {"ioctlsocket", Bytes(ioctlsocket), {bad, uint32_t(FIONBIO), o}},
        {"listen", Bytes(listen), {bad, 1}},
        {"ntohl", Bytes(ntohl), {0x12345678}},
        {"ntohs", Bytes(ntohs), {0x1234}},
        {"recv", Bytes(recv), {bad, o, 16, 0}},
        {"recvfrom", Bytes(recvfrom), {bad, o, 16, 0, o + 1024, len}},
        {"select", Bytes(select), {0, U(&empty), none, none, U(&now)}},
        {"send", Bytes(send), {bad, b, 1, 0}},
        {"sendto", Bytes(sendto), {bad, b, 1, 0, sa, 16}},
        {"setsockopt", Bytes(setsockopt), {bad, SOL_SOCKET, SO_BROADCAST, b, 4}},
        {"shutdown", Bytes(shutdown), {bad, 0}},
        {"socket", Bytes(socket), {AF_INET, SOCK_DGRAM, 0}},
        {"WSAAddressToStringA", Bytes(WSAAddressToStringA), {sa, 16, none, o, len}},
        {"WSAAddressToStringW", Bytes(WSAAddressToStringW), {sa, 16, none, o, len}},
        {"WSAIoctl", Bytes(WSAIoctl), {bad, 0, none, 0, none, 0, U(&count), none, none}},
        {"gethostbyaddr", Bytes(gethostbyaddr), {U(&address), 4, AF_INET}},
        {"gethostbyname", Bytes(gethostbyname), {U("localhost")}},
        {"getprotobyname", Bytes(getprotobyname), {U("udp")}},
        {"getprotobynumber", Bytes(getprotobynumber), {17}},
        {"getservbyname", Bytes(getservbyname), {U("echo"), U("udp")}},
        {"getservbyport", Bytes(getservbyport), {0x0700, U("udp")} /* port 7 */},
        {"gethostname", Bytes(gethostname), {o, 256}},
        {"WSARecv", Bytes(WSARecv), {bad, U(&wsabuf), 1, U(&count), U(&flags), none, none}},
        {"WSARecvFrom",
         Bytes(WSARecvFrom),
         {bad, U(&wsabuf), 1, U(&count), U(&flags), o + 1024, len, none, none}},
        {"WSAStringToAddressA", Bytes(WSAStringToAddressA), {text, AF_INET, none, o, len}},
        {"WSAStringToAddressW",
         Bytes(WSAStringToAddressW),
         {U(L"127.0.0.1"), AF_INET, none, o, len}},
        {"WSAAsyncSelect", Bytes(WSAAsyncSelect), {bad, none, WM_USER, 0}},
        {"WSAAsyncGetHostByAddr",
         Bytes(WSAAsyncGetHostByAddr),
         {none, WM_USER, U(&address), 4, AF_INET, o, MAXGETHOSTSTRUCT}},
        {"WSAAsyncGetHostByName",
         Bytes(WSAAsyncGetHostByName),
         {none, WM_USER, U("localhost"), o, MAXGETHOSTSTRUCT}},
        {"WSACancelAsyncRequest", Bytes(WSACancelAsyncRequest), {none}},
        {"WSASetBlockingHook", Bytes(WSASetBlockingHook), {none}},
        {"WSAUnhookBlockingHook", Bytes(WSAUnhookBlockingHook), {}},
        {"WSAGetLastError", Bytes(WSAGetLastError), {}},
        {"WSASetLastError", Bytes(WSASetLastError), {0}},
        {"WSACancelBlockingCall", Bytes(WSACancelBlockingCall), {}},
        {"WSAIsBlocking", Bytes(WSAIsBlocking), {}},
        {"__WSAFDIsSet", Bytes(__WSAFDIsSet), {bad, U(&empty)}},
        // The system's own two exports have no platform declaration: a callback
        // pointer, and nothing.
        {"SetBroadcastCallback", 4, {none}},
        {"RecvBroadcastMsg", 0, {}},
        {"EnumProtocolsA", Bytes(EnumProtocolsA), {none, o, len}},
        {"EnumProtocolsW", Bytes(EnumProtocolsW), {none, o, len}},
        {"AcceptEx", Bytes(AcceptEx), {bad, bad, o, 0, 32, 32, U(&count), U(&overlapped)}},
        {"WSACleanup", Bytes(WSACleanup), {}},
        // Last: it takes this process's Winsock calls over.
        {"TakeOverGame", 4, {none}},
    };
    length = sizeof out;
    Measure(proxy, calls);
    EXPECT_EQ(56u, calls.size());  // every export of the proxy
}

TEST(StackCleanup, EverySessionLibraryExportRemovesExactlyItsArguments) {
    HMODULE library = LoadLibraryA((BinFolder() + "\\OZLAN.dll").c_str());
    ASSERT_NE(nullptr, library);
    // Init against a port nobody answers, a refused pre-launch (no folder), the
    // joined flag, init with a session name, and the end.
    Measure(
        library,
        {
            {"OZLanInit", ArgumentBytes(OZLanInitFn{}), {U("127.0.0.1"), 9}},
            {"OZLanPreLaunch", ArgumentBytes(OZLanPreLaunchFn{}), {0, U("s")}},
            {"OZLanIsJoined", ArgumentBytes(OZLanIsJoinedFn{}), {}},
            {"OZLanInitSession", ArgumentBytes(OZLanInitSessionFn{}), {U("127.0.0.1"), 9, U("s")}},
            {"OZLanSetPassword", ArgumentBytes(OZLanSetPasswordFn{}), {U("p")}},
            {"OZLanJoinStatus", ArgumentBytes(OZLanJoinStatusFn{}), {}},
            {"OZLanPreLaunchInside", ArgumentBytes(OZLanPreLaunchInsideFn{}), {U("s")}},
            {"OZLanTakeOverProcess", ArgumentBytes(OZLanTakeOverProcessFn{}), {0}},
            {"OZLanEndSession", ArgumentBytes(OZLanEndSessionFn{}), {}},
        });
}

}  // namespace
}  // namespace ozlan::test
