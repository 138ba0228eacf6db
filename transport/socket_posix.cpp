#ifndef _WIN32

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/random.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

#include "transport/socket.h"

namespace ozlan {

bool SocketStartup() {
    return true;
}

SocketHandle SocketOpenUdp() {
    int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
    if (fd < 0) return kInvalidSocket;
    int bytes = kSocketBufferBytes;
    ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &bytes, sizeof bytes);
    ::setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &bytes, sizeof bytes);
    return SocketHandle(fd);
}

bool SocketBind(SocketHandle s, uint16_t port, uint32_t ip) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = ip;
    return ::bind(int(s), reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
}

bool SocketLocalPort(SocketHandle s, uint16_t* port) {
    sockaddr_in a{};
    socklen_t n = sizeof a;
    if (::getsockname(int(s), reinterpret_cast<sockaddr*>(&a), &n) != 0) return false;
    *port = ntohs(a.sin_port);
    return true;
}

bool SocketSetNonBlocking(SocketHandle s) {
    int flags = ::fcntl(int(s), F_GETFL, 0);
    return flags >= 0 && ::fcntl(int(s), F_SETFL, flags | O_NONBLOCK) == 0;
}

void SocketClose(SocketHandle s) {
    if (s != kInvalidSocket) ::close(int(s));
}

int SocketSendTo(SocketHandle s, const void* data, size_t size, const SocketAddress& to) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = to.port;
    a.sin_addr.s_addr = to.ip;
    return int(::sendto(int(s), data, size, 0, reinterpret_cast<sockaddr*>(&a), sizeof a));
}

int SocketReceiveFrom(SocketHandle s, void* buffer, size_t capacity, SocketAddress* from,
                      int* error) {
    sockaddr_in a{};
    ssize_t got = -1;
    for (int tries = 0; tries < 8; ++tries) {
        socklen_t n = sizeof a;
        got = ::recvfrom(int(s), buffer, capacity, 0, reinterpret_cast<sockaddr*>(&a), &n);
        if (got >= 0 || errno != ECONNREFUSED) break;
    }
    if (got < 0) {
        if (errno == EAGAIN || errno == EWOULDBLOCK || errno == ECONNREFUSED)
            return kReceiveNothing;
        *error = errno;
        return -1;
    }
    from->ip = a.sin_addr.s_addr;
    from->port = a.sin_port;
    return int(got);
}

int SocketReceiveBatch(SocketHandle s, DatagramSlot* slots, int count, int* error) {
    count = std::min(count, kMaxBatch);
    mmsghdr messages[kMaxBatch];
    iovec vectors[kMaxBatch];
    sockaddr_in addresses[kMaxBatch];
    for (int i = 0; i < count; ++i) {
        vectors[i] = {slots[i].data, slots[i].capacity};
        messages[i] = {};
        messages[i].msg_hdr.msg_name = &addresses[i];
        messages[i].msg_hdr.msg_namelen = sizeof addresses[i];
        messages[i].msg_hdr.msg_iov = &vectors[i];
        messages[i].msg_hdr.msg_iovlen = 1;
    }
    int got = -1;
    for (int tries = 0; tries < 8; ++tries) {
        got = ::recvmmsg(int(s), messages, unsigned(count), MSG_DONTWAIT, nullptr);
        if (got >= 0 || errno != ECONNREFUSED) break;
    }
    if (got < 0) {
        if (errno == EAGAIN || errno == EWOULDBLOCK || errno == ECONNREFUSED) return 0;
        *error = errno;
        return -1;
    }
    for (int i = 0; i < got; ++i) {
        slots[i].size = std::min<size_t>(messages[i].msg_len, slots[i].capacity);
        slots[i].address.ip = addresses[i].sin_addr.s_addr;
        slots[i].address.port = addresses[i].sin_port;
    }
    return got;
}

void SocketSendBatch(SocketHandle s, const DatagramSlot* slots, int count) {
    mmsghdr messages[kMaxBatch];
    iovec vectors[kMaxBatch];
    sockaddr_in addresses[kMaxBatch];
    for (int first = 0; first < count; first += kMaxBatch) {
        int n = std::min(count - first, kMaxBatch);
        for (int i = 0; i < n; ++i) {
            const DatagramSlot& slot = slots[first + i];
            addresses[i] = {};
            addresses[i].sin_family = AF_INET;
            addresses[i].sin_port = slot.address.port;
            addresses[i].sin_addr.s_addr = slot.address.ip;
            vectors[i] = {slot.data, slot.size};
            messages[i] = {};
            messages[i].msg_hdr.msg_name = &addresses[i];
            messages[i].msg_hdr.msg_namelen = sizeof addresses[i];
            messages[i].msg_hdr.msg_iov = &vectors[i];
            messages[i].msg_hdr.msg_iovlen = 1;
        }
        // A datagram the system refuses is passed over, as a single send's failure is.
        for (int sent = 0; sent < n;) {
            int r = ::sendmmsg(int(s), messages + sent, unsigned(n - sent), 0);
            sent += r > 0 ? r : 1;
        }
    }
}

int SocketWaitReadable(SocketHandle s, int timeout_ms) {
    pollfd p{int(s), POLLIN, 0};
    int r = ::poll(&p, 1, timeout_ms);
    if (r < 0) return errno == EINTR ? 0 : -1;
    return r > 0 ? 1 : 0;
}

size_t ResolveIPv4All(const char* host, uint32_t* out, size_t capacity) {
    in_addr a{};
    if (capacity == 0) return 0;
    if (::inet_pton(AF_INET, host, &a) == 1) {
        out[0] = a.s_addr;
        return 1;
    }
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_DGRAM;
    addrinfo* result = nullptr;
    if (::getaddrinfo(host, nullptr, &hints, &result) != 0) return 0;
    size_t count = 0;
    for (addrinfo* r = result; r && count < capacity; r = r->ai_next) {
        uint32_t ip = reinterpret_cast<sockaddr_in*>(r->ai_addr)->sin_addr.s_addr;
        if (std::find(out, out + count, ip) == out + count) out[count++] = ip;
    }
    ::freeaddrinfo(result);
    return count;
}

bool RandomBytes(void* out, size_t size) {
    auto* bytes = static_cast<uint8_t*>(out);
    while (size > 0) {
        ssize_t got = ::getrandom(bytes, size, 0);
        if (got < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        bytes += got;
        size -= size_t(got);
    }
    return true;
}

int64_t SystemNowMs() {
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return int64_t(t.tv_sec) * 1000 + t.tv_nsec / 1000000;
}

void SystemSleepMs(int ms) {
    timespec t{ms / 1000, (ms % 1000) * 1000000L};
    while (nanosleep(&t, &t) != 0 && errno == EINTR) {
    }
}

}  // namespace ozlan

#endif
