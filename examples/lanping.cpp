// lanping: a small LAN game of the old kind. A host waits for a query broadcast on a
// fixed UDP port (or IPX socket) and answers the sender directly; a joiner
// broadcasts the query until a host answers, then both exchange directed datagrams.
// Links Winsock 1.1 (wsock32) as old games do, or Winsock 2. Options teach it what real games do:
// a host bound to its host's own address, a joiner that queries from a port of its
// own, an IPX host that advertises the address getsockname gave it (or takes its
// address from the IPX card, IPX_ADDRESS, and binds to it), broadcasts to the
// network's own broadcast address, a server that moves each client to a port of its
// own and accepts only that client's exact address there, a LAN check that refuses
// peers on other networks, a client that connects to a host by its name, datagrams as
// large as the buffer they are received into, a client that takes answers only from
// exactly the address and port it sent to. Built twice (lanping_net.h): with Winsock 1.1
// as lanping.exe, with Winsock 2 only as lanping2.exe.
#include <winsock2.h>
#include <windows.h>
// After winsock2.h.
#include <iphlpapi.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "examples/lanping_net.h"

namespace {

constexpr int kIpxFamily = 6;
constexpr int kNsprotoIpx = 1000;

struct IpxAddress {
    uint16_t family;
    uint8_t netnum[4];
    uint8_t nodenum[6];
    uint8_t socket[2];
};

struct Options {
    bool host = false;
    bool ipx = false;
    int port = 0;  // UDP port, or IPX socket number
    std::string name = "player";
    int count = 5;
    int players = 1;     // host: joiners to wait for (each says goodbye)
    int broadcasts = 0;  // extra timed broadcasts after discovery (latency measurement)
    int timeout_seconds = 30;
    int interval_ms = 300;
    bool bind_own_address = false;  // bind to the host's own address, not all addresses
    int client_port = -1;           // joiner: its own port or IPX socket; 0 = left to the platform
    bool advertise = false;         // host names its getsockname address; joiner plays there
    bool subnet_broadcast = false;  // broadcast to the network's broadcast address
    // IPX: count the adapters, take adapter 0's address (IPX_ADDRESS), set packet type 4
    // and bind to that address, as some IPX games do; it is the one advertised.
    bool card_address = false;
    // Host: each client gets a port of its own (the game's port + 1, + 2, ...) with its
    // first ping; there only datagrams from the client's exact address and port count.
    bool per_client_port = false;
    // Peers count only when they are on the LAN: a private address, or one on a network
    // of this machine, by the address class of its addresses ("class") or by its
    // interfaces' masks ("mask"); or only one on the class network of one of its
    // addresses, private or not ("own-class"). Empty ("none"): no check.
    std::string lan_check;
    std::string connect_name;  // joiner: query this host by name instead of broadcasting
    // Every datagram exactly this long (the text, a NUL, then filler), received into a
    // buffer of exactly this size, as games whose largest datagram fills their buffer.
    int payload = 0;
    // Joiner: an answer counts only when it comes from exactly the address and port the
    // ping went to (after a move, the host's port for this client at that address).
    bool strict_replies = false;
    // Winsock 2 build: overlapped receives report through completion routines.
    bool completion_routines = false;
};

// What getsockopt(NSPROTO_IPX, IPX_ADDRESS) fills in, 24 bytes.
struct IpxCard {
    int adapter;
    uint8_t netnum[4];
    uint8_t nodenum[6];
    uint8_t wan;
    uint8_t status;
    int largest_packet;
    uint32_t link_speed;
};
static_assert(sizeof(IpxCard) == 24);
constexpr int kIpxPacketType = 0x4000;
constexpr int kIpxAddress = 0x4007;
constexpr int kIpxMaxAdapterNum = 0x400D;

// The address a datagram came from, in whichever family the game uses.
struct Peer {
    sockaddr_storage address{};
    int length = 0;
    std::string Text() const {
        char text[64];
        if (address.ss_family == kIpxFamily) {
            const auto* a = reinterpret_cast<const IpxAddress*>(&address);
            std::snprintf(text, sizeof text, "IPX node %02X%02X%02X%02X%02X%02X socket %u",
                          a->nodenum[0], a->nodenum[1], a->nodenum[2], a->nodenum[3], a->nodenum[4],
                          a->nodenum[5], unsigned((a->socket[0] << 8) | a->socket[1]));
        } else {
            const auto* a = reinterpret_cast<const sockaddr_in*>(&address);
            std::snprintf(text, sizeof text, "%s:%u", inet_ntoa(a->sin_addr),
                          unsigned(ntohs(a->sin_port)));
        }
        return text;
    }
};

int64_t NowUs() {
    static LARGE_INTEGER frequency = [] {
        LARGE_INTEGER f;
        QueryPerformanceFrequency(&f);
        return f;
    }();
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    return int64_t(double(now.QuadPart) * 1e6 / double(frequency.QuadPart));
}

int Usage() {
    std::fprintf(stderr,
                 "usage: lanping host|join (--udp PORT | --ipx SOCKET) [--name NAME] [--count N]\n"
                 "               [--broadcasts N] [--timeout SECONDS] [--interval MS]\n"
                 "               [--bind-own-address] [--client-port N] [--advertise]\n"
                 "               [--subnet-broadcast] [--players N] [--card-address]\n"
                 "               [--per-client-port] [--lan-check class|mask|own-class|none] "
                 "[--connect NAME]\n"
                 "               [--payload BYTES] [--strict-replies] [--completion-routines]\n");
    return 2;
}

bool Parse(int argc, char** argv, Options* o) {
    if (argc < 2) return false;
    std::string role = argv[1];
    if (role != "host" && role != "join") return false;
    o->host = role == "host";
    for (int i = 2; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "--bind-own-address") {
            o->bind_own_address = true;
            continue;
        }
        if (arg == "--strict-replies") {
            o->strict_replies = true;
            continue;
        }
        if (arg == "--advertise") {
            o->advertise = true;
            continue;
        }
        if (arg == "--subnet-broadcast") {
            o->subnet_broadcast = true;
            continue;
        }
        if (arg == "--card-address") {
            o->card_address = true;
            continue;
        }
        if (arg == "--completion-routines") {
            o->completion_routines = true;
            continue;
        }
        if (arg == "--per-client-port") {
            o->per_client_port = true;
            continue;
        }
        if (i + 1 >= argc) return false;
        const char* v = argv[++i];
        if (arg == "--client-port") {
            o->client_port = std::atoi(v);
        } else if (arg == "--udp" || arg == "--ipx") {
            o->ipx = arg == "--ipx";
            o->port = std::atoi(v);
        } else if (arg == "--name") {
            o->name = v;
        } else if (arg == "--count") {
            o->count = std::atoi(v);
        } else if (arg == "--players") {
            o->players = std::atoi(v);
        } else if (arg == "--broadcasts") {
            o->broadcasts = std::atoi(v);
        } else if (arg == "--timeout") {
            o->timeout_seconds = std::atoi(v);
        } else if (arg == "--interval") {
            o->interval_ms = std::atoi(v);
        } else if (arg == "--lan-check" && (std::string(v) == "class" || std::string(v) == "mask" ||
                                            std::string(v) == "own-class")) {
            o->lan_check = v;
        } else if (arg == "--lan-check" && std::string(v) == "none") {
            o->lan_check.clear();
        } else if (arg == "--connect") {
            o->connect_name = v;
        } else if (arg == "--payload") {
            o->payload = std::atoi(v);
        } else {
            return false;
        }
    }
    return o->port > 0 && o->port < 65536 && o->count >= 0 && o->players > 0 &&
           o->timeout_seconds > 0 && o->client_port < 65536 &&
           (o->payload == 0 || (o->payload >= 128 && o->payload <= 65507));
}

