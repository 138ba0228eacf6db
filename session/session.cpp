// Session lifecycle: process attach, the three exports, the timer that drives the
// transport, and the connection events.
#include <winsock2.h>
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <vector>

#include "session/ozlan.h"
#include "session/session.h"
// After winsock2.h.
#include <iphlpapi.h>

namespace ozlan {

SessionState& Session() {
    static SessionState state;
    return state;
}

namespace {

bool StartWinsock() {
    SessionState& s = Session();
    if (s.winsock_started) return true;
    WSADATA data;
    if (WSAStartup(0x0101, &data) != 0) return false;
    s.winsock_started = true;
    return true;
}

void CALLBACK ThinkTimerProc(HWND, UINT, UINT_PTR, DWORD) {
    RelayLinkTick(Session().link);
    TransportThink(0);
}

// Runs inside a transport pass, under the transport's lock, like PreLaunch's own join:
// whichever comes second sends it.
void OnLinkJoined(RelayLinkState& link, int32_t, bool rejoined) {
    SessionState& s = Session();
    if (rejoined) s.previous_relayed_address = s.relayed_address;
    if (s.session_name[0] != 0) SendJoin();
    // A move without a loss (a silent relay left, or the session's first relay back):
    // the player hears of it as of a loss.
    std::string session = s.session_name;
    auto relay = [&](size_t index) {
        return std::string(link.relays[index].text) + ":" + std::to_string(link.relays[index].port);
    };
    if (link.silent_moves != s.silent_moves_told) {
        s.silent_moves_told = link.silent_moves;
        AddEvent("the relay service at " + relay(link.moved_from) +
                 " stopped answering; session '" + session + "' moved to " + relay(link.current));
    } else if (link.home_moves != s.home_moves_told) {
        s.home_moves_told = link.home_moves;
        AddEvent("session '" + session + "' moved back to " +
                 (link.current == 0 ? std::string("its first relay service")
                                    : std::string("a relay service earlier in its order")) +
                 ", at " + relay(link.current));
    }
}

void ChooseLocalAddress(char* text) {
    std::memset(text, 0, kLocalAddressSize);
    if (gethostname(text, int(kLocalAddressSize)) != 0) return;
    hostent* entry = gethostbyname(text);
    if (!entry) return;
    PickLocalAddress(reinterpret_cast<const uint8_t* const*>(entry->h_addr_list), entry->h_length,
                     text, kLocalAddressSize);
}

// Waits for a relay thread that has been started: first until it reaches its loop
// or gives up (at most kRelayStartWaitMs), then until it leaves the loop.
void WaitForRelayThread() {
    SessionState& s = Session();
    for (int waited = 0; s.relay_started && !s.relay_running && waited < kRelayStartWaitMs;
         ++waited) {
        Sleep(1);
    }
    while (s.relay_running) Sleep(1);
}

// A player who ends the session says so: the relay service takes the link out of the
// session now, and the other players hear that this one left (not, 30 s later, that it
// timed out). One close, waited for at most 200 ms: a lost one ends in the time-out.
void TellRelayWeLeave() {
    SessionState& s = Session();
    int32_t link = RelayLinkConnection(s.link);
    if (!RelayLinkJoined(s.link) || !TransportSendClose(link)) return;
    for (int waited = 0; waited < 200 && TransportPendingCount(link) > 0; waited += 5) {
        TransportThink(0);
        Sleep(5);
    }
}

uint32_t InitSession(const char* host, uint32_t port, const char* session_name) {
    SessionState& s = Session();
    s.session_name[0] = 0;
    s.endpoint = CreateEndpoint(0);
    if (!s.endpoint) return 0;
    // One relay, or a list of them (and names with several addresses): every launcher of
    // a session orders them alike and joins the first that answers.
    std::vector<RelayAddress> relays;
    char error[160];
    if (!host || uint16_t(port) == 0 ||
        !ParseRelayList(host, uint16_t(port), &relays, error, sizeof error)) {
        return 0;
    }
    if (session_name && *session_name) OrderRelaysForSession(session_name, &relays);
    if (RelayLinkBegin(s.link, s.endpoint, relays, DeliverToGame, OnLinkJoined) == 0) return 0;
    s.timer_id = SetTimer(nullptr, 0, kThinkIntervalMs, ThinkTimerProc);
    ChooseLocalAddress(s.local_address);
    s.relayed_address = 0;
    s.previous_relayed_address = 0;
    s.seen_address = 0;
    char setting[8] = {};
    GetEnvironmentVariableA("OZLAN_RELAYED_TRAFFIC", setting, sizeof setting);
    s.relayed_traffic_wanted = _stricmp(setting, "off") != 0;
    setting[0] = 0;
    GetEnvironmentVariableA("OZLAN_SESSION_ADDRESSES", setting, sizeof setting);
    s.session_addresses_wanted = s.relayed_traffic_wanted && _stricmp(setting, "off") != 0;
    {
        std::lock_guard<std::mutex> guard(s.routes_lock);
        s.route_count = 0;
    }
    {
        std::lock_guard<std::mutex> guard(s.presence_lock);
        s.members = MemberList{};
        s.events.clear();
    }
    s.silent_moves_told = 0;
    s.home_moves_told = 0;
    s.proxy_target[0] = 0;
    s.active = 1;
    return 1;
}

}  // namespace

// The networks this machine is on, for the relay service to give the session a network
// that none of them uses.
size_t ReadOwnNetworks(IPv4Network (&out)[kMaxReportedNetworks]) {
    alignas(
        MIB_IPADDRTABLE) unsigned char table[sizeof(MIB_IPADDRTABLE) + 64 * sizeof(MIB_IPADDRROW)];
    ULONG size = sizeof table;
    if (GetIpAddrTable(reinterpret_cast<PMIB_IPADDRTABLE>(table), &size, FALSE) != NO_ERROR) {
        return 0;
    }
    const MIB_IPADDRTABLE* rows = reinterpret_cast<const MIB_IPADDRTABLE*>(table);
    size_t count = 0;
    for (DWORD i = 0; i < rows->dwNumEntries && count < kMaxReportedNetworks; ++i) {
        const MIB_IPADDRROW& row = rows->table[i];
        if ((row.dwAddr & 0xFF) == 127 || row.dwAddr == 0) continue;
        out[count++] = {row.dwAddr, row.dwMask};
    }
    return count;
}

void SendJoin() {
    SessionState& s = Session();
    uint8_t join[kPrivateJoinMessageSize];
    uint32_t flags = kJoinFlagPresence | kJoinFlagBundles |
                     (s.relayed_traffic_wanted ? kJoinFlagRelayedTraffic : 0);
    if (s.session_addresses_wanted) {
        // Before the join: a relay that knows session addresses gives the session a
        // network once it has both; one that does not ignores the message and the flag.
        IPv4Network networks[kMaxReportedNetworks];
        uint8_t message[1 + 8 * kMaxReportedNetworks];
        size_t size = WriteNetworksMessage(message, networks, ReadOwnNetworks(networks));
        std::lock_guard guard(TransportMutex());
        TransportSend(RelayLinkConnection(s.link), message, int32_t(size), kNetworksMessageType);
        flags |= kJoinFlagSessionAddresses;
    }
    size_t size = kJoinMessageSize;
    const char* player = s.player_name[0] ? s.player_name : "NoName";
    if (s.has_verifier) {
        WritePrivateJoinMessage(join, s.session_name, flags, s.verifier, player);
        size = kPrivateJoinMessageSize;
    } else {
        WriteJoinMessage(join, s.session_name, flags, player);
    }
    {
        std::lock_guard<std::mutex> guard(s.presence_lock);
        s.members_listed = false;
    }
    s.join_status = OZLAN_JOIN_PENDING;
    RelayLinkSendJoin(s.link, join, size, kJoinMessageType);
}

namespace {

// The transport's diagnostic lines go to standard output, or, where the launcher named
// one in OZLAN_DIAGNOSTICS_FILE, to the end of that file: a player's console then
// shows the launcher's own lines only.
FILE* g_diagnostics = nullptr;

void WriteDiagnostic(const char* line) {
    std::fputs(line, g_diagnostics);
    std::fflush(g_diagnostics);
}

void SendDiagnosticsToNamedFile() {
    char path[kPathSize];
    DWORD n = GetEnvironmentVariableA(OZLAN_DIAGNOSTICS_FILE_VARIABLE, path, sizeof path);
    if (n == 0 || n >= sizeof path) return;
    g_diagnostics = std::fopen(path, "a");
    if (g_diagnostics) SetTransportLogSink(WriteDiagnostic);
}

}  // namespace

bool AttachProcess(HMODULE module) {
    if (!StartWinsock()) return false;
    SendDiagnosticsToNamedFile();
    SessionState& s = Session();
    GetModuleFileNameA(module, s.module_folder, kPathSize);
    s.module_folder[kPathSize - 1] = 0;
    if (char* slash = std::strrchr(s.module_folder, '\\')) *slash = 0;
    return true;
}

}  // namespace ozlan

