// Overlapped receives, completed by the proxy. A datagram from the launcher must be
// converted before the game sees it, and an overlapped receive of the platform's would
// complete out of the proxy's sight. So the proxy keeps the game's receive: at once
// when a datagram waits, else a thread of its own waits for the socket to turn readable,
// receives with the conversions of a receive that waits, and tells the game through its
// OVERLAPPED (status, count, event), as Winsock does, and its completion routine.
#include <cstring>

#include "wsock32/wsock32.h"

using namespace ozlan::proxy;

namespace {

constexpr int kMaxPending = 256;
constexpr DWORD kMaxParts = 16;
// What an OVERLAPPED's status says (the platform's own values).
constexpr ULONG_PTR kStatusSuccess = 0;
constexpr ULONG_PTR kStatusPending = 0x103;
constexpr ULONG_PTR kStatusBufferOverflow = 0x80000005;  // WSAEMSGSIZE
constexpr ULONG_PTR kStatusCancelled = 0xC0000120;       // WSA_OPERATION_ABORTED
constexpr ULONG_PTR kStatusConnectionReset = 0xC000020D;
constexpr ULONG_PTR kStatusUnsuccessful = 0xC0000001;
constexpr ULONG_PTR kStatusInvalidHandle = 0xC0000008;

struct PendingReceive {
    bool used = false;
    unsigned long long order = 0;  // receives on one socket complete first come, first served
    SOCKET s = INVALID_SOCKET;
    WSABUF parts[kMaxParts] = {};
    DWORD count = 0;
    DWORD flags = 0;
    sockaddr* from = nullptr;
    LPINT from_length = nullptr;
    LPWSAOVERLAPPED overlapped = nullptr;
    LPWSAOVERLAPPED_COMPLETION_ROUTINE completion = nullptr;
    HANDLE thread = nullptr;  // where the completion routine runs
};

struct OverlappedState {
    SRWLOCK lock = SRWLOCK_INIT;
    PendingReceive pending[kMaxPending];
    unsigned long long next_order = 1;
    bool started = false;
    SOCKET wake = INVALID_SOCKET;  // a loopback socket the waiting thread listens on
    sockaddr_in wake_address{};
};

OverlappedState& State() {
    static OverlappedState state;
    return state;
}

struct CompletionCall {
    LPWSAOVERLAPPED_COMPLETION_ROUTINE routine;
    DWORD error;
    DWORD count;
    LPWSAOVERLAPPED overlapped;
};

void CALLBACK RunCompletion(ULONG_PTR parameter) {
    auto* call = reinterpret_cast<CompletionCall*>(parameter);
    call->routine(call->error, call->count, call->overlapped, 0);
    delete call;
}

ULONG_PTR StatusOf(int error) {
    switch (error) {
        case 0:
            return kStatusSuccess;
        case WSAEMSGSIZE:
            return kStatusBufferOverflow;
        case WSA_OPERATION_ABORTED:
            return kStatusCancelled;
        case WSAECONNRESET:
            return kStatusConnectionReset;
        default:
            return kStatusUnsuccessful;
    }
}

// Tells the game: count and flags before the status, then the event or the routine (a
// game that gives a routine may use the event field for its own purposes).
void Complete(LPWSAOVERLAPPED overlapped, LPWSAOVERLAPPED_COMPLETION_ROUTINE completion,
              HANDLE thread, int error, DWORD count) {
    if (overlapped) {
        overlapped->InternalHigh = count;
        overlapped->Offset = 0;  // the flags WSAGetOverlappedResult reports
        MemoryBarrier();
        overlapped->Internal = StatusOf(error);
        if (!completion && overlapped->hEvent) SetEvent(overlapped->hEvent);
    }
    if (completion && thread) {
        auto* call = new CompletionCall{completion, DWORD(error), count, overlapped};
        if (!QueueUserAPC(RunCompletion, thread, reinterpret_cast<ULONG_PTR>(call))) delete call;
    }
}

// 1 when a datagram waits on `s`, 0 when none does, -1 when `s` is no socket.
int ReadableNow(SOCKET s) {
    fd_set set;
    FD_ZERO(&set);
    FD_SET(s, &set);
    timeval now{0, 0};
    return Forward<R_select>(-1, 0, &set, static_cast<fd_set*>(nullptr),
                             static_cast<fd_set*>(nullptr), static_cast<const timeval*>(&now));
}

// A receive that does not wait (the socket is readable), with all the proxy's
// conversions; the WSA error, 0 on success.
int ReceiveNow(PendingReceive& p, DWORD* received) {
    *received = 0;
    DWORD flags = p.flags;
    int result = mp_WSARecvFrom(p.s, p.parts, p.count, received, &flags, p.from, p.from_length,
                                nullptr, nullptr);
    return result == 0 ? 0 : mp_WSAGetLastError();
}

void Wake() {
    OverlappedState& st = State();
    char byte = 0;
    Forward<R_sendto>(-1, st.wake, static_cast<const char*>(&byte), 1, 0,
                      reinterpret_cast<const sockaddr*>(&st.wake_address),
                      int(sizeof st.wake_address));
}

// The oldest waiting receive of `s`, taken out of the list; false when there is none.
bool TakeFirst(SOCKET s, PendingReceive* out) {
    OverlappedState& st = State();
    PendingReceive* first = nullptr;
    for (PendingReceive& p : st.pending) {
        if (p.used && p.s == s && (!first || p.order < first->order)) first = &p;
    }
    if (!first) return false;
    *out = *first;
    first->used = false;
    return true;
}

void PutBack(const PendingReceive& receive) {
    OverlappedState& st = State();
    for (PendingReceive& p : st.pending) {
        if (!p.used) {
            p = receive;
            return;
        }
    }
}

bool IsSocket(SOCKET s) {
    int type = 0;
    int length = sizeof type;
    return Forward<R_getsockopt>(-1, s, int(SOL_SOCKET), int(SO_TYPE),
                                 reinterpret_cast<char*>(&type), &length) == 0;
}

void DropClosedSockets() {
    OverlappedState& st = State();
    for (;;) {
        PendingReceive receive;
        bool found = false;
        AcquireSRWLockExclusive(&st.lock);
        for (PendingReceive& p : st.pending) {
            if (p.used && !IsSocket(p.s)) {
                receive = p;
                p.used = false;
                found = true;
                break;
            }
        }
        ReleaseSRWLockExclusive(&st.lock);
        if (!found) return;
        Complete(receive.overlapped, receive.completion, receive.thread, WSAENOTSOCK, 0);
        if (receive.thread) CloseHandle(receive.thread);
    }
}

DWORD WINAPI WaitForReceives(LPVOID) {
    OverlappedState& st = State();
    for (;;) {
        fd_set set;
        FD_ZERO(&set);
        FD_SET(st.wake, &set);
        AcquireSRWLockShared(&st.lock);
        for (const PendingReceive& p : st.pending) {
            if (p.used && set.fd_count < FD_SETSIZE) FD_SET(p.s, &set);
        }
        ReleaseSRWLockShared(&st.lock);
        timeval wait{1, 0};
        int ready =
            Forward<R_select>(-1, 0, &set, static_cast<fd_set*>(nullptr),
                              static_cast<fd_set*>(nullptr), static_cast<const timeval*>(&wait));
        if (ready < 0) {
            // A socket went away without closesocket (WSACleanup): its receives fail.
            DropClosedSockets();
            Sleep(10);
            continue;
        }
        if (ready == 0) continue;
        for (u_int i = 0; i < set.fd_count; ++i) {
            SOCKET s = set.fd_array[i];
            if (s == st.wake) {
                char drain[16];
                Forward<R_recv>(-1, st.wake, static_cast<char*>(drain), int(sizeof drain), 0);
                continue;
            }
            AcquireSRWLockExclusive(&st.lock);
            PendingReceive receive;
            bool found = TakeFirst(s, &receive);
            ReleaseSRWLockExclusive(&st.lock);
            if (!found) continue;
            DWORD received = 0;
            int error = ReceiveNow(receive, &received);
            if (error == WSAEWOULDBLOCK) {
                // Another call took the datagram: still waiting.
                AcquireSRWLockExclusive(&st.lock);
                PutBack(receive);
                ReleaseSRWLockExclusive(&st.lock);
                continue;
            }
            Complete(receive.overlapped, receive.completion, receive.thread, error, received);
            if (receive.thread) CloseHandle(receive.thread);
        }
    }
}

// The waiting thread and its wake-up socket, once; false when they cannot be made.
bool Start() {
    OverlappedState& st = State();
    if (st.started) return true;
    SOCKET wake = Forward<R_socket>(SOCKET(INVALID_SOCKET), int(AF_INET), int(SOCK_DGRAM), 0);
    if (wake == INVALID_SOCKET) return false;
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = mp_inet_addr(ozlan::kLoopbackText);
    int length = sizeof local;
    if (Forward<R_bind>(-1, wake, reinterpret_cast<const sockaddr*>(&local), int(sizeof local)) !=
            0 ||
        Forward<R_getsockname>(-1, wake, reinterpret_cast<sockaddr*>(&local), &length) != 0) {
        Forward<R_closesocket>(-1, wake);
        return false;
    }
    u_long nonblocking = 1;
    Forward<R_ioctlsocket>(-1, wake, long(FIONBIO), &nonblocking);
    st.wake = wake;
    st.wake_address = local;
    HANDLE thread = CreateThread(nullptr, 0, WaitForReceives, nullptr, 0, nullptr);
    if (!thread) return false;
    CloseHandle(thread);
    st.started = true;
    return true;
}

}  // namespace