// The host's own address, as a server that binds to it finds it: its name's first
// address that is not loopback.
bool OwnAddress(in_addr* out) {
    std::vector<uint32_t> addresses;
    if (!NetOwnAddresses(&addresses)) return false;
    for (uint32_t ip : addresses) {
        if ((ip & 0xFF) == 127) continue;
        out->s_addr = ip;
        return true;
    }
    return false;
}

uint32_t HostOrder(uint32_t ip) {
    return ntohl(ip);
}

// The classful network of an address (host order): A /8, B /16, C /24.
uint32_t ClassfulNetwork(uint32_t ip) {
    if (ip >> 31 == 0) return ip & 0xFF000000u;
    if (ip >> 30 == 2) return ip & 0xFFFF0000u;
    return ip & 0xFFFFFF00u;
}

bool PrivateAddress(uint32_t ip) {
    return (ip >> 24) == 10 || (ip >> 20) == 0xAC1 || (ip >> 16) == 0xC0A8 || (ip >> 24) == 127;
}

// Whether `ip` (network order) is a LAN peer for the check `how`: private, or on one of
// this machine's networks, by class (the addresses its name lists) or by mask (its
// interfaces).
bool OnLan(uint32_t ip, const std::string& how) {
    uint32_t peer = HostOrder(ip);
    // "own-class": only a peer on the class network of one of this machine's addresses,
    // private or not (a server that otherwise treats it as an internet player).
    if (how != "own-class" && PrivateAddress(peer)) return true;
    if (how == "class" || how == "own-class") {
        std::vector<uint32_t> addresses;
        NetOwnAddresses(&addresses);
        for (uint32_t own : addresses) {
            if (ClassfulNetwork(HostOrder(own)) == ClassfulNetwork(peer)) return true;
        }
        return false;
    }
    unsigned char storage[16 * 1024];
    auto* table = reinterpret_cast<MIB_IPADDRTABLE*>(storage);
    ULONG size = sizeof storage;
    if (GetIpAddrTable(table, &size, FALSE) != NO_ERROR) return false;
    for (DWORD i = 0; i < table->dwNumEntries; ++i) {
        DWORD mask = table->table[i].dwMask;
        if ((table->table[i].dwAddr & mask) == (ip & mask) && mask != 0) return true;
    }
    return false;
}

