// Broadcast tunnelling, the way in: recvfrom and WSARecvFrom strip the link header off
// what the launcher delivers and report the remote player as its source, and give IPX
// sockets IPX addresses.
//
// The link header never takes room of the game's: where the game's buffers are smaller
// than the largest link message, the datagram lands in the proxy's own buffer first and
// only its payload is copied over. A datagram that would fit the game's buffers on a LAN
// fits them here; a larger one is cut to them and the call fails with WSAEMSGSIZE, as
// Winsock does on a LAN.
#include <algorithm>
#include <cstring>

#include "protocol/wire.h"
#include "wsock32/wsock32.h"

using namespace ozlan;
using namespace ozlan::proxy;

namespace {

// What differs between recvfrom and WSARecvFrom: the words of their lines.
struct ReceiveNames {
    const char* prefix;  // "mp_recvfrom() - "
    const char* failed;  // "mp_recvfrom() - IPX - mp_recvfrom failed (%d)"
};
const ReceiveNames kRecvfrom = {"mp_recvfrom() - ",
                                "mp_recvfrom() - IPX - mp_recvfrom failed (%d)"};
const ReceiveNames kWSARecvFrom = {"mp_WSARecvFrom() - ",
                                   "mp_WSARecvFrom() - IPX - mp_WSARecvFrom failed (%d)"};

// The game's buffers: recvfrom's one, or WSARecvFrom's array.
struct GameBuffers {
    WSABUF* parts;
    DWORD count;
    size_t total;
};

// The proxy's own buffer: the largest link message and room for the header beyond a
// game buffer just short of it.
constexpr size_t kStageSize = kLinkMaxMessage + kLinkHeaderSize;

bool FromLauncher(const sockaddr_in& source) {
    if (source.sin_port != mp_htons(kRelayPort)) return false;
    const char* dotted = mp_inet_ntoa(source.sin_addr);
    return dotted && std::strcmp(dotted, kLoopbackText) == 0;
}

// Copies `size` bytes (which may lie in the first game buffer itself) into the game's
// buffers in order; at most their total.
void CopyToGame(const GameBuffers& game, const uint8_t* data, size_t size) {
    for (DWORD i = 0; i < game.count && size > 0; ++i) {
        size_t n = std::min<size_t>(size, game.parts[i].len);
        if (n) std::memmove(game.parts[i].buf, data, n);
        data += n;
        size -= n;
    }
}

// The first `size` bytes of the game's buffers, in one piece.
void GatherFromGame(const GameBuffers& game, uint8_t* out, size_t size) {
    for (DWORD i = 0; i < game.count && size > 0; ++i) {
        size_t n = std::min<size_t>(size, game.parts[i].len);
        std::memcpy(out, game.parts[i].buf, n);
        out += n;
        size -= n;
    }
}

// Lines that lack the module prefix on the IPv4 path go through LogWrite.
#define OZWS_LOG_PATH(ipv4_path, level, ...)                             \
    do {                                                                 \
        if (ipv4_path) {                                                 \
            LogWriteGuard(kSourceWsock32, __LINE__, level, __VA_ARGS__); \
        } else {                                                         \
            OZWS_LOG(level, __VA_ARGS__);                                \
        }                                                                \
    } while (0)

// Reads the link message in the n bytes at `message`: makes `source` the remote player
// and points *payload, *size at what the game gets. False (nothing changed) when the
// bytes are no link message.
bool ConvertFromLauncher(const ReceiveNames& names, bool ipv4_path, sockaddr_in* source,
                         const uint8_t* message, size_t n, const uint8_t** payload, size_t* size) {
    OZWS_LOG(kTrace,
             "%sWe are receiving a broadcasted message from the launcher. We need to convert it to "
             "make it look like it comes from the actual remote player",
             names.prefix);
    uint32_t ip;
    uint16_t port;
    if (!ParseLinkMessage(message, n, &ip, &port)) {
        OZWS_LOG_PATH(ipv4_path, kErrorPassed,
                      "%sWe received a currupted or unknown message from the launcher",
                      names.prefix);
        return false;
    }
    OZWS_LOG(kTrace, "%sbroadcast message is now converted", names.prefix);
    OZWS_LOG_PATH(ipv4_path, kTrace,
                  "%smessage from the launcher is of size %d(%d header/%d buffer)", names.prefix,
                  int(n), int(kLinkHeaderSize), int(n - kLinkHeaderSize));
    source->sin_addr.s_addr = ip;
    source->sin_port = mp_htons(port);
    if (ipv4_path) source->sin_family = AF_INET;
    *payload = message + kLinkHeaderSize;
    *size = n - kLinkHeaderSize;
    return true;
}

// One receive with its conversions. `receive(parts, count, address, length)` makes the
// real call into the buffers it is given and returns its count or SOCKET_ERROR. The
// result is the count now in the game's buffers (in *copied also when the datagram was
// cut, with SOCKET_ERROR and WSAEMSGSIZE), or the real call's failure.
template <class Receive>
int ReceiveAndConvert(const ReceiveNames& names, SOCKET s, const GameBuffers& game, sockaddr* from,
                      int* from_length, size_t* copied, Receive receive) {
    *copied = 0;
    bool ipx = FindIPXSock(s);
    // The game's address buffer on the IPv4 path; otherwise (IPX, or none given) the
    // proxy's own tells where the datagram came from.
    sockaddr_in own{};
    int own_length = sizeof own;
    bool game_address = !ipx && from && from_length;
    sockaddr* address = game_address ? from : reinterpret_cast<sockaddr*>(&own);
    int* address_length = game_address ? from_length : &own_length;

    static_assert(kStageSize <= 0xFFFF);
    uint8_t stage[kStageSize];
    bool staged = game.total < kLinkMaxMessage;
    WSABUF stage_part{ULONG(game.total + kLinkHeaderSize), reinterpret_cast<char*>(stage)};
    int n = staged ? receive(&stage_part, 1, address, address_length)
                   : receive(game.parts, game.count, address, address_length);
    // Longer than the proxy's buffer: the real call filled it and the address.
    bool cut = false;
    if (n == SOCKET_ERROR && staged && Forward<R_WSAGetLastError>(0) == WSAEMSGSIZE) {
        n = int(stage_part.len);
        cut = true;
    }
    if (ipx) OZWS_LOG(kTrace, "lp_recvfrom() returned %d bytes", n);
    if (n == SOCKET_ERROR) {
        if (ipx) {
            int error = mp_WSAGetLastError();
            OZWS_LOG(kMilestone, names.failed, error);
            mp_WSASetLastError(error);
        }
        return n;
    }

    // The datagram in one piece: where it landed, or gathered from several game buffers.
    const uint8_t* datagram = staged ? stage : reinterpret_cast<uint8_t*>(game.parts[0].buf);
    sockaddr_in* source = reinterpret_cast<sockaddr_in*>(address);
    bool readable = *address_length >= int(sizeof(sockaddr_in));
    bool launcher = readable && FromLauncher(*source);
    if (launcher && !staged && game.count > 1) {
        if (size_t(n) <= kStageSize) {
            GatherFromGame(game, stage, size_t(n));
            datagram = stage;
        } else {
            launcher = false;  // longer than any link message: left as it came
        }
    }
    const uint8_t* payload = datagram;
    size_t size = size_t(n);
    if (launcher) ConvertFromLauncher(names, !ipx, source, datagram, size_t(n), &payload, &size);
    // Another member's datagram shows as from the address the game last sent to for it.
    if (readable) ShowAsSentTo(source);
    if (payload != datagram || staged) CopyToGame(game, payload, size);
    *copied = std::min(size, game.total);
    cut = cut || size > game.total;

    if (ipx) {
        OZWS_LOG(kMilestone,
                 "%sIPX - We are receiving a message via TCPIP that needs to be converted back "
                 "into IPX",
                 names.prefix);
        IpxAddress ipx_address = ToIpxAddress(names.prefix, s, own);
        // Written only where the game gave room for it.
        if (from && from_length && *from_length >= kIpxAddressSize) {
            std::memcpy(from, &ipx_address, sizeof ipx_address);
            LogIpxAddressLines(names.prefix, ipx_address);
            *from_length = kIpxAddressSize;
        }
    }
    if (cut) {
        // Cut to the game's buffers, the rest dropped: as Winsock does on a LAN.
        Forward<R_WSASetLastError>(0, int(WSAEMSGSIZE));
        return SOCKET_ERROR;
    }
    return int(*copied);
}

using RecvfromFn = int(WSAAPI*)(SOCKET, char*, int, int, sockaddr*, int*);
using WSARecvFromFn = int(WSAAPI*)(SOCKET, LPWSABUF, DWORD, LPDWORD, LPDWORD, sockaddr*, LPINT,
                                   LPWSAOVERLAPPED, LPWSAOVERLAPPED_COMPLETION_ROUTINE);

}  // namespace

