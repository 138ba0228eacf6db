// lanping's calls into Winsock, in one of two builds: Winsock 1.1 (lanping.exe, imports
// wsock32.dll: socket, sendto, select and recvfrom, gethostbyname, the IP helper's
// address table) or Winsock 2 (lanping2.exe, imports ws2_32.dll only: WSASocket,
// WSASendTo, overlapped WSARecvFrom with events or completion routines, WSAEventSelect
// for the sockets of moved clients, WSAIoctl for the broadcast address, getaddrinfo).
#pragma once

#include <winsock2.h>

#include <cstdint>
#include <vector>

// Which build this is ("Winsock 1.1" or "Winsock 2").
const char* NetKind();
// With `completion_routines` (Winsock 2 only) overlapped receives report through
// completion routines, not events.
bool NetStart(bool completion_routines);
SOCKET NetSocket(int family, int type, int protocol);
int NetSendTo(SOCKET s, const char* data, int length, const sockaddr* to, int to_length);
// The next datagram on one of `sockets` (the game's own first) within timeout_ms: its
// length, with where it came from and on which socket; 0 when none came, -1 on a read
// error (WSAGetLastError says which).
int NetReceive(const std::vector<SOCKET>& sockets, int timeout_ms, char* buffer, int room,
               sockaddr* from, int* from_length, SOCKET* ready);
// The addresses (network order) the machine's own name resolves to, in their order.
bool NetOwnAddresses(std::vector<uint32_t>* out);
// The first address `name` resolves to.
bool NetResolve(const char* name, uint32_t* ip);
// The broadcast address of the first network that is not loopback.
bool NetSubnetBroadcast(in_addr* out);