using namespace ozlan;

extern "C" uint32_t OZLAN_CALL OZLanInit(const char* host, uint32_t port) {
    return InitSession(host, port, nullptr);
}

extern "C" uint32_t OZLAN_CALL OZLanInitSession(const char* host, uint32_t port,
                                                const char* sessionName) {
    return InitSession(host, port, sessionName);
}

namespace ozlan {
namespace {

// What both ways of bringing the proxy to the game share: the verifier, the join, the
// relay thread. `deploy` places the copy into `game_folder` first.
uint32_t PrepareLaunch(const char* gameFolder, const char* sessionName, bool deploy) {
    SessionState& s = Session();
    if ((deploy && !gameFolder) || !s.active) return 0;
    const char* name = sessionName && *sessionName ? sessionName : kDefaultSessionName;
    // Names that the 64-byte fields cannot hold, and folders whose paths do not fit,
    // are refused before anything changes.
    char folder[kPathSize], target[kPathSize], source[kPathSize];
    if (std::strlen(name) >= kSessionNameField) return 0;
    if (deploy) {
        if (!BuildDeploymentPaths(gameFolder, s.module_folder, folder, target, source)) return 0;
        // A second game in the session: the first one's folder gets its files back
        // first, and while that game still runs with our copy the second is refused.
        if (!TakeBackOtherFolder(folder)) return 0;
    }
    // A private session's verifier, from the password and the name; the password goes.
    if (s.has_password) {
        s.has_verifier = DeriveSessionVerifier(s.password, name, s.verifier);
        SecureZeroMemory(s.password, sizeof s.password);
        s.has_password = false;
        if (!s.has_verifier) return 0;  // never fall back to an open session
    }
    {
        // While the link is away, the join goes out once it is back.
        std::lock_guard guard(TransportMutex());
        std::snprintf(s.session_name, kPathSize, "%s", name);
        if (RelayLinkJoined(s.link)) SendJoin();
    }
    if (deploy) {
        if (!DeployProxy(gameFolder)) return 0;
        RegisterRestartCleanup();
    }
    // One relay per session: a running relay keeps the port and goes on.
    if (!s.relay_started) {
        s.relay_started = 1;
        HANDLE thread = CreateThread(nullptr, 0, RelayThread, nullptr, 0, nullptr);
        if (thread) {
            CloseHandle(thread);
        } else {
            s.relay_started = 0;
        }
    }
    return 1;
}

}  // namespace
}  // namespace ozlan

