// The launcher side of the broadcast relay: the relay thread forwards the local
// proxy's launcher link messages to the relay service, and DeliverToGame hands the
// relay service's messages to the local proxy.
#include <winsock2.h>
#include <windows.h>

#include <cstring>
#include <vector>

#include "session/routes.h"
#include "session/session.h"
#include "protocol/wire.h"

namespace ozlan {
namespace {

sockaddr_in LoopbackTo(uint16_t port) {
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = inet_addr(kLoopbackText);
    to.sin_port = htons(port);
    return to;
}

}  // namespace

namespace {

// The proxy asks for the address its game may tell other players: the relayed one
// while a router stands between this player and the others, else 0.0.0.0 (the
// machine's own address does); and for its routes to the other members. A player on a
// public address that holds a session address is named by it with a flag: the members
// behind routers see its game there, so its game lists it among its own addresses (after
// them), and a game that compares peers with its own addresses finds them on its network.
void AnswerOwnAddressQuery(SOCKET relay, const uint8_t* query, const sockaddr_in& from) {
    SessionState& s = Session();
    static uint8_t answer[kLinkHeaderSize + kRouteEntrySize * kMaxRoutes];  // relay thread only
    std::memcpy(answer, query, kLinkHeaderSize);
    uint32_t relayed = s.relayed_address;
    bool behind_router = BehindRouter();
    bool session_address = relayed != 0 && !IsRelayedAddress(relayed) && s.session_addresses_wanted;
    StampLinkAddress(answer, kLinkHeaderSize, behind_router || session_address ? relayed : 0);
    answer[kAnswerFlagsOffset] =
        !behind_router && session_address ? kAnswerOwnAddressReachesToo : 0;
    size_t size = kLinkHeaderSize;
    {
        std::lock_guard<std::mutex> guard(s.routes_lock);
        for (size_t i = 0; i < s.route_count; ++i, size += kRouteEntrySize) {
            WriteRoute(answer + size, s.routes[i]);
        }
    }
    sendto(relay, reinterpret_cast<const char*>(answer), int(size), 0,
           reinterpret_cast<const sockaddr*>(&from), sizeof from);
}

// Whether the proxy's datagram names one player to carry it to (a member's relayed
// address), not a broadcast.
bool ForOnePlayer(uint32_t address) {
    SessionState& s = Session();
    if (IsRelayedAddress(address)) return true;
    std::lock_guard<std::mutex> guard(s.routes_lock);
    const Route* route = FindRoute(s.routes, s.route_count, address);
    return route && route->kind == kRouteThroughLauncher && route->target == address;
}

bool ForwardProxyDatagrams(SOCKET relay, int limit);

// Forwards every datagram waiting on the relay socket (at most `limit`) that carries
// the link magic, together at the end (in bundles where the relay reads them); true when
// the socket may hold more.
bool DrainProxyDatagrams(SOCKET relay, int limit) {
    TransportBeginBurst();
    bool more = ForwardProxyDatagrams(relay, limit);
    TransportEndBurst();
    return more;
}

bool ForwardProxyDatagrams(SOCKET relay, int limit) {
    SessionState& s = Session();
    unsigned char buffer[kLinkMaxMessage];
    for (int n = 0; n < limit; ++n) {
        sockaddr_in from{};
        int from_size = sizeof from;
        int got = recvfrom(relay, reinterpret_cast<char*>(buffer), int(sizeof buffer), 0,
                           reinterpret_cast<sockaddr*>(&from), &from_size);
        if (got == SOCKET_ERROR) {
            // An oversized datagram is dropped; anything else means the socket is empty
            // (or closed by the session's end).
            if (WSAGetLastError() == WSAEMSGSIZE) continue;
            return false;
        }
        if (got < 4 || !HasLinkMagic(buffer, size_t(got))) continue;
        if (IsOwnAddressQuery(buffer, size_t(got))) {
            AnswerOwnAddressQuery(relay, buffer, from);
            continue;
        }
        // The proxy sends from the game's own socket: its port is where the game
        // waits for answers.
        uint32_t flags = 0;
        if (got >= int(kLinkHeaderSize) && from.sin_port != 0) {
            SetLinkSourcePort(buffer, ntohs(from.sin_port));
            flags = kRelayFlagSourcePort;
        }
        if (got >= int(kLinkHeaderSize) && ForOnePlayer(LinkAddress(buffer))) {
            // A datagram for one player whom only the relay service reaches: it goes
            // as it is, unacknowledged, or not at all.
            if (s.relayed_address != 0 && size_t(got) <= kDirectMaxMessage &&
                RelayLinkJoined(s.link)) {
                TransportSendDatagram(RelayLinkConnection(s.link), buffer, got, kDirectMessageType);
            }
            continue;
        }
        StampLinkAddress(buffer, size_t(got), uint32_t(inet_addr(s.local_address)));
        ForwardToRemote(buffer, got, flags);
    }
    return true;
}

}  // namespace

unsigned long __stdcall RelayThread(void*) {
    SessionState& s = Session();
    SOCKET relay = socket(AF_INET, SOCK_DGRAM, 0);
    s.relay_socket = intptr_t(relay);
    sockaddr_in any{};
    any.sin_family = AF_INET;
    any.sin_port = htons(kRelayPort);
    if (relay == INVALID_SOCKET ||
        bind(relay, reinterpret_cast<sockaddr*>(&any), sizeof any) == SOCKET_ERROR) {
        s.relay_started = 0;
        return 0;
    }
    u_long non_blocking = 1;
    ioctlsocket(relay, FIONBIO, &non_blocking);
    // Room for a game's burst of broadcasts while the thread is busy forwarding.
    int buffer_bytes = kRelaySocketBuffer;
    setsockopt(relay, SOL_SOCKET, SO_RCVBUF, reinterpret_cast<const char*>(&buffer_bytes),
               sizeof buffer_bytes);
    s.relay_running = 1;

    // The thread also waits on the session connection's socket and handles what
    // arrives there at once; the 20 ms timer keeps the resends and heartbeats.
    SOCKET session = SOCKET(s.endpoint->socket);
    while (s.active) {
        fd_set readable;
        FD_ZERO(&readable);
        FD_SET(relay, &readable);
        FD_SET(session, &readable);
        timeval wait{0, kRelayWaitMs * 1000};
        int ready = select(0, &readable, nullptr, nullptr, &wait);
        if (ready == 0) {
            // A quiet moment: acknowledgements gathered for the relay (sent once the
            // clock moves on) go now rather than at the next arrival or timer.
            TransportPump(false);
            continue;
        }
        if (ready < 0) continue;
        // Batches of the game's broadcasts go out together; arrivals are never
        // left waiting behind a long flood.
        bool more = FD_ISSET(relay, &readable);
        bool arrived = FD_ISSET(session, &readable);
        do {
            if (more) more = DrainProxyDatagrams(relay, kRelayBatch);
            TransportPump(arrived);
            arrived = more;  // a long flood may hide answers that came meanwhile
        } while (more && s.active);
    }
    // The game's last datagrams (a goodbye sent just before it exited) are still waiting
    // here when the session ends: they go out before the thread does.
    DrainProxyDatagrams(relay, kRelayBatch);
    TransportPump(false);
    s.relay_running = 0;
    s.relay_started = 0;
    return 0;
}

void ForwardToRemote(const unsigned char* datagram, int length, uint32_t flags) {
    SessionState& s = Session();
    if (s.session_name[0] == 0 || length < 0) return;
    std::vector<uint8_t> message(kRelayHeaderSize + size_t(length));
    WriteRelayHeader(message.data(), s.session_name, uint32_t(length), flags);
    std::memcpy(message.data() + kRelayHeaderSize, datagram, size_t(length));
    RelayLinkSend(s.link, message.data(), message.size());
}

bool BehindRouter() {
    SessionState& s = Session();
    uint32_t seen = s.seen_address;
    return s.relayed_address != 0 && seen != uint32_t(inet_addr(s.local_address));
}

namespace {

// The relay service's answer to a join that asked for relayed traffic: keep the
// addresses, and tell it this machine's own address (after a rejoin, with the relayed
// address the games knew this player by, to have it back).
void OnAddressMessage(int32_t connection_id, const uint8_t* data, int32_t length) {
    SessionState& s = Session();
    if (length != int32_t(kAddressMessageSize)) return;
    uint32_t relayed, seen;
    ReadAddressMessage(data, &relayed, &seen);
    // From the session's network with session addresses (a relay without them gives
    // one of 198.18.0.0/15).
    const uint8_t* b = reinterpret_cast<const uint8_t*>(&relayed);
    bool session_address =
        s.session_addresses_wanted && IsUnicastAddress(relayed) && b[3] != 0 && b[3] != 255;
    if (!IsRelayedAddress(relayed) && !session_address) return;
    s.seen_address = seen;
    s.relayed_address = relayed;
    uint32_t answer[2] = {uint32_t(inet_addr(s.local_address)), s.previous_relayed_address};
    bool ask_back = answer[1] != 0 && answer[1] != relayed;
    TransportSend(connection_id, answer,
                  int32_t(ask_back ? kOwnAddressRejoinSize : kOwnAddressMessageSize),
                  kAddressMessageType);
    if (!ask_back) s.previous_relayed_address = 0;
}

}  // namespace

void DeliverToGame(const uint8_t* data, int32_t length, int32_t type, int32_t connection_id,
                   void*) {
    SessionState& s = Session();
    if (connection_id != RelayLinkConnection(s.link)) return;
    if (uint32_t(type) == kNoLinkNoticeType || uint32_t(type) == kGoingAwayNoticeType) {
        RelayLinkNotice(connection_id, uint32_t(type));
        return;
    }
    if (uint32_t(type) == kJoinAnswerType && length == int32_t(kJoinAnswerSize)) {
        static const uint32_t kStatus[] = {OZLAN_JOIN_ACCEPTED_PRIVATE, OZLAN_JOIN_WRONG_PASSWORD,
                                           OZLAN_JOIN_NEEDS_PASSWORD, OZLAN_JOIN_SESSION_IS_OPEN};
        if (data[0] < 4) s.join_status = kStatus[data[0]];
        return;
    }
    if (uint32_t(type) == kJoinAnswerType && length == int32_t(kTooManyTriesAnswerSize) &&
        data[0] == kJoinTooManyTries) {
        s.join_status = OZLAN_JOIN_TOO_MANY_TRIES | (uint32_t(data[1]) << 8);
        return;
    }
    if (uint32_t(type) == kAddressMessageType && s.relayed_traffic_wanted) {
        OnAddressMessage(connection_id, data, length);
        return;
    }
    if (uint32_t(type) == kBundlesType && length == 0) {
        // The relay service reads bundles as well: what a pass sends it may share datagrams.
        SetConnectionBundles(connection_id, true);
        return;
    }
    if (uint32_t(type) == kMemberListType) {
        static MemberList list;  // transport passes are serial
        if (length >= 0 && ReadMemberList(data, size_t(length), &list)) OnMemberList(list);
        return;
    }
    if (uint32_t(type) == kMembersMessageType && s.session_addresses_wanted) {
        static MemberAddresses members[kMaxMemberEntries];  // transport passes are serial
        size_t count = 0;
        if (length < 0 || !ReadMembersMessage(data, size_t(length), members, &count)) return;
        std::lock_guard<std::mutex> guard(s.routes_lock);
        s.route_count = BuildRoutes(members, count, s.routes, kMaxRoutes);
        return;
    }
    bool direct = uint32_t(type) == kDirectMessageType && s.relayed_address != 0;
    if (uint32_t(type) != kRelayMessageType && !direct) return;
    if (length <= int32_t(kLinkHeaderSize) || !HasLinkMagic(data, size_t(length))) return;
    sockaddr_in to = LoopbackTo(LinkPort(data));
    intptr_t relay = s.relay_socket;
    if (relay == kNoSocket) return;
    sendto(SOCKET(relay), reinterpret_cast<const char*>(data), length, 0,
           reinterpret_cast<sockaddr*>(&to), sizeof to);
}

}  // namespace ozlan