std::string Hex(const void* data, size_t size) {
    std::string text;
    char two[3];
    for (size_t i = 0; i < size; ++i) {
        std::snprintf(two, sizeof two, "%02X", static_cast<const uint8_t*>(data)[i]);
        text += two;
    }
    return text;
}

bool FromHex(const std::string& text, Peer* peer) {
    if (text.empty() || text.size() % 2 || text.size() / 2 > sizeof peer->address) return false;
    auto* bytes = reinterpret_cast<uint8_t*>(&peer->address);
    for (size_t i = 0; i < text.size() / 2; ++i) {
        unsigned byte = 0;
        if (std::sscanf(text.c_str() + 2 * i, "%2X", &byte) != 1) return false;
        bytes[i] = uint8_t(byte);
    }
    peer->length = int(text.size() / 2);
    return true;
}

class Game {
  public:
    explicit Game(const Options& o) : o_(o) {}

    bool Open() {
        if (!NetStart(o_.completion_routines)) {
            return Error(o_.completion_routines ? "--completion-routines needs lanping2.exe"
                                                : "WSAStartup failed");
        }
        // A joiner with a port of its own queries from there; 0 leaves the socket
        // unbound, and its first sendto takes a port the platform picks.
        int port = !o_.host && o_.client_port >= 0 ? o_.client_port : o_.port;
        s_ = OpenSocket(port, &own_);
        if (s_ == INVALID_SOCKET) return false;
        if (own_.length > 0) {
            std::printf("%s: playing from %s\n", o_.host ? "host" : "join", own_.Text().c_str());
        }
        return true;
    }

