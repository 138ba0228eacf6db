// The session library's process-wide record and its internal operations:
// lifecycle (session.cpp), proxy deployment and restart-time removal (deploy.cpp),
// the launcher-side relay (relay_thread.cpp), and the local address choice
// (local_address.cpp, platform-free).
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>

#include "machine/local_address.h"
#include "session/ozlan.h"
#include "session/relay_link.h"
#include "protocol/wire.h"
#include "transport/transport.h"

namespace ozlan {

constexpr size_t kPathSize = 260;
constexpr size_t kLocalAddressSize = 128;
constexpr uint32_t kThinkIntervalMs = 20;
constexpr int kRelayWaitMs = 5;              // select time-out in the relay loop
constexpr int kRelayBatch = 64;              // proxy datagrams forwarded per transport pump
constexpr int kRelaySocketBuffer = 4 << 20;  // receive buffer of the relay socket
constexpr int kRelayStartWaitMs = 2000;      // session end waits this long for a starting relay
constexpr int kEndFlushMs = 2000;  // session end waits this long for what is unacknowledged
constexpr intptr_t kNoSocket = ~intptr_t(0);  // INVALID_SOCKET
constexpr size_t kPasswordSize = 128;         // 127 characters and the NUL
// PBKDF2-HMAC-SHA256 rounds for a session's verifier: slow enough that guessing a
// password from a verifier costs, quick enough for a launcher's start.
constexpr uint32_t kVerifierIterations = 100000;

struct SessionState {
    char module_folder[kPathSize] = {};
    bool winsock_started = false;
    Endpoint* endpoint = nullptr;
    RelayLinkState link;  // the session connection, kept up by the session library
    uintptr_t timer_id = 0;
    char local_address[kLocalAddressSize] = {};
    char session_name[kPathSize] = {};
    char game_folder[kPathSize] = {};
    char proxy_target[kPathSize] = {};
    char saved_target[kPathSize] = {};  // where a player's own wsock32.dll waits meanwhile
    // The move at the next start this session registered (new path empty: a deletion).
    char restart_existing[kPathSize] = {};
    char restart_new[kPathSize] = {};

    std::atomic<uint8_t> active{0};         // written by the launcher's thread
    std::atomic<uint8_t> relay_running{0};  // written by the relay thread
    std::atomic<intptr_t> relay_socket{kNoSocket};
    // A relay thread was started and has not yet finished (it clears this last).
    std::atomic<uint8_t> relay_started{0};

    // Relayed traffic: asked for in the join unless OZLAN_RELAYED_TRAFFIC=off; the
    // addresses arrive with the relay service's answer (network order, 0 until then).
    bool relayed_traffic_wanted = true;
    std::atomic<uint32_t> relayed_address{0};  // what other players' games know ours by
    std::atomic<uint32_t> seen_address{0};     // where the relay service sees this launcher
    // The relayed address of an earlier link of this session, asked for again on rejoin.
    uint32_t previous_relayed_address = 0;
    // Session addresses: asked for in the join unless OZLAN_SESSION_ADDRESSES=off; the
    // proxy's routes to the other members come from the relay's member table.
    bool session_addresses_wanted = true;
    std::mutex routes_lock;  // the relay thread and the transport's passes
    Route routes[kMaxRoutes] = {};
    size_t route_count = 0;

    // A private session: the password until the join is written, then its verifier.
    char password[kPasswordSize] = {};
    bool has_password = false;
    uint8_t verifier[kVerifierSize] = {};
    bool has_verifier = false;
    std::atomic<uint32_t> join_status{OZLAN_JOIN_PENDING};

    // The player's name (empty: "NoName", as launchers without names) and who is in
    // the session, with the lines about it the launcher has not taken yet.
    char player_name[kJoinPlayerField] = {};
    std::mutex presence_lock;
    MemberList members;
    bool members_listed = false;  // a list came since the join was sent
    std::deque<std::string> events;
    // Moves of the link without a loss that the player was told of.
    uint64_t silent_moves_told = 0;
    uint64_t home_moves_told = 0;
};

// At most this many lines about players wait for the launcher (the oldest go).
constexpr size_t kMaxPresenceEvents = 64;
// Takes in a member list from the relay service: keeps it and words the change.
void OnMemberList(const MemberList& list);
// A line about the session for the launcher (OZLanNextEvent); the oldest go when full.
void AddEvent(const std::string& line);

// True when the relay service sees this launcher at another address than its own: a
// router stands between, and other players reach this player's games only through
// the relay service.
bool BehindRouter();

SessionState& Session();

#ifdef _WIN32
// PBKDF2-HMAC-SHA256 by the platform's own cryptography (bcrypt.dll); false when it
// cannot.
bool DerivePbkdf2Sha256(const void* password, size_t password_size, const void* salt,
                        size_t salt_size, uint32_t iterations, uint8_t* out, size_t out_size);
// The verifier of a private session: PBKDF2-HMAC-SHA256 of the password, salted with
// "OZLAN session verifier", a zero byte and the session name.
bool DeriveSessionVerifier(const char* password, const char* session_name,
                           uint8_t (&verifier)[kVerifierSize]);

// Deployment (Windows). Paths that would not fit 260 bytes make it fail unchanged.
bool BuildDeploymentPaths(const char* game_folder, const char* module_folder, char* folder_out,
                          char* target_out, char* source_out);
// A wsock32.dll of the player's is moved aside to "wsock32.dll.ozlan-saved" for the
// session and put back by RemoveProxy (or by the next deployment, after a launcher
// that died). False, with nothing changed, when the copy fails or when a saved file
// and a player's wsock32.dll are both there.
bool DeployProxy(const char* game_folder);
// Takes our copy back (and the player's file back in place); true when nothing of ours
// is left in the folder, false when a game still holds the copy (the restart entry
// stays for it).
bool RemoveProxy();
// One game folder at a time: before a deployment into `folder` (as BuildDeploymentPaths
// made it), the copy in another folder of this session is taken back. False, with that
// copy left as it is, while a game still holds it.
bool TakeBackOtherFolder(const char* folder);
// The restart-time entry for this session: delete our copy, or, when the player's
// own file waits aside, put it back in place of our copy.
void RegisterRestartCleanup();
// Takes this session's restart entry out again (both lists), once nothing of ours is
// left in the folder.
void ForgetRestartCleanup();
// True when the file at `path` is a copy of the proxy (this build's or an earlier one).
bool IsProxyCopy(const char* path, const char* proxy_source);
uint32_t MoveAtRestart(const char* existing_path, const char* new_path);
// The same with the Windows folder given, so that tests can use their own.
uint32_t MoveAtRestartIn(const char* windows_folder, const char* existing_path,
                         const char* new_path);
// Takes the entry MoveAtRestartIn makes out of wininit.ini again, leaving every other
// line as it stands; 1 when it is not there afterwards.
uint32_t ForgetRestartMoveIn(const char* windows_folder, const char* existing_path,
                             const char* new_path);

// Relay (Windows).
unsigned long __stdcall RelayThread(void* unused);
// `flags`: the relay header's flags word (kRelayFlagSourcePort when the link
// message names the game socket's port).
void ForwardToRemote(const unsigned char* datagram, int length, uint32_t flags = 0);
void DeliverToGame(const uint8_t* data, int32_t length, int32_t type, int32_t connection_id,
                   void* zero);
// The link is up (again): the join goes out, asking for relayed traffic as before.
void SendJoin();
#endif

}  // namespace ozlan
