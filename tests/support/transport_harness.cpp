#include "tests/support/transport_harness.h"

#include <algorithm>
#include <cstring>

#ifdef _WIN32
#include <windows.h>
#else
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>
extern char** environ;
#endif

namespace ozlan::test {

int64_t FakeClock::now_ms = 0;
std::vector<std::string> LogCapture::lines;

bool LogCapture::Contains(const std::string& line) {
    return Count(line) > 0;
}

size_t LogCapture::Count(const std::string& line) {
    return size_t(std::count(lines.begin(), lines.end(), line));
}

std::vector<uint8_t> MakeDatagram(uint32_t id, uint16_t type, uint16_t seq, uint16_t total,
                                  const std::vector<uint8_t>& payload) {
    std::vector<uint8_t> d(kHeaderSize + payload.size());
    WriteHeader(d.data(), MessageHeader{id, type, seq, total, uint16_t(payload.size())});
    std::copy(payload.begin(), payload.end(), d.begin() + kHeaderSize);
    return d;
}

std::vector<uint8_t> U32Body(uint32_t v) {
    std::vector<uint8_t> b(4);
    PutU32(b.data(), v);
    return b;
}

std::vector<uint8_t> Pattern(size_t n, uint32_t seed) {
    std::vector<uint8_t> v(n);
    uint32_t x = seed * 2654435761u + 1;
    for (auto& b : v) {
        x = x * 1103515245u + 12345u;
        b = uint8_t(x >> 16);
    }
    return v;
}

SocketAddress Loopback(uint16_t port) {
    SocketAddress a;
    const uint8_t ip[4] = {127, 0, 0, 1};
    std::memcpy(&a.ip, ip, 4);
    a.port = uint16_t((port >> 8) | (port << 8));
    return a;
}

RawPeer::RawPeer(uint16_t port) {
    SocketStartup();
    socket_ = SocketOpenUdp();
    SocketBind(socket_, port, Loopback(0).ip);
    SocketLocalPort(socket_, &port_);
    SocketSetNonBlocking(socket_);
}

RawPeer::~RawPeer() {
    SocketClose(socket_);
}

void RawPeer::SendTo(uint16_t port, const std::vector<uint8_t>& datagram) {
    SocketSendTo(socket_, datagram.data(), datagram.size(), Loopback(port));
}

bool RawPeer::Receive(Datagram* out, int timeout_ms) {
    if (SocketWaitReadable(socket_, timeout_ms) != 1) return false;
    uint8_t buffer[kReceiveBufferSize];
    int error = 0;
    int got = SocketReceiveFrom(socket_, buffer, sizeof buffer, &out->from, &error);
    if (got <= 0 || !ParseHeader(buffer, size_t(got), &out->header)) return false;
    out->payload.assign(buffer + kHeaderSize, buffer + kHeaderSize + out->header.len);
    return true;
}

bool RawPeer::ReceiveRaw(std::vector<uint8_t>* data, SocketAddress* from, int timeout_ms) {
    if (SocketWaitReadable(socket_, timeout_ms) != 1) return false;
    uint8_t buffer[kReceiveBufferSize * 2];
    int error = 0;
    int got = SocketReceiveFrom(socket_, buffer, sizeof buffer, from, &error);
    if (got < 0) return false;
    data->assign(buffer, buffer + got);
    return true;
}

std::vector<Datagram> RawPeer::Drain(int quiet_ms) {
    std::vector<Datagram> all;
    Datagram d;
    while (Receive(&d, quiet_ms)) all.push_back(d);
    return all;
}

void AcknowledgeInLists(RawPeer& peer, Endpoint* ep, const std::vector<uint32_t>& ids) {
    for (size_t first = 0; first < ids.size(); first += kMaxAckListEntries) {
        size_t n = std::min(kMaxAckListEntries, ids.size() - first);
        std::vector<uint8_t> bodies(n * kAckBodySize);
        for (size_t i = 0; i < n; ++i) {
            WriteAckBody(&bodies[i * kAckBodySize], ids[first + i], 8, 1);
        }
        peer.SendTo(ep->local_port, MakeDatagram(0, kAckListType, 0, 0, bodies));
    }
    TransportThink(0);  // loopback: every datagram sent is waiting already
}

intptr_t SpawnProcess(const std::string& program, const std::vector<std::string>& args) {
#ifdef _WIN32
    std::string command = "\"" + program + "\"";
    for (const auto& a : args) command += " \"" + a + "\"";
    STARTUPINFOA si{};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi{};
    if (!CreateProcessA(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si,
                        &pi)) {
        return 0;
    }
    CloseHandle(pi.hThread);
    return intptr_t(pi.hProcess);
#else
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(program.c_str()));
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    pid_t pid = 0;
    if (posix_spawn(&pid, program.c_str(), nullptr, nullptr, argv.data(), environ) != 0) return 0;
    return intptr_t(pid);
#endif
}

int WaitProcess(intptr_t handle) {
#ifdef _WIN32
    WaitForSingleObject(HANDLE(handle), INFINITE);
    DWORD code = 1;
    GetExitCodeProcess(HANDLE(handle), &code);
    CloseHandle(HANDLE(handle));
    return int(code);
#else
    int status = 0;
    waitpid(pid_t(handle), &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128;
#endif
}

std::string ProgramFolder() {
#ifdef _WIN32
    char path[MAX_PATH];
    DWORD n = GetModuleFileNameA(nullptr, path, sizeof path);
    std::string s(path, n);
    return s.substr(0, s.find_last_of("\\/"));
#else
    char path[4096];
    ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
    std::string s(path, n > 0 ? size_t(n) : 0);
    return s.substr(0, s.find_last_of('/'));
#endif
}

}  // namespace ozlan::test
