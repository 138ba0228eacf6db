// The IPX-aware socket calls: IPX sockets become IPv4 sockets (UDP for NSPROTO_IPX,
// TCP otherwise) bound to the mapped port, with IPX names and options answered.
#include <cstdio>
#include <cstring>

#include "wsock32/wsock32.h"

using namespace ozlan::proxy;

namespace {

const char* const kIpxOptionNames[] = {"IPX_PTYPE",
                                       "IPX_FILTERPTYPE",
                                       "IPX_DSTYPE",
                                       "IPX_STOPFILTERPTYPE",
                                       "IPX_EXTENDED_ADDRESS",
                                       "IPX_RECVHDR",
                                       "IPX_MAXSIZE",
                                       "IPX_ADDRESS",
                                       "IPX_GETNETINFO",
                                       "IPX_GETNETINFO_NORIP",
                                       nullptr,
                                       "IPX_SPXGETCONNECTIONSTATUS",
                                       "IPX_ADDRESS_NOTIFY",
                                       "IPX_MAX_ADAPTER_NUM",
                                       "IPX_RERIPNETNUMBER",
                                       "IPX_RECEIVE_BROADCAST",
                                       "IPX_IMMEDIATESPXACK"};
constexpr int kIpxOptionFirst = 0x4000;
constexpr int kIpxOptionLast = 0x4010;
constexpr int kIpxPacketTypeOption = 0x4000;
constexpr int kIpxFilterPacketTypeOption = 0x4001;
constexpr int kIpxDatastreamTypeOption = 0x4002;
constexpr int kIpxStopFilterPacketTypeOption = 0x4003;
constexpr int kIpxExtendedAddressOption = 0x4004;
constexpr int kIpxReceiveHeaderOption = 0x4005;
constexpr int kIpxMaxSizeOption = 0x4006;
constexpr int kIpxAddressOption = 0x4007;
constexpr int kIpxMaxAdapterNumOption = 0x400D;
constexpr int kIpxReceiveBroadcastOption = 0x400F;
constexpr int kIpxImmediateSpxAckOption = 0x4010;
constexpr int kIpxAddressRecordSize = 24;
// The largest IPX datagram every player's game receives, relayed ones included: IPX's
// largest on Ethernet (1500 bytes less its 30-byte header).
constexpr int kIpxLargestPacket = 1470;
static_assert(kIpxLargestPacket <= int(ozlan::kDirectMaxPayload));
// 10 Mbit/s Ethernet, in the record's unit of 100 bytes per second.
constexpr uint32_t kIpxLinkSpeed = 12500;

const char* IpxOptionName(int option) {
    if (option < kIpxOptionFirst || option > kIpxOptionLast) return nullptr;
    return kIpxOptionNames[option - kIpxOptionFirst];
}

bool IsIpxLevel(int level) {
    return level == kNsprotoIpx || level == kNsprotoSpx || level == kNsprotoSpxII;
}

// The game's error for a missing or short buffer, as the platform would give it.
int BadAddress() {
    mp_WSASetLastError(WSAEFAULT);
    return SOCKET_ERROR;
}

using BindFn = int(WSAAPI*)(SOCKET, const sockaddr*, int);

// A UDP socket bound to one of the machine's own unicast addresses receives only
// datagrams addressed to it, never what the launcher delivers to 127.0.0.1: it is
// bound to all addresses on the same port instead, and getsockname reports the
// address the game asked for. Loopback, multicast and any other socket type are
// bound as asked; so is an address that is not the machine's (the platform's error),
// and a port that is free only on the address asked for.
int BindGameSocket(BindFn bind, SOCKET s, const sockaddr* name, int length) {
    if (length < int(sizeof(sockaddr_in)) || name->sa_family != AF_INET) {
        return bind(s, name, length);
    }
    sockaddr_in asked;
    std::memcpy(&asked, name, sizeof asked);
    const uint8_t* octets = reinterpret_cast<const uint8_t*>(&asked.sin_addr.s_addr);
    if (asked.sin_addr.s_addr == 0 || octets[0] == 127 || octets[0] >= 224) {
        return bind(s, name, length);
    }
    int type = 0;
    int type_length = sizeof type;
    if (Forward<R_getsockopt>(-1, s, int(SOL_SOCKET), int(SO_TYPE), reinterpret_cast<char*>(&type),
                              &type_length) != 0 ||
        type != SOCK_DGRAM) {
        return bind(s, name, length);
    }
    // A probe tells whether the address is the machine's, as the game's own bind would.
    SOCKET probe = Forward<R_socket>(INVALID_SOCKET, int(AF_INET), int(SOCK_DGRAM), 0);
    if (probe == INVALID_SOCKET) return bind(s, name, length);
    sockaddr_in probe_address = asked;
    probe_address.sin_port = 0;
    bool own =
        Forward<R_bind>(-1, probe,
                        static_cast<const sockaddr*>(reinterpret_cast<sockaddr*>(&probe_address)),
                        int(sizeof probe_address)) == 0;
    Forward<R_closesocket>(-1, probe);
    // The relayed (or session) address is the machine's own for its game (its name lists it).
    if (!own && asked.sin_addr.s_addr != RelayedOwnAddress() &&
        asked.sin_addr.s_addr != SessionOwnAddress()) {
        return bind(s, name, length);
    }
    sockaddr_in any = asked;
    any.sin_addr.s_addr = 0;
    if (bind(s, reinterpret_cast<sockaddr*>(&any), sizeof any) == SOCKET_ERROR) {
        return bind(s, name, length);
    }
    RememberBoundAddress(s, asked.sin_addr.s_addr);
    OZWS_LOG(kMilestone,
             "mp_bind() - socket %d bound to all addresses in place of %u.%u.%u.%u, so that "
             "broadcasts from the launcher reach it",
             int(s), octets[0], octets[1], octets[2], octets[3]);
    return 0;
}

void PutLe32(char* out, uint32_t v) {
    for (int i = 0; i < 4; ++i) out[i] = char(uint8_t(v >> (8 * i)));
}

// setsockopt of an IPX-level option the proxy keeps for an IPX socket (they shape IPX
// headers, which its UDP socket does not have): true when it was one, with the
// result in *result. Receiving IPX headers or extended addresses cannot be given:
// asking for them fails as an option the stack does not offer, so the game reads
// datagrams as before.
bool SetKeptIpxOption(SOCKET s, int option, const char* value, int length, int* result) {
    IpxSocketOptions kept;
    if (!GetIPXSockOptions(s, &kept)) return false;
    switch (option) {
        case kIpxPacketTypeOption:
        case kIpxFilterPacketTypeOption:
        case kIpxDatastreamTypeOption:
        case kIpxStopFilterPacketTypeOption:
        case kIpxExtendedAddressOption:
        case kIpxReceiveHeaderOption:
        case kIpxReceiveBroadcastOption:
        case kIpxImmediateSpxAckOption:
            break;
        default:
            return false;
    }
    if (!value || length < int(sizeof(int))) {
        *result = BadAddress();
        return true;
    }
    int v;
    std::memcpy(&v, value, sizeof v);
    *result = 0;
    switch (option) {
        case kIpxPacketTypeOption:
            kept.packet_type = v;
            break;
        case kIpxFilterPacketTypeOption:
            kept.filter_packet_type = v;
            kept.filtering = true;
            break;
        case kIpxDatastreamTypeOption:
            kept.datastream_type = v;
            break;
        case kIpxStopFilterPacketTypeOption:
            kept.filtering = false;
            break;
        case kIpxReceiveBroadcastOption:
            kept.receive_broadcast = v != 0;
            break;
        case kIpxImmediateSpxAckOption:
            kept.immediate_spx_ack = v != 0;
            break;
        default:  // IPX_EXTENDED_ADDRESS, IPX_RECVHDR: off is all there is
            if (v != 0) {
                OZWS_LOG(kMilestone, "mp_setsockopt cannot give socket %d IPX headers (%s)", int(s),
                         IpxOptionName(option));
                mp_WSASetLastError(WSAENOPROTOOPT);
                *result = SOCKET_ERROR;
            }
            break;
    }
    SetIPXSockOptions(s, kept);
    OZWS_LOG(kTrace, "mp_setsockopt kept %s = %d for IPX socket %d", IpxOptionName(option), v,
             int(s));
    return true;
}

// getsockopt of an option the proxy keeps or knows for an IPX socket (an int each);
// true when it was one.
bool GetKeptIpxOption(SOCKET s, int option, char* value, int* length, int* result) {
    IpxSocketOptions kept;
    if (!GetIPXSockOptions(s, &kept)) return false;
    int v;
    switch (option) {
        case kIpxPacketTypeOption:
            v = kept.packet_type;
            break;
        case kIpxFilterPacketTypeOption:
            v = kept.filtering ? kept.filter_packet_type : 0;
            break;
        case kIpxDatastreamTypeOption:
            v = kept.datastream_type;
            break;
        case kIpxStopFilterPacketTypeOption:
        case kIpxExtendedAddressOption:
        case kIpxReceiveHeaderOption:
            v = 0;
            break;
        case kIpxMaxSizeOption:
            v = kIpxLargestPacket;
            break;
        case kIpxReceiveBroadcastOption:
            v = kept.receive_broadcast ? 1 : 0;
            break;
        case kIpxImmediateSpxAckOption:
            v = kept.immediate_spx_ack ? 1 : 0;
            break;
        default:
            return false;
    }
    if (!value || !length || *length < int(sizeof(int))) {
        *result = BadAddress();
        return true;
    }
    PutLe32(value, uint32_t(v));
    *length = int(sizeof(int));
    *result = 0;
    return true;
}

}  // namespace

