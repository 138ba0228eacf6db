// The session's link to the relay service, kept up for the whole session: the relays
// are tried in the session's own order, a lost link is connected and joined again by
// itself, and the game's broadcasts wait meanwhile. Platform-free: the session library
// keeps one for its session and drives it from its timer (a benchmark keeps thousands).
// Every entry point takes the transport's lock, under which the records are kept.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <vector>

#include "transport/transport.h"

namespace ozlan {

constexpr size_t kMaxRelays = 16;
constexpr size_t kRelayListTextSize = 1024;

// One relay service address: IPv4 (network order) and port (host order), and the
// dotted text the transport connects to.
struct RelayAddress {
    uint32_t ip = 0;
    uint16_t port = 0;
    char text[24] = {};
};

// "host[:port][,host[:port]]...": every address of every name, in order, duplicates
// left out, at most kMaxRelays. False, with a reason in `error`, for an empty entry, a
// bad port or a name that does not resolve.
bool ParseRelayList(const char* text, uint16_t default_port, std::vector<RelayAddress>* out,
                    char* error, size_t error_size);

// Rendezvous hashing: every launcher of a session orders the same relays the same way
// without talking to the others, and a relay added or removed moves only its own
// share of sessions.
uint64_t RendezvousScore(const char* session_name, const RelayAddress& relay);
void OrderRelaysForSession(const char* session_name, std::vector<RelayAddress>* relays);

// Timings of the keeper and of its links.
constexpr int64_t kFirstRejoinDelayMs = 250;  // the first try after a loss, at most
constexpr int64_t kMaxRejoinDelayMs = 5000;
constexpr int64_t kStableLinkMs = 30000;      // a link this old resets the delay
constexpr int64_t kRelayAnswerWaitMs = 3000;  // before the next relay is tried
// A relay that said it stops, or did not answer in time, is tried last for this long.
constexpr int64_t kSkipRelayMs = 30000;
constexpr size_t kMaxHeldMessages = 256;  // broadcasts kept while the link is away
// A relay that leaves the link waiting for an answer this long is asked with a heartbeat
// every kQuietProbeMs; one silent for kSilentRelayMs is left for the next relay that
// answers (at 20% loss each way, 20 round trips all fail about once in 10^9).
constexpr int64_t kQuietRelayMs = 1000;
constexpr int64_t kQuietProbeMs = 100;
constexpr int64_t kSilentRelayMs = 3000;
// A relay that forwarded the game's traffic and fell silent is asked once after this
// pause (within a heartbeat interval of its last word): a session whose games talk
// notices a dead relay within seconds, an idle one at its next keep-alive.
constexpr int64_t kTrafficPauseMs = 2000;
// A link on another relay than its session's first asks one that comes before its own
// in the session's order every 4 to 8 s (the first, then the next, ...; one connect,
// answered within a second or forgotten) and moves there when it answers, so that
// members split by a passing fault meet again on the first relay that answers them all.
constexpr int64_t kHomeProbeMinMs = 4000;
constexpr int64_t kHomeProbeMaxMs = 8000;
constexpr int64_t kHomeProbeWaitMs = 1000;
// A relay asked in place of a silent one has this long to confirm before the next is.
constexpr int64_t kSilentProbeWaitMs = 1500;
LinkTimings LauncherLinkTimings();

enum class LinkPhase { Idle, Connecting, Joined, Waiting };

struct RelayLinkState;
// What the owner does when the link comes up: send its join. What the keeper holds
// goes out right after.
using LinkJoinedHook = void (*)(RelayLinkState& link, int32_t connection_id, bool rejoined);

struct RelayLinkState {
    void* owner = nullptr;             // for the owner's hooks
    std::vector<RelayAddress> relays;  // in the session's order
    Endpoint* endpoint = nullptr;
    DefaultHandler handler = nullptr;
    LinkJoinedHook joined_hook = nullptr;

    LinkPhase phase = LinkPhase::Idle;
    size_t current = 0;           // index of the relay tried or joined
    int32_t connection_id = 0;    // of the current attempt or link
    int64_t attempt_started = 0;  // when the current relay was first tried
    int64_t joined_at = 0;
    int64_t next_attempt_at = 0;
    int64_t rejoin_delay_ms = kFirstRejoinDelayMs;
    bool ever_joined = false;
    bool stopped = false;       // the session ended: no more attempts
    bool loss_pending = false;  // noticed inside a pass, acted on at the next tick
    // The join sent on this link, until the relay has it: a relay drops the broadcasts
    // of a launcher it has not seen join, so they wait for it.
    uint32_t join_id = 0;
    bool join_sent = false;           // on this link
    std::vector<int64_t> skip_until;  // per relay: stopped, or did not answer
    // While the relay is silent: the last heartbeat that asked it, and the connect to
    // another relay (its index, when it started, whether it answered).
    int64_t last_quiet_probe = 0;
    int64_t pause_asked = 0;  // the relay's last message, as of the pause asked about
    int32_t probe_connection = 0;
    size_t probe_index = 0;
    int64_t probe_started = 0;
    bool probe_answered = false;
    bool probe_failed = false;  // refused or timed out: the next relay is asked
    // The probe's connect could not even start (a name that does not resolve): the
    // next relay waits for the probe's time, as after a relay that does not answer.
    bool probe_unstarted = false;
    bool probe_home = false;  // the probe asks the session's first relay
    int64_t next_home_probe = 0;
    size_t home_index = 0;        // counts the relays asked before the own one
    uint64_t home_moves = 0;      // times the link went back to the session's first relay
    bool quiet = false;           // the relay has left the link waiting kQuietRelayMs
    uint64_t quiet_episodes = 0;  // times it did
    uint64_t silent_moves = 0;    // times the link left a silent relay
    size_t moved_from = 0;        // the relay it left last

    // Relay messages the game sent while away, oldest first.
    std::deque<std::vector<uint8_t>> held;
    uint64_t held_dropped = 0;
};

// Starts the first attempt; 0 when the relays cannot be connected to at all. The
// record must stay where it is until RelayLinkForget.
int32_t RelayLinkBegin(RelayLinkState& link, Endpoint* endpoint,
                       const std::vector<RelayAddress>& relays, DefaultHandler handler,
                       LinkJoinedHook joined_hook);
// Drives attempts, relay changes and rejoins; the owner calls it before each pass.
void RelayLinkTick(RelayLinkState& link);
// A notice from the relay service (kNoLinkNoticeType, kGoingAwayNoticeType) that arrived
// on a connection; the link whose connection it is acts on it.
void RelayLinkNotice(int32_t connection_id, uint32_t type);
// Stops the keeping: no attempt follows a loss; the link, while up, still carries what
// the game sent last.
void RelayLinkStop(RelayLinkState& link);
// Drops the link's connection and forgets the record.
void RelayLinkForget(RelayLinkState& link);
// Sends the join on the link; relay messages wait until the relay service has it.
void RelayLinkSendJoin(RelayLinkState& link, const uint8_t* join, size_t size, uint32_t type);
// Sends a relay message (type 8) on the link, or holds it (the oldest goes when full)
// while the link is away or its join unanswered.
void RelayLinkSend(RelayLinkState& link, const uint8_t* message, size_t size);
bool RelayLinkJoined(const RelayLinkState& link);
// The join sent on this link has reached the relay service (it acknowledged it).
bool RelayLinkJoinDelivered(const RelayLinkState& link);
int32_t RelayLinkConnection(const RelayLinkState& link);

}  // namespace ozlan