    // A socket of the game's on `port` (UDP port or IPX socket; 0: unbound UDP), bound
    // as the options say; `own` gets what getsockname said (the card's address with
    // --card-address). INVALID_SOCKET, said why, when it cannot be made.
    SOCKET OpenSocket(int port, Peer* own) {
        SOCKET s =
            o_.ipx ? NetSocket(kIpxFamily, SOCK_DGRAM, kNsprotoIpx) : NetSocket(AF_INET, SOCK_DGRAM, 0);
        if (s == INVALID_SOCKET) return Error("no socket"), INVALID_SOCKET;
        BOOL on = TRUE;
        setsockopt(s, SOL_SOCKET, SO_BROADCAST, reinterpret_cast<char*>(&on), sizeof on);
        if (port == 0 && !o_.ipx) return s;
        int result;
        IpxCard card{};
        if (o_.ipx) {
            IpxAddress local{};
            local.family = kIpxFamily;
            local.socket[0] = uint8_t(port >> 8);
            local.socket[1] = uint8_t(port);
            if (o_.card_address) {
                if (!ReadCard(s, &card)) return INVALID_SOCKET;
                std::memcpy(local.netnum, card.netnum, 4);
                std::memcpy(local.nodenum, card.nodenum, 6);
            }
            result = bind(s, reinterpret_cast<sockaddr*>(&local), sizeof local);
        } else {
            sockaddr_in local{};
            local.sin_family = AF_INET;
            local.sin_port = htons(u_short(port));
            if (o_.bind_own_address && !OwnAddress(&local.sin_addr)) {
                return Error("this host's name has no address to bind to"), INVALID_SOCKET;
            }
            result = bind(s, reinterpret_cast<sockaddr*>(&local), sizeof local);
        }
        if (result != 0) return Error("cannot bind the game's port"), INVALID_SOCKET;
        own->length = sizeof own->address;
        getsockname(s, reinterpret_cast<sockaddr*>(&own->address), &own->length);
        if (o_.ipx && o_.card_address) {
            // The game's own address is the card's, with the socket it bound.
            auto* a = reinterpret_cast<IpxAddress*>(&own->address);
            std::memcpy(a->netnum, card.netnum, 4);
            std::memcpy(a->nodenum, card.nodenum, 6);
            if (s_ == INVALID_SOCKET) {
                std::printf("%s: the IPX card's address is node %s, network %s, %d-byte packets\n",
                            o_.host ? "host" : "join", Hex(card.nodenum, 6).c_str(),
                            Hex(card.netnum, 4).c_str(), card.largest_packet);
            }
        }
        return s;
    }

    // The adapter count, adapter 0's address and packet type 4, as an IPX game asks
    // for them; false (said why) when the stack refuses.
    bool ReadCard(SOCKET s, IpxCard* card) {
        int count = -1;
        int n = sizeof count;
        if (getsockopt(s, kNsprotoIpx, kIpxMaxAdapterNum, reinterpret_cast<char*>(&count), &n) !=
                0 ||
            count < 1) {
            return Error("no IPX adapter");
        }
        card->adapter = 0;
        n = sizeof *card;
        if (getsockopt(s, kNsprotoIpx, kIpxAddress, reinterpret_cast<char*>(card), &n) != 0) {
            return Error("no address for IPX adapter 0");
        }
        int packet_type = 4;
        if (setsockopt(s, kNsprotoIpx, kIpxPacketType, reinterpret_cast<char*>(&packet_type),
                       sizeof packet_type) != 0) {
            return Error("the IPX stack refused packet type 4");
        }
        return true;
    }

    bool Broadcast(const std::string& text) {
        if (o_.ipx) {
            IpxAddress to{};
            to.family = kIpxFamily;
            std::memset(to.nodenum, 0xFF, 6);
            to.socket[0] = uint8_t(o_.port >> 8);
            to.socket[1] = uint8_t(o_.port);
            std::string datagram = Padded(text);
            return NetSendTo(s_, datagram.data(), int(datagram.size()),
                             reinterpret_cast<sockaddr*>(&to), sizeof to) >= 0;
        }
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_addr.s_addr = INADDR_BROADCAST;
        if (o_.subnet_broadcast && !NetSubnetBroadcast(&to.sin_addr)) return false;
        to.sin_port = htons(u_short(o_.port));
        std::string datagram = Padded(text);
        return NetSendTo(s_, datagram.data(), int(datagram.size()),
                         reinterpret_cast<sockaddr*>(&to), sizeof to) >= 0;
    }