namespace ozlan::proxy {

// The IPX form of an IPv4 endpoint: node 00 00 w x y z, the socket whose mapped port
// is the endpoint's. Logs the interface and address lines with `prefix`.
IpxAddress ToIpxAddress(const char* prefix, SOCKET s, const sockaddr_in& endpoint) {
    const char* dotted = mp_inet_ntoa(endpoint.sin_addr);
    std::string text = dotted ? dotted : "0.0.0.0";
    u_short port = mp_ntohs(endpoint.sin_port);
    OZWS_LOG(kMilestone, "%sinterface[%d] : address == %s, port == %d", prefix, int(s),
             text.c_str(), int(port));
    unsigned w = 0, x = 0, y = 0, z = 0;
    std::sscanf(text.c_str(), "%u.%u.%u.%u", &w, &x, &y, &z);
    OZWS_LOG(kMilestone, "%saddress = %u.%u.%u.%u", prefix, w, x, y, z);
    IpxAddress a{};
    a.family = kIpxFamily;
    a.nodenum[2] = uint8_t(w);
    a.nodenum[3] = uint8_t(x);
    a.nodenum[4] = uint8_t(y);
    a.nodenum[5] = uint8_t(z);
    a.socket[0] = uint8_t(port);
    a.socket[1] = uint8_t(port >> 8);
    return a;
}

void LogIpxAddressLines(const char* prefix, const IpxAddress& a) {
    OZWS_LOG(kTrace, "%s sa_netnum[4] = %.2X %.2X %.2X %.2X", prefix, a.netnum[0], a.netnum[1],
             a.netnum[2], a.netnum[3]);
    OZWS_LOG(kTrace, "%ssa_nodenum[6] = %.2X %.2X %.2X %.2X %.2X %.2X", prefix, a.nodenum[0],
             a.nodenum[1], a.nodenum[2], a.nodenum[3], a.nodenum[4], a.nodenum[5]);
    OZWS_LOG(kTrace, "%s    sa_socket = %d", prefix, int(MappedPort(a.socket)));
}

}  // namespace ozlan::proxy