extern "C" uint32_t OZLAN_CALL OZLanPreLaunch(const char* gameFolder, const char* sessionName) {
    return ozlan::PrepareLaunch(gameFolder, sessionName, true);
}

extern "C" uint32_t OZLAN_CALL OZLanPreLaunchInside(const char* sessionName) {
    return ozlan::PrepareLaunch(nullptr, sessionName, false);
}

extern "C" uint32_t OZLAN_CALL OZLanEndSession(void) {
    SessionState& s = Session();
    // The relay thread notices within one wait, forwards what the game sent last, and
    // ends; its socket is closed after it.
    s.active = 0;
    if (s.timer_id != 0) KillTimer(nullptr, s.timer_id);
    RelayLinkStop(s.link);
    WaitForRelayThread();
    // Messages still unacknowledged (the game's last broadcasts, lost once on the way)
    // are resent for a while instead of dropped with the session.
    int32_t link = RelayLinkConnection(s.link);
    for (int waited = 0;
         waited < kEndFlushMs && RelayLinkJoined(s.link) && TransportPendingCount(link) > 0;
         waited += 5) {
        TransportThink(0);
        Sleep(5);
    }
    TellRelayWeLeave();
    RemoveProxy();
    intptr_t relay = s.relay_socket;
    if (relay != kNoSocket) closesocket(SOCKET(relay));
    s.relay_socket = kNoSocket;
    Sleep(10);
    return 0;
}