    bool SendTo(const Peer& peer, const std::string& text, SOCKET from = INVALID_SOCKET) {
        std::string datagram = Padded(text);
        return NetSendTo(from == INVALID_SOCKET ? s_ : from, datagram.data(),
                         int(datagram.size()), reinterpret_cast<const sockaddr*>(&peer.address),
                         peer.length) >= 0;
    }

    // --payload: the text, a NUL and filler that names its place (so a cut or shifted
    // datagram shows), to exactly the payload's length.
    std::string Padded(const std::string& text) const {
        if (o_.payload <= int(text.size())) return text;
        std::string datagram = text;
        datagram.push_back('\0');
        while (int(datagram.size()) < o_.payload)
            datagram.push_back(char('a' + datagram.size() % 26));
        return datagram;
    }
    bool PaddingIntact(const std::string& datagram) const {
        size_t end = datagram.find('\0');
        if (end == std::string::npos || int(datagram.size()) != o_.payload) return false;
        for (size_t i = end + 1; i < datagram.size(); ++i) {
            if (datagram[i] != char('a' + i % 26)) return false;
        }
        return true;
    }

    // The next datagram within timeout_ms on the game's socket or a client's (which
    // one in *on); false when none came.
    bool Receive(std::string* text, Peer* from, int timeout_ms, SOCKET* on = nullptr) {
        std::vector<SOCKET> sockets{s_};
        for (const Client& c : clients_) sockets.push_back(c.s);
        static char buffer[65536];
        int room = o_.payload > 0 ? o_.payload : 2048;
        from->length = sizeof from->address;
        SOCKET ready = s_;
        int got = NetReceive(sockets, timeout_ms, buffer, room,
                             reinterpret_cast<sockaddr*>(&from->address), &from->length, &ready);
        if (got == 0) return false;
        if (got < 0) {
            if (++read_errors_ == 1) {
                std::printf("%s: read error %d\n", o_.host ? "host" : "join", WSAGetLastError());
                std::fflush(stdout);
            }
            return false;
        }
        text->assign(buffer, size_t(got));
        if (o_.payload > 0 && !PaddingIntact(*text)) {
            std::printf("%s: a datagram of %d bytes arrived cut or changed (%d sent)\n",
                        o_.host ? "host" : "join", got, o_.payload);
            std::fflush(stdout);
            return false;
        }
        if (on) *on = ready;
        return true;
    }

    // The LAN check: false, said once per address, for a peer that is not on the LAN.
    // An IPX node carries the peer's IPv4 address in its last four bytes.
    bool PeerOnLan(const Peer& peer) {
        if (o_.lan_check.empty()) return true;
        uint32_t ip;
        if (peer.address.ss_family == kIpxFamily) {
            const auto* a = reinterpret_cast<const IpxAddress*>(&peer.address);
            if (a->nodenum[0] != 0 || a->nodenum[1] != 0) return true;
            std::memcpy(&ip, a->nodenum + 2, 4);
        } else {
            ip = reinterpret_cast<const sockaddr_in*>(&peer.address)->sin_addr.s_addr;
        }
        if (OnLan(ip, o_.lan_check)) return true;
        if (refused_.insert(peer.Text()).second) {
            std::printf("%s: refused %s: not on the LAN (%s check)\n", o_.host ? "host" : "join",
                        peer.Text().c_str(), o_.lan_check.c_str());
            std::fflush(stdout);
        }
        return false;
    }

    // A client moved to a port of its own.
    struct Client {
        SOCKET s;
        Peer peer;  // the exact address and port accepted there
        int port;
        int dropped = 0;
    };
    Client* ClientAt(const Peer& peer) {
        for (Client& c : clients_) {
            if (c.peer.Text() == peer.Text()) return &c;
        }
        return nullptr;
    }
    Client* ClientOn(SOCKET s) {
        for (Client& c : clients_) {
            if (c.s == s) return &c;
        }
        return nullptr;
    }