SOCKET ozlan::proxy::OpenGameSocket(int family, int type, int protocol, SocketMaker make,
                                    void* context) {
    SOCKET s;
    if (family == kIpxFamily) {
        OZWS_LOG(kMilestone,
                 "There is a request for an IPX socket. We need to convert this to TCPIP");
        s = make(context, AF_INET, protocol == kNsprotoIpx ? SOCK_DGRAM : SOCK_STREAM, 0);
        if (s == INVALID_SOCKET) {
            int error = mp_WSAGetLastError();
            OZWS_LOG(kErrorPassed, "lp_socket failed to create the new IPX socket. Error:%d",
                     error);
            mp_WSASetLastError(error);
        } else {
            AddIPXSock(s);
        }
    } else {
        s = make(context, family, type, protocol);
        // A handle the platform hands out again (its socket closed by WSACleanup, not
        // closesocket) must not inherit the address an earlier socket asked for.
        if (s != INVALID_SOCKET) ForgetBoundAddress(s);
    }
    return s;
}

EXPORT SOCKET WSAAPI mp_socket(int family, int type, int protocol) {
    OZWS_LOG(kTrace, "mp_socket(%d,%d,%d)", family, type, protocol);
    void* real = BindReal(R_socket);
    if (!real) return INVALID_SOCKET;
    SOCKET s = OpenGameSocket(
        family, type, protocol,
        [](void* create, int f, int t, int p) {
            return reinterpret_cast<SOCKET(WSAAPI*)(int, int, int)>(create)(f, t, p);
        },
        real);
    OZWS_LOG(kMilestone, "socket() returned %d", int(s));
    if (family == AF_INET) {
        OZWS_LOG(kTrace, "Socket %d is using a UDP/TCP address family type", int(s));
    } else if (family == kIpxFamily) {
        OZWS_LOG(kTrace, "Socket %d is using a IPX/SPX address family type", int(s));
    } else {
        OZWS_LOG(kTrace, "Socket %d is using an unknown address family type", int(s));
    }
    if (type == SOCK_STREAM) {
        OZWS_LOG(kTrace, "Socket %d is using SOCK_STREAM", int(s));
    } else if (type == SOCK_DGRAM) {
        OZWS_LOG(kTrace, "Socket %d is using SOCK_DGRAM", int(s));
    } else {
        OZWS_LOG(kTrace, "Socket %d is using neither SOCK_STREAM or SOCK_DGRAM", int(s));
    }
    return s;
}

