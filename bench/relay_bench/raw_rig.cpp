#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <thread>

#include "bench/relay_bench/rig.h"

using namespace ozlan;

namespace relay_bench {
namespace {

SocketAddress Loopback(uint16_t port) {
    SocketAddress a;
    ResolveIPv4("127.0.0.1", &a.ip);
    a.port = htons(port);
    return a;
}

struct RawRig : Rig {
    int forward = -1;
    std::vector<SocketHandle> sinks;
    SocketHandle sender = kInvalidSocket;
    std::atomic<bool> stop{false};
    std::thread forwarder;
    uint8_t buffer[2048];
    ~RawRig() override {
        stop = true;
        if (forwarder.joinable()) forwarder.join();
        for (SocketHandle s : sinks) SocketClose(s);
        SocketClose(sender);
        close(forward);
    }
};

}  // namespace

std::unique_ptr<Rig> MakeRawRig(int receivers) {
    auto rig = std::make_unique<RawRig>();
    RawRig* r = rig.get();
    r->forward = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(r->forward, reinterpret_cast<sockaddr*>(&a), sizeof a);
    socklen_t n = sizeof a;
    getsockname(r->forward, reinterpret_cast<sockaddr*>(&a), &n);
    uint16_t forward_port = ntohs(a.sin_port);
    auto sink_addresses = std::make_shared<std::vector<sockaddr_in>>();
    for (int i = 0; i < receivers; ++i) {
        SocketHandle s = SocketOpenUdp();
        SocketBind(s, 0);
        SocketSetNonBlocking(s);
        uint16_t p = 0;
        SocketLocalPort(s, &p);
        r->sinks.push_back(s);
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        to.sin_port = htons(p);
        sink_addresses->push_back(to);
    }
    r->forwarder = std::thread([r, sink_addresses, receivers] {
        constexpr int kBatch = 32;
        static thread_local uint8_t buffers[kBatch][2048];
        mmsghdr in[kBatch];
        iovec in_iov[kBatch];
        std::vector<mmsghdr> out(size_t(kBatch) * receivers);
        std::vector<iovec> out_iov(out.size());
        timeval tick{0, 100000};
        setsockopt(r->forward, SOL_SOCKET, SO_RCVTIMEO, &tick, sizeof tick);
        while (!r->stop) {
            for (int i = 0; i < kBatch; ++i) {
                in_iov[i] = {buffers[i], sizeof buffers[i]};
                in[i] = {};
                in[i].msg_hdr.msg_iov = &in_iov[i];
                in[i].msg_hdr.msg_iovlen = 1;
            }
            int got = recvmmsg(r->forward, in, kBatch, MSG_WAITFORONE, nullptr);
            if (got <= 0) continue;
            size_t k = 0;
            for (int i = 0; i < got; ++i) {
                for (auto& to : *sink_addresses) {
                    out_iov[k] = {buffers[i], in[i].msg_len};
                    out[k] = {};
                    out[k].msg_hdr.msg_iov = &out_iov[k];
                    out[k].msg_hdr.msg_iovlen = 1;
                    out[k].msg_hdr.msg_name = &to;
                    out[k].msg_hdr.msg_namelen = sizeof to;
                    ++k;
                }
            }
            for (size_t sent = 0; sent < k;) {
                int result = sendmmsg(r->forward, out.data() + sent, unsigned(k - sent), 0);
                if (result <= 0) break;
                sent += size_t(result);
            }
        }
    });
    r->sender = SocketOpenUdp();
    SocketAddress to = Loopback(forward_port);
    rig->send = [r, to](const std::vector<uint8_t>& link) {
        SocketSendTo(r->sender, link.data(), link.size(), to);
    };
    rig->pump = [r] {
        SocketAddress from;
        int error;
        for (SocketHandle s : r->sinks) {
            int got;
            while ((got = SocketReceiveFrom(s, r->buffer, sizeof r->buffer, &from, &error)) > 0) {
                Received().Add(r->buffer, size_t(got));
            }
        }
    };
    return rig;
}

}  // namespace relay_bench
