// The one seam between the transport and the operating system: UDP sockets, name
// resolution, time and sleep. socket_win32.cpp implements it on Winsock 1.1,
// socket_posix.cpp on BSD sockets. Addresses and ports cross it in network order.
#pragma once

#include <cstddef>
#include <cstdint>

namespace ozlan {

using SocketHandle = intptr_t;
constexpr SocketHandle kInvalidSocket = -1;

struct SocketAddress {
    uint32_t ip = 0;    // network byte order
    uint16_t port = 0;  // network byte order
};

// Starts the platform's socket library (version 1.1 on Windows); true on success.
bool SocketStartup();
// A UDP socket with room for kSocketBufferBytes each way (as much of it as the system
// grants): a relay's burst of a few hundred small datagrams would overflow the default.
SocketHandle SocketOpenUdp();
constexpr int kSocketBufferBytes = 1 << 20;
// Binds to all local addresses (or `ip` when non-zero) at `port` (host order).
bool SocketBind(SocketHandle s, uint16_t port, uint32_t ip = 0);
// The bound port in host order; false when it cannot be read.
bool SocketLocalPort(SocketHandle s, uint16_t* port);
bool SocketSetNonBlocking(SocketHandle s);
void SocketClose(SocketHandle s);

// Result of the send; the transport does not look at it.
int SocketSendTo(SocketHandle s, const void* data, size_t size, const SocketAddress& to);

// Receives one datagram. Returns its size (datagrams larger than `capacity` are cut
// to it; an empty datagram gives 0), kReceiveNothing when none is waiting, or -1
// with *error set to the platform's code. A connection-reset report left by an
// earlier send is passed over: it says nothing about this socket.
constexpr int kReceiveNothing = -2;
int SocketReceiveFrom(SocketHandle s, void* buffer, size_t capacity, SocketAddress* from,
                      int* error);

// One datagram of a batch: its bytes, their count, and the remote address (the
// source when receiving, the destination when sending).
struct DatagramSlot {
    uint8_t* data = nullptr;
    size_t capacity = 0;  // receiving: room in `data`
    size_t size = 0;
    SocketAddress address;
};
constexpr int kMaxBatch = 64;

// Receives up to `count` (at most kMaxBatch) waiting datagrams into the slots: how
// many (0 when none is waiting), or -1 with *error set when the first read failed.
// Datagrams are cut and reports passed over as by SocketReceiveFrom. One system call
// where the platform receives in batches, otherwise one per datagram.
int SocketReceiveBatch(SocketHandle s, DatagramSlot* slots, int count, int* error);
// Sends the slots' datagrams in order, the same way: results are not reported.
void SocketSendBatch(SocketHandle s, const DatagramSlot* slots, int count);

// Waits up to timeout_ms (0: just polls) for `s` to become readable.
// Returns 1 when readable, 0 when not, -1 on failure.
int SocketWaitReadable(SocketHandle s, int timeout_ms);

// Dotted IPv4 text first, then a host-name look-up taking the first address.
// Every IPv4 address of `host` (dotted text gives itself), at most `capacity`, in the
// order the resolver gives them, duplicates left out; how many (0 when none).
size_t ResolveIPv4All(const char* host, uint32_t* out, size_t capacity);
inline bool ResolveIPv4(const char* host, uint32_t* ip) {
    return ResolveIPv4All(host, ip, 1) == 1;
}

// Fills `out` with bytes from the platform's cryptographic random source; false when
// it cannot.
bool RandomBytes(void* out, size_t size);

// Monotonic milliseconds; the transport's default clock.
int64_t SystemNowMs();
void SystemSleepMs(int ms);

}  // namespace ozlan