EXPORT int WSAAPI mp_bind(SOCKET s, const sockaddr* name, int length) {
    OZWS_LOG(kTrace, "mp_bind(%d,,%d)", int(s), length);
    void* real = BindReal(R_bind);
    if (!real) return -1;
    auto bind = reinterpret_cast<BindFn>(real);
    int result;
    if (!name || length < 2) {
        result = BadAddress();
    } else if (reinterpret_cast<const IpxAddress*>(name)->family == kIpxFamily) {
        OZWS_LOG(kMilestone,
                 "IPX - there is an attempt to bind an IPX socket. We need to convert it to a "
                 "TCPIP bind");
        if (length < kIpxAddressSize) {
            result = BadAddress();
        } else {
            const IpxAddress& ipx = *reinterpret_cast<const IpxAddress*>(name);
            LogIpxAddressLines("", ipx);
            sockaddr_in any{};
            any.sin_family = AF_INET;
            any.sin_addr.s_addr = mp_htonl(0);
            any.sin_port = mp_htons(MappedPort(ipx.socket));
            result = bind(s, reinterpret_cast<sockaddr*>(&any), sizeof any);
        }
    } else {
        result = BindGameSocket(bind, s, name, length);
    }
    OZWS_LOG(kTrace, "bind() returned %d", result);
    if (result == SOCKET_ERROR) {
        int error = mp_WSAGetLastError();
        OZWS_LOG(kMilestone, "mp_bind error = %d", error);
        mp_WSASetLastError(error);
    }
    return result;
}

