// Broadcast tunnelling, the way out: sendto wraps the game's broadcasts (and datagrams
// for players only the relay service reaches) into launcher link messages for the
// launcher on 127.0.0.1:3668 and turns IPX destinations into IPv4 ones. inbound.cpp
// undoes it on the way in.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>

#include "protocol/wire.h"
#include "wsock32/wsock32.h"

using namespace ozlan;
using namespace ozlan::proxy;

namespace {

sockaddr_in Launcher() {
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = mp_inet_addr(kLoopbackText);
    to.sin_port = mp_htons(kRelayPort);
    return to;
}

using SendtoFn = int(WSAAPI*)(SOCKET, const char*, int, int, const sockaddr*, int);

// Sends a broadcast to the launcher as a link message whose port field holds
// `port_field` (two bytes as they stand); with `relayed_to` (a relayed address), a
// datagram for that player instead. The result is the payload count, or SOCKET_ERROR.
int SendToLauncher(SendtoFn sendto, SOCKET s, const char* buffer, int length, int flags,
                   const uint8_t port_field[2], const char* done_line, uint32_t relayed_to = 0) {
    uint8_t message[kLinkMaxMessage];
    // A datagram for a relayed player must fit one message of the relay service.
    size_t limit = relayed_to ? kDirectMaxPayload : kLinkMaxPayload;
    if (length < 0 || size_t(length) > limit) {
        // It does not fit a link message: refused as the platform refuses an oversized datagram.
        mp_WSASetLastError(WSAEMSGSIZE);
        return SOCKET_ERROR;
    }
    message[0] = message[1] = message[2] = message[3] = 0xF9;
    message[4] = port_field[0];
    message[5] = port_field[1];
    message[6] = message[7] = 0;
    uint32_t address = relayed_to ? relayed_to : uint32_t(mp_inet_addr(kLoopbackText));
    std::memcpy(message + kLinkAddressOffset, &address, 4);
    if (length > 0) std::memcpy(message + kLinkHeaderSize, buffer, size_t(length));
    sockaddr_in to = Launcher();
    OZWS_LOG(kTrace,
             "mp_sendto() - sending message to the launcher of size %d(%d header/%d buffer)",
             length + int(kLinkHeaderSize), int(kLinkHeaderSize), length);
    OZWS_LOG(kTrace, "%s", done_line);
    int sent = sendto(s, reinterpret_cast<const char*>(message), length + int(kLinkHeaderSize),
                      flags, reinterpret_cast<sockaddr*>(&to), sizeof to);
    OZWS_LOG(kTrace, "sendto() Launcher - returned %d", sent);
    if (sent == SOCKET_ERROR) return SOCKET_ERROR;
    int result = sent - int(kLinkHeaderSize);
    LogDumpGuard(kSourceWsock32, __LINE__, kTrace, buffer, result);
    return result;
}

int SendIpx(SendtoFn sendto, SOCKET s, const char* buffer, int length, int flags,
            const IpxAddress& ipx) {
    OZWS_LOG(kMilestone,
             "mp_sendto() - IPX - We need to broadcast this message to everone in our virtual IPX "
             "LAN list via TCPIP");
    LogIpxAddressLines("mp_sendto() - ", ipx);
    char dotted[32];
    std::snprintf(dotted, sizeof dotted, "%u.%u.%u.%u", ipx.nodenum[2], ipx.nodenum[3],
                  ipx.nodenum[4], ipx.nodenum[5]);
    unsigned long address = mp_inet_addr(dotted);
    OZWS_LOG(kTrace, "mp_sendto() - to ip addres = %s (%u)", dotted, unsigned(address));
    uint16_t port = MappedPort(ipx.socket);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = mp_htons(port);
    if (ipx.nodenum[0] == 0xFF && ipx.nodenum[1] == 0xFF) {
        OZWS_LOG(
            kTrace,
            "mp_sendto() - IPX LAN BROADCAST we are sending this packet to everyone on our lan "
            "that is listening to port %d",
            int(port));
        return SendToLauncher(sendto, s, buffer, length, flags, ipx.socket,
                              "BROADCASTING OVER VIRTUAL LAN");
    }
    OZWS_LOG(
        kTrace,
        "mp_sendto() - we are sending this packet directly to %s on our lan listening to port %d",
        dotted, int(port));
    to.sin_addr.s_addr = address;
    OZWS_LOG(kTrace, "mp_sendto() - (converted).sin_port = %d", int(port));
    Route route;
    bool to_member =
        ipx.nodenum[0] == 0 && ipx.nodenum[1] == 0 && RouteToMember(uint32_t(address), &route);
    if (ipx.nodenum[0] == 0 && ipx.nodenum[1] == 0) {
        RememberSentTo(uint32_t(address), port, to_member ? &route : nullptr);
    }
    if (to_member) {
        if (route.kind == kRouteThroughLauncher) {
            return SendToLauncher(sendto, s, buffer, length, flags, ipx.socket,
                                  "RELAYING TO A PLAYER BEHIND A ROUTER", route.target);
        }
        to.sin_addr.s_addr = route.target;
    } else if (IsRelayedAddress(uint32_t(address))) {
        return SendToLauncher(sendto, s, buffer, length, flags, ipx.socket,
                              "RELAYING TO A PLAYER BEHIND A ROUTER", uint32_t(address));
    }
    int result = sendto(s, buffer, length, flags, reinterpret_cast<sockaddr*>(&to), sizeof to);
    LogDumpGuard(kSourceWsock32, __LINE__, kTrace, buffer, length);
    return result;
}

}  // namespace