extern "C" uint32_t OZLAN_CALL OZLanSetPassword(const char* password) {
    SessionState& s = Session();
    SecureZeroMemory(s.password, sizeof s.password);
    s.has_verifier = false;
    s.has_password = false;
    if (!password || !*password) return 1;  // an open session
    size_t n = std::strlen(password);
    if (n >= kPasswordSize) return 0;
    std::memcpy(s.password, password, n + 1);
    s.has_password = true;
    return 1;
}

extern "C" uint32_t OZLAN_CALL OZLanJoinStatus(void) {
    SessionState& s = Session();
    // Both under the transport's lock: a pass between the two reads could take in the
    // join's acknowledgement and the relay's refusal together (one bundle), and the join
    // would read as delivered.
    std::lock_guard guard(TransportMutex());
    uint32_t status = s.join_status;
    // Delivered: a refusal would have come in the same pass, and a private join's
    // confirmation too; an open join gets none.
    if (status == OZLAN_JOIN_PENDING && !s.has_verifier && RelayLinkJoinDelivered(s.link)) {
        status = OZLAN_JOIN_DELIVERED;
    }
    return status;
}

extern "C" uint32_t OZLAN_CALL OZLanIsJoined(void) {
    return RelayLinkJoined(Session().link) ? 1 : 0;
}

extern "C" BOOL WINAPI DllMain(HINSTANCE module, DWORD reason, LPVOID) {
    if (reason == DLL_PROCESS_ATTACH) return ozlan::AttachProcess(module) ? TRUE : FALSE;
    return TRUE;
}

namespace ozlan {
namespace {

std::string NameList(const MemberList& list) {
    std::string names;
    for (size_t i = 0; i < list.listed_count; ++i) {
        if (i) names += ", ";
        names += list.listed[i].name;
    }
    return names;
}

std::string Players(size_t count) {
    return std::to_string(count) + (count == 1 ? " player" : " players");
}

}  // namespace

void OnMemberList(const MemberList& list) {
    SessionState& s = Session();
    std::unique_lock<std::mutex> guard(s.presence_lock);
    std::string line;
    std::string session = s.session_name;
    if (list.event == kPresenceList) {
        // Once after each join; later lists only bring the members up to date.
        if (!s.members_listed) {
            line = Players(list.count) + " in session '" + session + "': " + NameList(list);
        }
        s.members_listed = true;
    } else if (list.event == kPresenceJoined) {
        line = std::string(list.subject) + " joined session '" + session + "' (" +
               Players(list.count) + ": " + NameList(list) + ")";
    } else {
        line = std::string(list.subject) + " left (" + Players(list.count) + ")";
    }
    s.members = list;
    guard.unlock();
    if (!line.empty()) AddEvent(line);
}

void AddEvent(const std::string& line) {
    SessionState& s = Session();
    std::lock_guard<std::mutex> guard(s.presence_lock);
    if (s.events.size() == kMaxPresenceEvents) s.events.pop_front();
    s.events.push_back(line);
}

}  // namespace ozlan

extern "C" uint32_t OZLAN_CALL OZLanSetPlayerName(const char* name) {
    SessionState& s = Session();
    char cleaned[kJoinPlayerField];
    CleanPlayerName(name, cleaned);
    std::memcpy(s.player_name, cleaned, sizeof cleaned);
    return cleaned[0] != 0;
}

extern "C" uint32_t OZLAN_CALL OZLanNextEvent(char* buffer, uint32_t size) {
    SessionState& s = Session();
    std::lock_guard<std::mutex> guard(s.presence_lock);
    if (!buffer || size == 0 || s.events.empty()) return 0;
    std::snprintf(buffer, size, "%s", s.events.front().c_str());
    s.events.pop_front();
    return 1;
}

extern "C" uint32_t OZLAN_CALL OZLanMembers(char* buffer, uint32_t size) {
    SessionState& s = Session();
    std::lock_guard<std::mutex> guard(s.presence_lock);
    std::string text;
    for (size_t i = 0; i < s.members.listed_count; ++i) {
        const ListedMember& m = s.members.listed[i];
        const char* how = (m.flags & kListedIsYou)          ? "you"
                          : (m.flags & kListedThroughRelay) ? "relayed"
                                                            : "direct";
        text += std::string(m.name) + "\t" + how + "\n";
    }
    if (buffer && size > 0) std::snprintf(buffer, size, "%s", text.c_str());
    return uint32_t(s.members.listed_count);
}