EXPORT int WSAAPI mp_getsockname(SOCKET s, sockaddr* name, int* length) {
    OZWS_LOG(kTrace, "mp_getsockname(%d,,)", int(s));
    void* real = BindReal(R_getsockname);
    if (!real) return -1;
    auto getsockname = reinterpret_cast<int(WSAAPI*)(SOCKET, sockaddr*, int*)>(real);
    int result;
    if (!FindIPXSock(s)) {
        result = getsockname(s, name, length);
        uint32_t asked;
        if (result == 0 && name && length && *length >= int(sizeof(sockaddr_in)) &&
            BoundAddressOf(s, &asked)) {
            // Behind a router the address others reach the game at is the relayed one.
            uint32_t relayed = RelayedOwnAddress();
            reinterpret_cast<sockaddr_in*>(name)->sin_addr.s_addr = relayed ? relayed : asked;
        }
    } else if (!name || !length || *length < kIpxAddressSize) {
        result = BadAddress();
    } else {
        OZWS_LOG(kTrace, "IPX - there is an attempt to get a name for an IPX socket.");
        sockaddr_in own{};
        int own_length = sizeof own;
        result = getsockname(s, reinterpret_cast<sockaddr*>(&own), &own_length);
        // A failed call filled nothing to convert: the game's buffers stay as they were.
        if (result != SOCKET_ERROR) {
            // Bound to all addresses, the socket's node would read 0, which nobody can
            // reach: games put this address into their messages for others to join.
            // Behind a router, only the relayed address reaches it.
            if (own.sin_addr.s_addr == 0) own.sin_addr.s_addr = IpxNodeAddress();
            IpxAddress ipx = ToIpxAddress("", s, own);
            std::memcpy(name, &ipx, sizeof ipx);
            LogIpxAddressLines("", ipx);
            *length = kIpxAddressSize;
        }
    }
    OZWS_LOG(kTrace, "lp_getsockname returned %d", result);
    return result;
}

EXPORT int WSAAPI mp_ioctlsocket(SOCKET s, long command, u_long* argument) {
    OZWS_LOG(kTrace, "mp_ioctlsocket(%d,%d,)", int(s), int(command));
    switch (uint32_t(command)) {
        case 0x8004667Eu:
            OZWS_LOG(kTrace, "mp_ioctlsocket called with a command of FIONBIO");
            break;
        case 0x4004667Fu:
            OZWS_LOG(kTrace, "mp_ioctlsocket called with a command of FIONREAD");
            break;
        case 0x40047307u:
            OZWS_LOG(kTrace, "mp_ioctlsocket called with a command of SIOCATMARK");
            break;
        default:
            OZWS_LOG(kTrace, "mp_ioctlsocket called with an unknown command");
            break;
    }
    int result = -1;
    if (!Call<R_ioctlsocket>(&result, s, command, argument)) return -1;
    OZWS_LOG(kTrace, "lp_ioctlsocket() returned %d", result);
    return result;
}

