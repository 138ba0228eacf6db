// The IPX socket list: which socket handles stand for IPX sockets.
#include "wsock32/wsock32.h"

namespace ozlan::proxy {
namespace {

struct IpxSocketList {
    SRWLOCK lock = SRWLOCK_INIT;
    SOCKET sockets[kMaxIpxSockets] = {};
    IpxSocketOptions options[kMaxIpxSockets];  // of the socket at the same place
    int count = 0;
};
IpxSocketList g_list;

#define SOCKTRAK_LOG(...) LogWriteGuard(kSourceSocktrak, __LINE__, kTrace, __VA_ARGS__)

// The four operations hold the lock; these do the work under it.
int FindLocked(SOCKET s) {
    SOCKTRAK_LOG("FindIPXSock(%d)", int(s));
    for (int i = 0; i < g_list.count; ++i) {
        if (g_list.sockets[i] == s) {
            SOCKTRAK_LOG("Found %d at %d - length is now %d", int(s), i, g_list.count);
            return i + 1;
        }
    }
    SOCKTRAK_LOG("Found failed for %d - length is now %d", int(s), g_list.count);
    return 0;
}

struct Locked {
    Locked() { AcquireSRWLockExclusive(&g_list.lock); }
    ~Locked() { ReleaseSRWLockExclusive(&g_list.lock); }
};

}  // namespace

int FindIPXSock(SOCKET s) {
    Locked guard;
    return FindLocked(s);
}

int AddIPXSock(SOCKET s) {
    Locked guard;
    SOCKTRAK_LOG("AddIPXSock(%d)", int(s));
    if (FindLocked(s) || g_list.count == kMaxIpxSockets) return 0;
    g_list.options[g_list.count] = IpxSocketOptions{};
    g_list.sockets[g_list.count++] = s;
    SOCKTRAK_LOG("Added %d - length is now %d", int(s), g_list.count);
    SOCKTRAK_LOG("List -");
    for (int i = 0; i < g_list.count; ++i) SOCKTRAK_LOG("\t\t%4d - %d", i, int(g_list.sockets[i]));
    return 1;
}

int DeleteIPXSock(SOCKET s) {
    Locked guard;
    SOCKTRAK_LOG("DeleteIPXSock(%d)", int(s));
    int position = FindLocked(s);
    if (!position) return 0;
    for (int i = position; i < g_list.count; ++i) {
        g_list.sockets[i - 1] = g_list.sockets[i];
        g_list.options[i - 1] = g_list.options[i];
    }
    --g_list.count;
    SOCKTRAK_LOG("Deleted %d - length is now %d", int(s), g_list.count);
    return 1;
}

bool GetIPXSockOptions(SOCKET s, IpxSocketOptions* out) {
    Locked guard;
    int position = FindLocked(s);
    if (!position) return false;
    *out = g_list.options[position - 1];
    return true;
}

bool SetIPXSockOptions(SOCKET s, const IpxSocketOptions& options) {
    Locked guard;
    int position = FindLocked(s);
    if (!position) return false;
    g_list.options[position - 1] = options;
    return true;
}

void DeleteAllIPXSock() {
    Locked guard;
    SOCKTRAK_LOG("DeleteAllIPXSock()");
    g_list.count = 0;
}

}  // namespace ozlan::proxy