    int Host();
    int Join();

    // The host's name as the game resolves it, with the game's port.
    bool Resolve(const std::string& name, Peer* peer) {
        uint32_t ip;
        if (!NetResolve(name.c_str(), &ip)) return false;
        if (o_.ipx) {
            auto* a = reinterpret_cast<IpxAddress*>(&peer->address);
            *a = IpxAddress{};
            a->family = kIpxFamily;
            std::memcpy(a->nodenum + 2, &ip, 4);
            a->socket[0] = uint8_t(o_.port >> 8);
            a->socket[1] = uint8_t(o_.port);
            peer->length = sizeof *a;
        } else {
            auto* a = reinterpret_cast<sockaddr_in*>(&peer->address);
            *a = sockaddr_in{};
            a->sin_family = AF_INET;
            a->sin_addr.s_addr = ip;
            a->sin_port = htons(u_short(o_.port));
            peer->length = sizeof *a;
        }
        return true;
    }

    // Points the peer at another port (IPX: socket); false when it already was.
    static bool MovePeer(Peer* peer, int port) {
        if (peer->address.ss_family == kIpxFamily) {
            auto* a = reinterpret_cast<IpxAddress*>(&peer->address);
            if (((a->socket[0] << 8) | a->socket[1]) == port) return false;
            a->socket[0] = uint8_t(port >> 8);
            a->socket[1] = uint8_t(port);
            return true;
        }
        auto* a = reinterpret_cast<sockaddr_in*>(&peer->address);
        if (ntohs(a->sin_port) == port) return false;
        a->sin_port = htons(u_short(port));
        return true;
    }

  private:
    bool Error(const char* what) const {
        std::printf("%s: %s (error %d)\n", o_.host ? "host" : "join", what, WSAGetLastError());
        return false;
    }
    const Options& o_;
    SOCKET s_ = INVALID_SOCKET;
    Peer own_;  // what getsockname said after the bind
    std::vector<Client> clients_;
    std::set<std::string> refused_;  // peers the LAN check refused
    int read_errors_ = 0;
};