EXPORT int WSAAPI mp_setsockopt(SOCKET s, int level, int option, const char* value, int length) {
    OZWS_LOG(kTrace, "mp_setsockopt(%d,%d,%d,,%d)", int(s), level, option, length);
    void* real = BindReal(R_setsockopt);
    if (!real) return -1;
    if (FindIPXSock(s)) {
        OZWS_LOG(kMilestone,
                 "mp_setsockopt is trying to set an option on an IPX socket. We may need to "
                 "intercept it");
    }
    if (IsIpxLevel(level)) {
        OZWS_LOG(kTrace, "mp_setsockopt level set to %s",
                 level == kNsprotoIpx   ? "NSPROTO_IPX"
                 : level == kNsprotoSpx ? "NSPROTO_SPX"
                                        : "NSPROTO_SPXII");
        OZWS_LOG(kTrace, "mp_setsockopt level set to IPX/SPX/SPXII");
        const char* name = IpxOptionName(option);
        // The two options getsockopt answers itself have no name here.
        if (name && option != kIpxAddressOption && option != kIpxMaxAdapterNumOption) {
            OZWS_LOG(kTrace, "mp_setsockopt called with optname %s", name);
        } else {
            OZWS_LOG(kTrace, "mp_setsockopt called with optname (%d)", option);
        }
    }
    int result;
    if (level == kNsprotoIpx && SetKeptIpxOption(s, option, value, length, &result)) {
        return result;
    }
    result = reinterpret_cast<int(WSAAPI*)(SOCKET, int, int, const char*, int)>(real)(
        s, level, option, value, length);
    OZWS_LOG(kTrace, "lp_setsockopt returned %d", result);
    if (result == SOCKET_ERROR) {
        OZWS_LOG(kErrorPassed, "lp_setsockopt error = %d\n", mp_WSAGetLastError());
    }
    return result;
}

EXPORT int WSAAPI mp_getsockopt(SOCKET s, int level, int option, char* value, int* length) {
    OZWS_LOG(kTrace, "mp_getsockopt(%d,%d,%d,,)", int(s), level, option);
    void* real = BindReal(R_getsockopt);
    if (!real) return -1;
    if (FindIPXSock(s)) {
        OZWS_LOG(kMilestone,
                 "mp_getsockopt is trying to get infomation on an IPX socket. We may need to "
                 "intercept it");
    }
    if (level == kNsprotoIpx && option == kIpxAddressOption) {
        OZWS_LOG(kTrace, "mp_getsockopt called with optname IPX_ADDRESS");
        if (!value || !length || *length < kIpxAddressRecordSize) return BadAddress();
        // The game names the adapter (0-based); there is one, whose network number and
        // node are those getsockname gives an IPX socket, so that a game that takes
        // its own address from here advertises one the others reach.
        int adapter;
        std::memcpy(&adapter, value, sizeof adapter);
        if (adapter != 0) {
            mp_WSASetLastError(WSAEINVAL);
            return SOCKET_ERROR;
        }
        uint32_t node = IpxNodeAddress();
        char record[kIpxAddressRecordSize] = {};
        std::memcpy(record + 10, &node, 4);  // node 00 00 + the address; network 0
        // wan and status 0: a LAN card, not a WAN link
        PutLe32(record + 16, uint32_t(kIpxLargestPacket));
        PutLe32(record + 20, kIpxLinkSpeed);
        std::memcpy(value, record, sizeof record);
        *length = kIpxAddressRecordSize;
        return 0;
    }
    if (level == kNsprotoIpx && option == kIpxMaxAdapterNumOption) {
        OZWS_LOG(kTrace, "mp_getsockopt called with optname IPX_MAX_ADAPTER_NUM");
        if (!value || !length || *length < 1) return BadAddress();
        // An int, as the option's value is; one byte only for a buffer that short.
        if (*length >= int(sizeof(int))) {
            PutLe32(value, 1);
            *length = int(sizeof(int));
        } else {
            value[0] = 1;
            *length = 1;
        }
        return 0;
    }
    if (level == kNsprotoIpx) {
        if (const char* name = IpxOptionName(option)) {
            OZWS_LOG(kTrace, "mp_getsockopt called with optname %s", name);
        }
    }
    int result;
    if (level == kNsprotoIpx && GetKeptIpxOption(s, option, value, length, &result)) {
        return result;
    }
    result = reinterpret_cast<int(WSAAPI*)(SOCKET, int, int, char*, int*)>(real)(s, level, option,
                                                                                 value, length);
    OZWS_LOG(kTrace, "lp_getsockopt returned %d", result);
    return result;
}
