// Fixtures for transport tests: a settable clock, captured diagnostic lines, and a
// raw UDP peer that sends hand-made datagrams and reads what the transport sends.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "transport/transport.h"

namespace ozlan::test {

// A clock the test moves by hand; the pause between passes advances it.
struct FakeClock {
    static int64_t now_ms;
    static int64_t Now() { return now_ms; }
    static void Sleep(int ms) { now_ms += ms; }
    static void Install(int64_t start = 1000000) {
        now_ms = start;
        SetTransportClock(Now, Sleep);
    }
    static void Advance(int64_t ms) { now_ms += ms; }
};

// Every diagnostic line since Install().
struct LogCapture {
    static std::vector<std::string> lines;
    static void Sink(const char* line) { lines.emplace_back(line); }
    static void Install() {
        lines.clear();
        SetTransportLogSink(Sink);
    }
    static bool Contains(const std::string& line);
    static size_t Count(const std::string& line);
};

struct Datagram {
    MessageHeader header;
    std::vector<uint8_t> payload;
    SocketAddress from;
};

std::vector<uint8_t> MakeDatagram(uint32_t id, uint16_t type, uint16_t seq, uint16_t total,
                                  const std::vector<uint8_t>& payload);
std::vector<uint8_t> U32Body(uint32_t v);
std::vector<uint8_t> Pattern(size_t n, uint32_t seed = 1);
SocketAddress Loopback(uint16_t port_host_order);
// An IPv4 address in network order, from its four parts.
inline uint32_t Ip(uint8_t a, uint8_t b, uint8_t c, uint8_t d) {
    const uint8_t bytes[4] = {a, b, c, d};
    uint32_t ip;
    std::memcpy(&ip, bytes, 4);
    return ip;
}

inline uint16_t HostPort(const SocketAddress& a) {
    return uint16_t((a.port >> 8) | (a.port << 8));
}

class RawPeer {
  public:
    explicit RawPeer(uint16_t port = 0);
    ~RawPeer();
    uint16_t port() const { return port_; }
    void SendTo(uint16_t port_host_order, const std::vector<uint8_t>& datagram);
    // Next datagram within timeout_ms; false when none came.
    bool Receive(Datagram* out, int timeout_ms = 2000);
    // Next datagram as it arrived, whatever its format.
    bool ReceiveRaw(std::vector<uint8_t>* data, SocketAddress* from, int timeout_ms = 2000);
    // Everything that arrives within timeout_ms of quiet.
    std::vector<Datagram> Drain(int quiet_ms = 100);

  private:
    SocketHandle socket_ = kInvalidSocket;
    uint16_t port_ = 0;
};

// The peer acknowledges the given ids (user type 8, seq 1) with acknowledgement lists of
// at most 173 bodies, and the transport takes them in one pass.
void AcknowledgeInLists(RawPeer& peer, Endpoint* ep, const std::vector<uint32_t>& ids);

// Starts a program with arguments; returns a handle for WaitProcess.
intptr_t SpawnProcess(const std::string& program, const std::vector<std::string>& args);
int WaitProcess(intptr_t handle);
// The folder of the running test program.
std::string ProgramFolder();

}  // namespace ozlan::test