EXPORT int WSAAPI mp_sendto(SOCKET s, const char* buffer, int length, int flags, const sockaddr* to,
                            int to_length) {
    OZWS_LOG(kTrace, "mp_sendto(%d,,%d,%d,,%d)", int(s), length, flags, to_length);
    void* real = BindReal(R_sendto);
    if (!real) return -1;
    auto sendto = reinterpret_cast<SendtoFn>(real);
    int result;
    if (!to || to_length < 8) {
        // No destination to read (a connected socket, or a short address): the
        // platform decides.
        result = sendto(s, buffer, length, flags, to, to_length);
    } else if (FindIPXSock(s) && to_length >= kIpxAddressSize) {
        result =
            SendIpx(sendto, s, buffer, length, flags, *reinterpret_cast<const IpxAddress*>(to));
    } else {
        uint32_t destination;
        std::memcpy(&destination, reinterpret_cast<const uint8_t*>(to) + 4, 4);
        const sockaddr_in* to_sin = reinterpret_cast<const sockaddr_in*>(to);
        // The link message's port field: the destination port through the proxy's own
        // ntohs (so the conversion shows in the log), least significant byte first.
        auto port_field = [to_sin](uint8_t field[2]) {
            u_short port = mp_ntohs(to_sin->sin_port);
            field[0] = uint8_t(port);
            field[1] = uint8_t(port >> 8);
        };
        uint8_t field[2];
        Route route;
        // Broadcasts and loopback never name another member: the launcher is not asked.
        bool to_member = IsUnicastAddress(destination) && RouteToMember(destination, &route);
        if (IsUnicastAddress(destination)) {
            RememberSentTo(destination, Forward<R_ntohs>(u_short(0), to_sin->sin_port),
                           to_member ? &route : nullptr);
        }
        if (to_member && route.kind == kRouteStraight) {
            // Another member whom the game knows by an address of the session: sent to
            // where the member is, so that it sees this game at the address it knows.
            sockaddr_in straight{};
            std::memcpy(&straight, to, std::min(sizeof straight, size_t(to_length)));
            straight.sin_addr.s_addr = route.target;
            result = sendto(s, buffer, length, flags, reinterpret_cast<sockaddr*>(&straight),
                            sizeof straight);
        } else if (to_member || IsRelayedAddress(destination)) {
            // A player whom only the relay service reaches (at any of its addresses):
            // the launcher carries it.
            port_field(field);
            result = SendToLauncher(sendto, s, buffer, length, flags, field,
                                    "RELAYING TO A PLAYER BEHIND A ROUTER",
                                    to_member ? route.target : destination);
        } else if (destination != uint32_t(mp_htonl(0xFFFFFFFFu)) &&
                   !IsOwnNetworkBroadcast(destination)) {
            // The broadcast address of one of the machine's networks is a LAN broadcast too.
            result = sendto(s, buffer, length, flags, to, to_length);
        } else {
            OZWS_LOG(kTrace, "This is a LAN broadcast udp request from the game");
            port_field(field);
            result = SendToLauncher(sendto, s, buffer, length, flags, field,
                                    "BROADCASTING (TCPIP) OVER VIRTUAL LAN");
        }
    }
    OZWS_LOG(kTrace, "mp_sendto() - lp_sendto() returned %d", result);
    if (result == SOCKET_ERROR) {
        int error = mp_WSAGetLastError();
        OZWS_LOG(kTrace, "sendto error = %d", error);
        mp_WSASetLastError(error);
    }
    return result;
}