EXPORT int WSAAPI mp_recvfrom(SOCKET s, char* buffer, int length, int flags, sockaddr* from,
                              int* from_length) {
    OZWS_LOG(kTrace, "mp_recvfrom(%d,,%d,%d,,)", int(s), length, flags);
    void* real = BindReal(R_recvfrom);
    if (!real) return -1;
    auto recvfrom = reinterpret_cast<RecvfromFn>(real);
    int n;
    if (!buffer || length < 0) {
        // Nothing the proxy could copy into: the platform answers.
        n = recvfrom(s, buffer, length, flags, from, from_length);
    } else {
        WSABUF part{ULONG(length), buffer};
        size_t copied;
        n = ReceiveAndConvert(
            kRecvfrom, s, GameBuffers{&part, 1, size_t(length)}, from, from_length, &copied,
            [&](WSABUF* parts, DWORD, sockaddr* address, int* address_length) {
                return recvfrom(s, parts[0].buf, int(parts[0].len), flags, address, address_length);
            });
    }
    OZWS_LOG(kTrace, "mp_recvfrom() - lp_recvfrom(%d) returned %d", int(s), n);
    return n;
}

EXPORT int WSAAPI mp_WSARecvFrom(SOCKET s, LPWSABUF buffers, DWORD count, LPDWORD received,
                                 LPDWORD flags, sockaddr* from, LPINT from_length,
                                 LPWSAOVERLAPPED overlapped,
                                 LPWSAOVERLAPPED_COMPLETION_ROUTINE completion) {
    int first_length = buffers && count ? int(buffers[0].len) : 0;
    OZWS_LOG(kTrace, "mp_WSARecvFrom(%d,,%d,%d,,)", int(s), first_length, flags ? int(*flags) : 0);
    void* real = BindReal(R_WSARecvFrom);
    if (!real) return -1;
    if (buffers && count > 0 && (overlapped || completion)) {
        return ReceiveOverlapped(s, buffers, count, received, flags, from, from_length, overlapped,
                                 completion);
    }
    if (!buffers || count == 0) {
        return reinterpret_cast<WSARecvFromFn>(real)(s, buffers, count, received, flags, from,
                                                     from_length, overlapped, completion);
    }
    size_t total = 0;
    for (DWORD i = 0; i < count; ++i) total += buffers[i].len;
    size_t copied;
    int n = ReceiveAndConvert(
        kWSARecvFrom, s, GameBuffers{buffers, count, total}, from, from_length, &copied,
        [&](WSABUF* parts, DWORD part_count, sockaddr* address, int* address_length) {
            DWORD got = 0;
            int result = reinterpret_cast<WSARecvFromFn>(real)(
                s, parts, part_count, &got, flags, address, address_length, nullptr, nullptr);
            return result == SOCKET_ERROR ? SOCKET_ERROR : int(got);
        });
    OZWS_LOG(kTrace, "mp_WSARecvFrom() - lp_recvfrom(%d) returned %d", int(s), n);
    if (received) *received = DWORD(copied);
    if (n == SOCKET_ERROR) return SOCKET_ERROR;
    return 0;
}
