// OZLAN.dll: the session library a launcher loads. Call the three exports on one
// thread that keeps dispatching window messages from OZLanInit to OZLanEndSession:
// a 20 ms thread timer on it drives the peer transport.
//   OZLanInit(host, port)            join the relay service; 1 on success, 0 on failure
//   OZLanPreLaunch(folder, session)  deploy the proxy, send the join message, start the
//                                    relay; 1 on success, 0 on failure
//   OZLanEndSession()                stop the relay, remove the proxy; always 0
//   OZLanIsJoined()                  1 while the relay service has confirmed the link,
//                                    0 before that and while a lost link is being
//                                    connected and joined again (which happens by itself)
//   OZLanInitSession(host, port, session)
//                                    OZLanInit for a launcher that knows its session
//                                    name already: with several relays, every launcher
//                                    of the session then picks the same one first
//   OZLanSetPassword(password)       the session is private: its joins carry a verifier
//                                    derived here from the password and the session
//                                    name (the password never leaves the machine);
//                                    null or empty: open. Call before OZLanPreLaunch.
//   OZLanJoinStatus()                what became of the latest join (OZLAN_JOIN_...)
//   OZLanSetPlayerName(name)         the player's name in the join (control characters
//                                    left out, at most 23 bytes); 0 when nothing is left
//                                    of it. Call before OZLanPreLaunch.
//   OZLanNextEvent(buffer, size)     the next line about the session's players ("alice
//                                    joined session 'x' (2 players: alice, bob)"), as a
//                                    zero-terminated text: 1, or 0 when none waits
//   OZLanMembers(buffer, size)       who is in the session, one "name<TAB>how" line each
//                                    (how: "you", "direct" or "relayed"); their number
//   OZLanPreLaunchInside(session)    OZLanPreLaunch for a game that gets the proxy inside
//                                    its process instead of a copy in its folder (nothing
//                                    is written there); 1 on success, 0 on failure
//   OZLanTakeOverProcess(process)    a game process the launcher created suspended (and
//                                    has not resumed yet) gets ozws.dll, from this
//                                    library's folder, and hands every Winsock call of
//                                    its modules (wsock32.dll and ws2_32.dll) to it; 1 on
//                                    success, 0 when the process cannot be taken over (of
//                                    another bitness, protected): the launcher then ends
//                                    it unrun. Needs PROCESS_CREATE_THREAD, _VM_OPERATION,
//                                    _VM_WRITE, _VM_READ and _QUERY_INFORMATION.
// `host` may list several relays, "a.example.net:3669,b.example.net" (a name may also
// resolve to several addresses); `port` is for entries without one.
// Exported by name and ordinal (1 to 12), undecorated, with the __stdcall convention.
// A wsock32.dll of the player's in the game folder is kept under OZLAN_SAVED_NAME for
// the session and put back at its end; OZLanPreLaunch refuses (0) a folder that holds
// both a player's wsock32.dll and a file of that name.
#pragma once

#define OZLAN_SAVED_NAME "wsock32.dll.ozlan-saved"

// Where the session library writes its diagnostic lines, when set before it is loaded
// (a file it appends to); unset, they go to standard output.
#define OZLAN_DIAGNOSTICS_FILE_VARIABLE "OZLAN_DIAGNOSTICS_FILE"

// OZLanJoinStatus: the join has not reached the relay service yet; it has (an open
// session, nothing refused); the relay confirmed a private join; it refused the join.
#define OZLAN_JOIN_PENDING 0
#define OZLAN_JOIN_DELIVERED 1
#define OZLAN_JOIN_ACCEPTED_PRIVATE 2
#define OZLAN_JOIN_WRONG_PASSWORD 3
#define OZLAN_JOIN_NEEDS_PASSWORD 4
#define OZLAN_JOIN_SESSION_IS_OPEN 5
// The relay looks at no join from this address for a while (too many refused ones this
// minute): the low byte is this, the next byte the seconds until it looks again.
#define OZLAN_JOIN_TOO_MANY_TRIES 6

#include <stdint.h>

#ifdef _WIN32
#define OZLAN_CALL __stdcall
#else
#define OZLAN_CALL
#endif

#ifdef __cplusplus
extern "C" {
#endif

uint32_t OZLAN_CALL OZLanInit(const char* host, uint32_t port);
uint32_t OZLAN_CALL OZLanPreLaunch(const char* gameFolder, const char* sessionName);
uint32_t OZLAN_CALL OZLanEndSession(void);
uint32_t OZLAN_CALL OZLanIsJoined(void);
uint32_t OZLAN_CALL OZLanInitSession(const char* host, uint32_t port, const char* sessionName);
uint32_t OZLAN_CALL OZLanSetPassword(const char* password);
uint32_t OZLAN_CALL OZLanJoinStatus(void);
uint32_t OZLAN_CALL OZLanSetPlayerName(const char* name);
uint32_t OZLAN_CALL OZLanNextEvent(char* buffer, uint32_t size);
uint32_t OZLAN_CALL OZLanMembers(char* buffer, uint32_t size);
uint32_t OZLAN_CALL OZLanPreLaunchInside(const char* sessionName);
uint32_t OZLAN_CALL OZLanTakeOverProcess(void* process);

typedef uint32_t(OZLAN_CALL* OZLanInitFn)(const char*, uint32_t);
typedef uint32_t(OZLAN_CALL* OZLanPreLaunchFn)(const char*, const char*);
typedef uint32_t(OZLAN_CALL* OZLanEndSessionFn)(void);
typedef uint32_t(OZLAN_CALL* OZLanIsJoinedFn)(void);
typedef uint32_t(OZLAN_CALL* OZLanInitSessionFn)(const char*, uint32_t, const char*);
typedef uint32_t(OZLAN_CALL* OZLanSetPasswordFn)(const char*);
typedef uint32_t(OZLAN_CALL* OZLanJoinStatusFn)(void);
typedef uint32_t(OZLAN_CALL* OZLanSetPlayerNameFn)(const char*);
typedef uint32_t(OZLAN_CALL* OZLanNextEventFn)(char*, uint32_t);
typedef uint32_t(OZLAN_CALL* OZLanMembersFn)(char*, uint32_t);
typedef uint32_t(OZLAN_CALL* OZLanPreLaunchInsideFn)(const char*);
typedef uint32_t(OZLAN_CALL* OZLanTakeOverProcessFn)(void*);

#ifdef __cplusplus
}
#endif