int ozlan::proxy::ReceiveOverlapped(SOCKET s, LPWSABUF buffers, DWORD count, LPDWORD received,
                                    LPDWORD flags, sockaddr* from, LPINT from_length,
                                    LPWSAOVERLAPPED overlapped,
                                    LPWSAOVERLAPPED_COMPLETION_ROUTINE completion) {
    OverlappedState& st = State();
    if (count > kMaxParts) {
        mp_WSASetLastError(WSAENOBUFS);
        return SOCKET_ERROR;
    }
    // One look at the socket tells both whether it is one and whether a datagram waits.
    int readable = ReadableNow(s);
    if (readable < 0) {
        mp_WSASetLastError(WSAENOTSOCK);
        return SOCKET_ERROR;
    }
    PendingReceive receive;
    receive.s = s;
    std::memcpy(receive.parts, buffers, count * sizeof *buffers);
    receive.count = count;
    receive.flags = flags ? *flags : 0;
    receive.from = from;
    receive.from_length = from_length;
    receive.overlapped = overlapped;
    receive.completion = completion;
    if (completion) {
        receive.thread = OpenThread(THREAD_SET_CONTEXT, FALSE, GetCurrentThreadId());
    }

    AcquireSRWLockExclusive(&st.lock);
    bool waiting_before = false;
    for (const PendingReceive& p : st.pending)
        waiting_before = waiting_before || (p.used && p.s == s);
    ReleaseSRWLockExclusive(&st.lock);
    if (!waiting_before && readable == 1) {
        // A datagram waits: completed now, and told as a completion all the same.
        DWORD got = 0;
        int error = ReceiveNow(receive, &got);
        if (error != WSAEWOULDBLOCK) {
            if (received) *received = got;
            Complete(overlapped, completion, receive.thread, error, got);
            if (receive.thread) CloseHandle(receive.thread);
            if (error == 0) return 0;
            mp_WSASetLastError(error);
            return SOCKET_ERROR;
        }
    }

    AcquireSRWLockExclusive(&st.lock);
    bool started = Start();
    PendingReceive* free_slot = nullptr;
    for (PendingReceive& p : st.pending) {
        if (!p.used) {
            free_slot = &p;
            break;
        }
    }
    if (!started || !free_slot) {
        ReleaseSRWLockExclusive(&st.lock);
        if (receive.thread) CloseHandle(receive.thread);
        mp_WSASetLastError(WSAENOBUFS);
        return SOCKET_ERROR;
    }
    if (overlapped) {
        overlapped->InternalHigh = 0;
        overlapped->Internal = kStatusPending;
        if (!completion && overlapped->hEvent) ResetEvent(overlapped->hEvent);
    }
    receive.used = true;
    receive.order = st.next_order++;
    *free_slot = receive;
    ReleaseSRWLockExclusive(&st.lock);
    Wake();
    OZWS_LOG(kTrace, "mp_WSARecvFrom() - overlapped receive on %d waits", int(s));
    mp_WSASetLastError(WSA_IO_PENDING);
    return SOCKET_ERROR;
}

void ozlan::proxy::CancelOverlappedReceives(SOCKET s) {
    OverlappedState& st = State();
    for (;;) {
        AcquireSRWLockExclusive(&st.lock);
        PendingReceive receive;
        bool found = st.started && TakeFirst(s, &receive);
        ReleaseSRWLockExclusive(&st.lock);
        if (!found) return;
        Complete(receive.overlapped, receive.completion, receive.thread, WSA_OPERATION_ABORTED, 0);
        if (receive.thread) CloseHandle(receive.thread);
    }
}

void ozlan::proxy::CompleteAtOnce(LPWSAOVERLAPPED overlapped,
                                  LPWSAOVERLAPPED_COMPLETION_ROUTINE completion, int error,
                                  DWORD count) {
    HANDLE thread =
        completion ? OpenThread(THREAD_SET_CONTEXT, FALSE, GetCurrentThreadId()) : nullptr;
    Complete(overlapped, completion, thread, error, count);
    if (thread) CloseHandle(thread);
}
