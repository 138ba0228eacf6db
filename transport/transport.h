// Reliable-UDP peer transport: endpoints (local UDP sockets), connections to remote
// parties, reliable fragmented messages, heartbeats and time-outs, all driven by
// TransportThink passes. State is process-wide; see state.h for the record.
#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>

#include "transport/message.h"
#include "transport/socket.h"

namespace ozlan {

struct Endpoint {
    SocketHandle socket = kInvalidSocket;
    uint16_t local_port = 0;  // host order; the port the system actually bound
};

enum ConnectionEvent : int32_t {
    EVENT_CONNECTED = 0,
    EVENT_PEER_CLOSE = 1,
    EVENT_DISCONNECTED = 2,
    EVENT_TIMED_OUT = 3,
};

// Called as callback(connection id, event, nullptr).
using EventCallback = void (*)(int32_t connection_id, int32_t event, void* reserved);
// Called as handler(data, length, type, connection id, nullptr); data lives only
// for the call.
using DefaultHandler = void (*)(const uint8_t* data, int32_t length, int32_t type,
                                int32_t connection_id, void* reserved);

// Last-error codes.
enum TransportError : int32_t {
    TRANSPORT_OK = 0,
    TRANSPORT_ERR_WINSOCK = -2,
    TRANSPORT_ERR_SOCKET = -3,
    TRANSPORT_ERR_BIND = -4,
    TRANSPORT_ERR_NONBLOCKING = -5,
    TRANSPORT_ERR_ARGUMENTS = -6,
    TRANSPORT_ERR_LOOKUP = -7,
    TRANSPORT_ERR_NO_CONNECTION = -8,
};

// Control messages are resent every 10 s. A user message is resent after a time
// derived from its connection's measured round trip, never sooner than the floor (a
// peer may acknowledge only in its own 20 ms passes) nor later than 10 s, doubling
// with each try up to 10 s; before any measurement, after 10 s.
constexpr int64_t kResendIntervalMs = 10000;
constexpr int64_t kMinResendIntervalMs = 100;
// A message due for a resend waits while the peer has answered within this long and
// only messages sent before it (see the send step).
constexpr int64_t kAnswersFlowingMs = 50;
constexpr int64_t kTimeoutMs = 30000;
constexpr int64_t kHeartbeatIntervalMs = 30000;
constexpr uint32_t kThinkForever = 0xFFFFFFFFu;

// How one connection keeps time. The defaults are the protocol's; a launcher that
// must get through lossy links and home routers asks for tighter ones.
struct LinkTimings {
    // The connect: first resent after this long, the interval doubling up to the
    // second figure; given up (EVENT_TIMED_OUT) after the third, or never when it is 0
    // (the owner drops the connection when it stops waiting).
    int64_t connect_first_resend_ms = kResendIntervalMs;
    int64_t connect_max_resend_ms = kResendIntervalMs;
    int64_t connect_timeout_ms = kTimeoutMs;
    // User messages sent before a round trip has been measured are resent after this;
    // the resend interval doubles up to max_resend_ms.
    int64_t unmeasured_resend_ms = kResendIntervalMs;
    int64_t max_resend_ms = kResendIntervalMs;
    // A heartbeat every heartbeat_ms; with heartbeat_when_silent, only once nothing at
    // all has been sent on the connection for that long (which keeps a home router's
    // mapping alive at the least cost).
    int64_t heartbeat_ms = kHeartbeatIntervalMs;
    bool heartbeat_when_silent = false;
};

// Endpoints and connections. `bind_ip` (network order, 0 for all local addresses)
// lets a server listen on one address.
Endpoint* CreateEndpoint(uint16_t port, uint32_t bind_ip = 0);
int32_t Connect(Endpoint* endpoint, const char* host, uint16_t port, int32_t remote_id);
inline int32_t Connect(Endpoint* endpoint, const char* host, uint16_t port) {
    return Connect(endpoint, host, port, 0);
}
// Connect (this side starts the handshake) with the connection's own timings, in
// force before its connect first goes out.
int32_t ConnectWithTimings(Endpoint* endpoint, const char* host, uint16_t port,
                           const LinkTimings& timings);
// Changes a connection's timings (one that answered an incoming connect, say).
void SetConnectionTimings(int32_t connection_id, const LinkTimings& timings);
// From now on what one pass sends the connection (messages, acknowledgements, resends,
// and datagrams sent inside a pass) shares datagrams, up to 1412 bytes each: only for a
// peer that said it reads bundles. Nothing waits for a bundle to fill.
void SetConnectionBundles(int32_t connection_id, bool on);
// Forgets a connection at once: its queued and unacknowledged messages and what it
// has gathered in the bucket go with it, and no event fires. False if not in the table.
bool TransportDropConnection(int32_t connection_id);
void SetEventCallback(int32_t connection_id, int32_t event, EventCallback callback);
void SetDefaultHandler(int32_t connection_id, DefaultHandler handler);

// Sending and the periodic pass.
int32_t TransportSend(int32_t connection_id, const void* data, int32_t length, uint32_t type);
// TransportSend that returns the message's id (0 when nothing was queued), so that the
// caller can learn when the other side has it.
uint32_t TransportSendTracked(int32_t connection_id, const void* data, int32_t length,
                              uint32_t type);
// True while a message of the connection with this id is queued or unacknowledged.
bool TransportMessageOutstanding(int32_t connection_id, uint32_t message_id);
// An unacknowledged message: one datagram of at most 1488 bytes of payload
// (kMaxUnacknowledgedPayload), sent at once, never
// resent and never waited for; the receiver hands it to the connection's handler as it
// arrives (a game's own datagrams, which are worth nothing late). It carries id, seq and
// total 0, which a peer without this extension drops as malformed: send it only to a
// peer that said it takes it. -1 without the connection, 0 when sent or refused
// (too long, or a control type).
int32_t TransportSendDatagram(int32_t connection_id, const void* data, int32_t length,
                              uint32_t type);
// A burst: what is sent between the two calls (unacknowledged messages to a bundling
// peer included) leaves together at its end, in bundles where the peer reads them. For a
// caller that forwards everything waiting at once; nothing waits longer than the burst.
// Bursts nest; the outermost end sends.
void TransportBeginBurst();
void TransportEndBurst();

// The same to an address that has no connection, from `endpoint` (a short notice to a
// source the receiver knows nothing of).
int32_t TransportSendDatagramTo(Endpoint* endpoint, const SocketAddress& to, const void* data,
                                int32_t length, uint32_t type);
int32_t TransportThink(uint32_t budget_ms);
// Receives what has arrived (when `receive`; a caller that waited on the endpoints'
// sockets knows), delivers it and sends what is queued, at once. Resends, time-outs
// and heartbeats stay with TransportThink.
int32_t TransportPump(bool receive = true);

// Last-error code and its message ("[-3] unable to aquire socket").
int32_t TransportLastError();
const char* TransportErrorText(int32_t code);

// --- Seams for embedding programs and tests -------------------------------------

// Diagnostic lines go here; the default writes them to standard output. A null
// sink silences them.
using LogSink = void (*)(const char* line);
void SetTransportLogSink(LogSink sink);

// Replaces the clock and the pause between passes (null restores the system's).
using NowFunction = int64_t (*)();
using SleepFunction = void (*)(int ms);
void SetTransportClock(NowFunction now, SleepFunction sleep);
// The transport's clock (ms), so that code beside it keeps the same time.
int64_t TransportNow();

// Called with the id of each connection that the receive path makes for an incoming
// connect, before its confirmation is queued: a server registers its handlers here.
using AcceptCallback = void (*)(int32_t connection_id);
void SetAcceptCallback(AcceptCallback callback);

// A connection made by an incoming connect is verified once the remote party
// acknowledges our confirmation, whose message id is random: until then it has not
// shown that it receives at the address it claims (a forged source cannot answer).
// Until then each connect from it gets one confirmation and nothing else: the connect's
// acknowledgement waits for the proof, the confirmation is resent only when the connect
// is, and its user messages, heartbeats and closes go unanswered. The callback runs when
// the proof arrives; connections this side made are verified from the start.
void SetVerifiedCallback(AcceptCallback callback);

// Called for each well-formed datagram other than a connect whose source address has
// no connection on the endpoint that received it (after a restart, the peers of the
// previous run), before it is handled as usual. `size` is the datagram's whole length.
using UnknownSourceCallback = void (*)(Endpoint* endpoint, const SocketAddress& from,
                                       const MessageHeader& header, size_t size);
void SetUnknownSourceCallback(UnknownSourceCallback callback);

// The lock over all transport state. Code that keeps its own state beside the
// transport's and is called from transport callbacks takes this one too, so that
// both are always taken in the same order.
std::recursive_mutex& TransportMutex();
bool TransportConnectionVerified(int32_t connection_id);

// Bounds on what a remote party can make the receiver hold.
struct TransportLimits {
    size_t max_incomplete_messages = 1024;  // in the bucket, over all connections
    size_t max_incomplete_per_connection = 64;
    size_t max_incomplete_bytes = 32u * 1024 * 1024;  // payload held for incomplete messages
    size_t max_datagrams_per_poll = 4096;             // per endpoint and pass
    size_t max_connections = 65536;  // a connect beyond this table size is not answered
    // Connections made by incoming connects and not yet verified: at most this many in
    // all (a new connect makes room by dropping the oldest, so a flood of forged
    // connects cannot lock real launchers out) and from one source address.
    size_t max_unverified = 4096;
    size_t max_unverified_per_source = 16;
};
void SetTransportLimits(const TransportLimits& limits);

struct TransportStats {
    uint64_t datagrams_received = 0;
    uint64_t datagrams_sent = 0;
    uint64_t dropped_malformed = 0;           // short datagram, bad len, bad control len, bad seq
    uint64_t dropped_unknown_source = 0;      // user message from no connection's address
    uint64_t dropped_bucket_full = 0;         // fragment refused by the limits above
    uint64_t dropped_expired = 0;             // incomplete messages given up
    uint64_t dropped_connection_limit = 0;    // connects refused by max_connections
    uint64_t dropped_unverified = 0;          // unverified connections dropped to make room
    uint64_t dropped_source_limit = 0;        // connects refused: too many unverified from there
    uint64_t dropped_unverified_message = 0;  // user messages of unverified connections
    uint64_t messages_delivered = 0;
    uint64_t datagrams_delivered = 0;  // unacknowledged messages handed to a handler
    uint64_t resends = 0;              // messages sent again for want of an acknowledgement
    uint64_t resends_postponed = 0;    // due, but the peer was still answering older ones
    uint64_t bundled = 0;              // messages and acknowledgements sent inside bundles
};
TransportStats GetTransportStats();

// The resend interval a user message queued now on the connection would get (ms),
// or -1 when the connection is not in the table.
int64_t TransportResendIntervalMs(int32_t connection_id);

// Queued plus unacknowledged messages of a connection (fragments count singly).
size_t TransportPendingCount(int32_t connection_id);
// How long the connection has waited for an answer (ms): since messages began waiting,
// or since the last acknowledgement while they still do; 0 when nothing waits or the
// connection is not in the table.
int64_t TransportUnansweredMs(int32_t connection_id);
// When (TransportNow) a user message of the peer last arrived: 0 never, -1 when the
// connection is not in the table.
int64_t TransportLastMessageAt(int32_t connection_id);
// Queues a heartbeat now (the peer acknowledges it); false before the link is
// confirmed or when the connection is not in the table.
bool TransportSendHeartbeat(int32_t connection_id);
// Queues a peer-close (the peer takes the link out and confirms); false when the
// connection is not in the table or the close cannot be queued.
bool TransportSendClose(int32_t connection_id);
// The connection's remote address, remote id and endpoint; false if not in the table.
bool TransportConnectionInfo(int32_t connection_id, SocketAddress* remote, int32_t* remote_id,
                             Endpoint** endpoint);
// Milliseconds until the next resend, time-out, heartbeat or bucket expiry is due
// (0 when something is due now, or queued to send; max_wait_ms when nothing is).
int64_t TransportNextDueMs(int64_t max_wait_ms);

// Closes every socket and forgets all state, counters included, as if newly loaded.
void TransportReset();

}  // namespace ozlan