int Game::Host() {
    std::printf("host: %s waiting on %s %d\n", o_.name.c_str(), o_.ipx ? "IPX socket" : "UDP port",
                o_.port);
    std::fflush(stdout);
    int64_t deadline = NowUs() + int64_t(o_.timeout_seconds) * 1000000;
    std::map<std::string, int> pings;  // by joiner, from its first query
    std::set<std::string> gone;        // joiners that said goodbye
    std::vector<int64_t> latencies;
    std::vector<int> copies;  // of each timed broadcast, by its sequence number
    int64_t closing_at = 0;   // after a goodbye, late broadcasts still count for a second
    long long announced = 0;  // timed broadcasts the joiner says it sent
    while (NowUs() < deadline && (closing_at == 0 || NowUs() < closing_at)) {
        std::string text;
        Peer from;
        SOCKET on = s_;
        if (!Receive(&text, &from, 200, &on)) continue;
        if (!PeerOnLan(from)) continue;
        char kind[8] = {}, name[64] = {};
        long long a = 0, b = 0, c = 0;
        std::sscanf(text.c_str(), "%7s %63s %lld %lld %lld", kind, name, &a, &b, &c);
        std::string k = kind;
        if (Client* client = ClientOn(on); client && client->peer.Text() != from.Text()) {
            // A client's own port takes only what comes from where its first ping came from.
            if (client->dropped++ == 0) {
                std::printf("host: port %d dropped a datagram from %s (it takes only %s)\n",
                            client->port, from.Text().c_str(), client->peer.Text().c_str());
                std::fflush(stdout);
            }
            continue;
        }
        if (o_.per_client_port && on == s_ && k == "OZP") {
            // The client's first ping (or one whose move was lost): its own port.
            Client* client = ClientAt(from);
            if (!client) {
                Client fresh{INVALID_SOCKET, from, o_.port + 1 + int(clients_.size())};
                Peer own;
                fresh.s = OpenSocket(fresh.port, &own);
                if (fresh.s == INVALID_SOCKET) continue;
                clients_.push_back(fresh);
                client = &clients_.back();
                std::printf("host: moved %s to port %d, taking only %s there\n", name, client->port,
                            from.Text().c_str());
                std::fflush(stdout);
            }
            SendTo(from, "OZM " + o_.name + " " + std::to_string(client->port));
            continue;
        }
        if (k == "OZQ") {
            if (b > 0) latencies.push_back(NowUs() - b);
            if (c > 0 && c <= 1000000) {
                if (copies.size() < size_t(c)) copies.resize(size_t(c));
                ++copies[size_t(c - 1)];
            }
            if (!pings.count(name)) {
                std::printf("host: found by %s at %s\n", name, from.Text().c_str());
                std::fflush(stdout);
                pings[name] = 0;
            }
            std::string answer = "OZH " + o_.name + " " + std::to_string(a);
            if (o_.advertise) answer.append(" ").append(Hex(&own_.address, size_t(own_.length)));
            SendTo(from, answer);
        } else if (k == "OZP") {
            ++pings[name];
            SendTo(from, "OZR " + std::string(name) + " " + std::to_string(a), on);
        } else if (k == "OZB" && closing_at == 0 && gone.insert(name).second) {
            // Each joiner says goodbye several times; its first counts.
            std::printf("host: %s said goodbye after %d pings\n", name, pings[name]);
            std::fflush(stdout);
            announced = a;
            if (int(gone.size()) == o_.players) closing_at = NowUs() + 1000000;
        }
    }
    if (closing_at != 0) {
        if (!latencies.empty()) {
            std::sort(latencies.begin(), latencies.end());
            auto at = [&](size_t per_mille) {
                return (long long)
                    latencies[std::min(latencies.size() - 1, latencies.size() * per_mille / 1000)];
            };
            std::printf(
                "host: broadcast latency p50 %lld us, p99 %lld us, p99.9 %lld us, max %lld us "
                "over %zu broadcasts\n",
                at(500), at(990), at(999), (long long)latencies.back(), latencies.size());
        }
        if (announced > 0) {
            size_t once = 0, duplicates = 0;
            for (size_t i = 0; i < copies.size() && i < size_t(announced); ++i) {
                once += copies[i] > 0;
                duplicates += copies[i] > 1 ? size_t(copies[i] - 1) : 0;
            }
            std::printf("host: timed broadcasts: %zu of %lld arrived, %zu duplicates\n", once,
                        announced, duplicates);
        }
        return 0;
    }
    std::printf("host: %s\n",
                pings.empty() ? "nobody found us" : "a joiner went away without a goodbye");
    return 1;
}

int Game::Join() {
    std::printf("join: %s looking for a host on %s %d\n", o_.name.c_str(),
                o_.ipx ? "IPX socket" : "UDP port", o_.port);
    std::fflush(stdout);
    int64_t start = NowUs();
    int64_t deadline = start + int64_t(o_.timeout_seconds) * 1000000;
    Peer host;
    std::string host_name;
    int queries = 0;
    Peer named;  // --connect: the host's name resolved, queried directly
    if (!o_.connect_name.empty() && !Resolve(o_.connect_name, &named)) {
        std::printf("join: cannot resolve %s (error %d)\n", o_.connect_name.c_str(),
                    WSAGetLastError());
        return 1;
    }
    if (named.length > 0) {
        std::printf("join: connecting to %s at %s\n", o_.connect_name.c_str(),
                    named.Text().c_str());
    }
    while (host_name.empty()) {
        if (NowUs() > deadline) {
            std::printf("join: no host answered in %d s (%d queries)\n", o_.timeout_seconds,
                        queries);
            return 1;
        }
        std::string query =
            "OZQ " + o_.name + " " + std::to_string(++queries) + " " + std::to_string(NowUs());
        if (named.length > 0) {
            SendTo(named, query);
        } else {
            Broadcast(query);
        }
        int64_t until = NowUs() + int64_t(o_.interval_ms) * 1000;
        std::string text;
        Peer from;
        while (host_name.empty() && NowUs() < until && Receive(&text, &from, o_.interval_ms)) {
            char kind[8] = {}, name[64] = {}, advertised[80] = {};
            long long seq = 0;
            std::sscanf(text.c_str(), "%7s %63s %lld %79s", kind, name, &seq, advertised);
            if (std::string(kind) != "OZH" || !PeerOnLan(from)) continue;
            host = from;
            host_name = name;
            // Real games join the address the host put into its answer.
            if (o_.advertise && !FromHex(advertised, &host)) {
                std::printf("join: host %s advertised no address\n", name);
                return 1;
            }
        }
    }
    std::printf("join: found host %s at %s after %.1f ms (%d queries)\n", host_name.c_str(),
                host.Text().c_str(), double(NowUs() - start) / 1000.0, queries);
    if (o_.advertise) std::printf("join: playing at the advertised %s\n", host.Text().c_str());
    std::fflush(stdout);
    for (int i = 0; i < o_.broadcasts; ++i) {
        Broadcast("OZQ " + o_.name + " 0 " + std::to_string(NowUs()) + " " + std::to_string(i + 1));
        Sleep(20);
        std::string text;
        Peer from;
        while (Receive(&text, &from, 0)) {
        }
    }
    std::vector<double> rtts;
    int wrong_replies = 0;
    for (int i = 1; i <= o_.count; ++i) {
        for (int attempt = 0; attempt < 3; ++attempt) {
            int64_t sent = NowUs();
            SendTo(host, "OZP " + o_.name + " " + std::to_string(i));
            std::string text;
            Peer from;
            bool answered = false;
            while (!answered && Receive(&text, &from, 1000)) {
                char kind[8] = {};
                long long seq = 0;
                char name[64] = {};
                std::sscanf(text.c_str(), "%7s %63s %lld", kind, name, &seq);
                if (o_.strict_replies && from.Text() != host.Text()) {
                    if (wrong_replies++ == 0) {
                        std::printf("join: wrong reply address %s (sent to %s)\n",
                                    from.Text().c_str(), host.Text().c_str());
                        std::fflush(stdout);
                    }
                    continue;
                }
                if (std::string(kind) == "OZM" && seq > 0 && seq < 65536) {
                    // The host moved us to a port of our own: the same address, that port.
                    if (MovePeer(&host, int(seq))) {
                        std::printf("join: moved to %s\n", host.Text().c_str());
                        std::fflush(stdout);
                    }
                    SendTo(host, "OZP " + o_.name + " " + std::to_string(i));
                    continue;
                }
                answered = std::string(kind) == "OZR" && seq == i;
            }
            if (answered) {
                rtts.push_back(double(NowUs() - sent) / 1000.0);
                break;
            }
        }
    }
    // Several goodbyes: directed datagrams may be lost.
    for (int i = 0; i < 6; ++i)
        SendTo(host, "OZB " + o_.name + " " + std::to_string(o_.broadcasts));
    if (rtts.size() != size_t(o_.count)) {
        std::printf("join: only %zu of %d pings were answered\n", rtts.size(), o_.count);
        return 1;
    }
    if (!rtts.empty()) {
        double sum = 0;
        for (double r : rtts) sum += r;
        std::vector<double> sorted = rtts;
        std::sort(sorted.begin(), sorted.end());
        std::printf(
            "join: %zu directed round trips, min %.3f ms, avg %.3f ms, max %.3f ms, p50 %.3f ms\n",
            rtts.size(), sorted.front(), sum / double(rtts.size()), sorted.back(),
            sorted[sorted.size() / 2]);
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    Options o;
    if (!Parse(argc, argv, &o)) return Usage();
    Game game(o);
    if (!game.Open()) return 3;
    int result = o.host ? game.Host() : game.Join();
    std::fflush(stdout);
    return result;
}
