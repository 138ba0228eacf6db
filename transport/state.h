// The transport's process-wide record, shared by endpoint.cpp, send.cpp and
// receive.cpp. Every access holds `lock`; it is recursive so that callbacks run
// inside a pass may send.
#pragma once

#include <cstdarg>
#include <deque>
#include <list>
#include <map>
#include <memory>
#include <memory_resource>
#include <mutex>
#include <set>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "transport/transport.h"

namespace ozlan {

struct Message;
// A message's record goes back to the spare ones (payload capacity kept) instead of
// the heap: a busy relay makes and drops one per delivery.
struct MessageRecycler {
    void operator()(Message* m) const;
};
using MessagePtr = std::unique_ptr<Message, MessageRecycler>;

// A connection remembers the ids it delivered for at least kRememberDeliveriesMs (a
// resend comes 100 ms and more after the first copy, and again at doubling intervals),
// in a ring of 1,024 ids that doubles while its oldest is younger than that, up to 16,384
// (5,000 messages a second for those 3 s; 128 KB).
constexpr size_t kRememberedDeliveries = 1024;
constexpr size_t kMaxRememberedDeliveries = 16384;
constexpr int64_t kRememberDeliveriesMs = 3000;

struct Connection {
    int32_t id = 0;
    char host[kHostFieldSize] = {};
    SocketAddress remote;
    Endpoint* endpoint = nullptr;
    int32_t remote_id = 0;
    int64_t heartbeat_time = 0;
    int64_t last_sent = 0;  // when any datagram of this connection last went out
    LinkTimings timings;
    EventCallback callbacks[4] = {};
    DefaultHandler handler = nullptr;
    size_t pending = 0;     // messages queued or unacknowledged
    size_t incomplete = 0;  // its multi-fragment messages still gathering in the bucket
    // False for an accepted connection until the confirmation with this random id is
    // acknowledged.
    bool verified = true;
    uint32_t confirm_id = 0;
    // The connect it answers, acknowledged only once the confirmation is: before, the
    // only answer to a connect is one confirmation, no larger than the connect.
    MessageHeader connect_header;
    // When an acknowledgement last arrived, and the latest send time of a message
    // acknowledged: a message sent after that which is still unanswered while answers keep
    // coming is queued behind others, not lost.
    int64_t last_acknowledged = 0;
    int64_t newest_acknowledged_send = 0;
    // Since when the connection waits for an answer: when messages began waiting (none
    // waited before), moved on by every acknowledgement.
    int64_t unanswered_since = 0;
    int64_t last_received = 0;  // when a user message of the peer last arrived
    // Round trip of acknowledged first sends (smoothed, and its variation), in ms.
    bool rtt_measured = false;
    int64_t srtt = 0;
    int64_t rttvar = 0;
    // Ids of the messages last handed to the handler (a ring, oldest at `delivered_next`
    // once full), when each was (clock ms, low 32 bits), and the highest of them: a
    // resent copy whose acknowledgement was lost is acknowledged, not delivered.
    std::vector<uint32_t> delivered_ids;
    std::vector<uint32_t> delivered_times;
    size_t delivered_next = 0;
    size_t delivered_capacity = kRememberedDeliveries;
    uint32_t highest_delivered = 0;
    // What one pass sends this connection goes in bundles (the peer reads them).
    bool bundles = false;
    // Acknowledgement bodies owed to a bundling connection (sent as lists), and when
    // the first of them was gathered.
    std::vector<uint8_t> pending_acks;
    int64_t acks_since = 0;
    // To a bundling connection: payload bytes of first-sent messages still unanswered,
    // and messages waiting for room under kFlightWindowBytes (in order).
    size_t in_flight = 0;
    std::deque<MessagePtr> held;
};
// Acknowledgements for a bundling connection wait until the clock moves on by this much
// (or a list is full): a receiver that passes for every datagram then answers once a
// millisecond, not once a datagram. Far below the shortest resend interval.
constexpr int64_t kAckListWaitMs = 1;
// Payload that may be unanswered at once to a bundling connection: the rest waits its
// turn here rather than overflowing the peer's socket (losses a flood would only
// repeat). With the kernel's overhead per datagram, 128 KB still fits a default Linux
// socket buffer; at 100 ms round trip it still carries over 1 MB/s.
constexpr size_t kFlightWindowBytes = 128 * 1024;
using ConnectionRef = std::shared_ptr<Connection>;

struct Message {
    int32_t connection_id = 0;
    ConnectionRef connection;  // keeps the record alive after it leaves the table
    MessageHeader header;
    std::vector<uint8_t> payload;
    int64_t created = 0;
    int64_t last_sent = 0;
    int64_t resend_interval = kResendIntervalMs;  // set when first sent
    int32_t tries = 0;
    bool unacknowledged = false;  // sent once and forgotten (TransportSendDatagram)
    bool in_flight = false;       // counted in its connection's window
    // Once unacknowledged for the shortest resend interval: its entry in the schedule
    // (0: none yet). Messages due at one moment go in the order they joined it.
    uint64_t serial = 0;
};
MessagePtr NewMessage();  // a cleared record, spare when there is one
constexpr size_t kSpareMessages = 65536;

// Spare message records; declared first in the state so that it is destroyed last,
// after every container that hands records back to it.
struct SpareMessages {
    std::vector<Message*> records;
    ~SpareMessages();
};
using UnackedList = std::list<MessagePtr>;

// The unacknowledged entries of one message id, in list order.
struct UnackedEntries {
    UnackedList::iterator first;
    std::vector<UnackedList::iterator> more;  // a multi-fragment message's others
    std::vector<UnackedList::iterator> All() const {
        std::vector<UnackedList::iterator> all{first};
        all.insert(all.end(), more.begin(), more.end());
        return all;
    }
};

// When an unacknowledged message is next due (a resend or its time-out).
struct ScheduleEntry {
    int64_t due = 0;
    uint64_t serial = 0;
    UnackedList::iterator message;
};

// Fragments of one message from one connection, gathered until all have arrived.
struct BucketEntry {
    int32_t connection_id = 0;
    ConnectionRef connection;
    uint32_t id = 0;
    uint16_t type = 0;
    uint16_t total = 0;
    int64_t first_arrival = 0;
    size_t bytes = 0;
    std::map<uint16_t, std::vector<uint8_t>> fragments;  // by seq (two or more)
    std::vector<uint8_t> single;                         // the payload of a lone fragment
};
using BucketList = std::list<BucketEntry>;

// A remote address as seen on one endpoint.
struct AddressKey {
    const Endpoint* endpoint;
    uint64_t address;
    AddressKey(const Endpoint* e, const SocketAddress& a)
        : endpoint(e), address((uint64_t(a.ip) << 16) | a.port) {}
    bool operator==(const AddressKey&) const = default;
};
struct AddressKeyHash {
    size_t operator()(const AddressKey& k) const {
        return std::hash<uint64_t>()(k.address) ^ (std::hash<const void*>()(k.endpoint) << 1);
    }
};
inline uint64_t BucketKey(int32_t connection_id, uint32_t id) {
    return (uint64_t(uint32_t(connection_id)) << 32) | id;
}

struct TransportState {
    SpareMessages spare_messages;
    // Nodes of the per-message indexes below come from here and go back here: an entry
    // made and dropped for every message costs no trip to the heap.
    std::pmr::unsynchronized_pool_resource index_nodes;
    std::recursive_mutex lock;

    bool socket_library_started = false;
    std::vector<std::unique_ptr<Endpoint>> endpoints;  // creation order
    std::map<int32_t, ConnectionRef> connections;      // ascending id
    // Endpoint and source address -> ids of its connections with that remote
    // address; the lowest id wins.
    std::unordered_map<AddressKey, std::set<int32_t>, AddressKeyHash> by_address;
    int32_t next_connection_id = 1;
    uint32_t message_id_counter = 0;
    int32_t last_error = 0;
    // Heartbeats are due no earlier than this (heartbeat time + interval, lowest).
    int64_t next_heartbeat_due = INT64_MAX;

    std::deque<MessagePtr> send_queue;
    std::vector<ConnectionRef> acks_due;  // connections with pending acknowledgements
    std::vector<ConnectionRef> holding;   // connections with messages held for window room
    // Buffers of one receive batch and of one send batch (made on first use).
    std::vector<uint8_t> receive_storage, send_storage;
    UnackedList unacked;        // order of first sending
    UnackedList spare_unacked;  // empty list nodes, for reuse
    // The first message in `unacked` younger than the shortest resend interval: the
    // ones before it are in the schedule, it and the ones after it are not yet (most
    // are acknowledged before they get there).
    UnackedList::iterator first_young = unacked.end();
    // message id -> its entries in `unacked`, in list order (nearly always one)
    std::pmr::unordered_map<uint32_t, UnackedEntries> unacked_by_id{&index_nodes};
    // The older entries of `unacked` as a binary heap on their due time: a pass looks
    // only at the messages that are due, however many wait.
    std::vector<ScheduleEntry> schedule;
    std::pmr::unordered_set<uint64_t> cancelled_serials{&index_nodes};  // messages gone
    uint64_t next_serial = 0;

    BucketList bucket;        // order of first fragment's arrival
    BucketList spare_bucket;  // entries delivered, for reuse
    std::pmr::unordered_map<uint64_t, BucketList::iterator> bucket_by_key{&index_nodes};
    size_t bucket_bytes = 0;       // payload held by multi-fragment entries
    size_t bucket_incomplete = 0;  // multi-fragment entries
    bool in_pass = false;          // a handler's nested TransportThink does nothing
    int64_t pass_now = 0;          // the clock as read for the batch a pass is handling
    int bursts = 0;                // open TransportBeginBurst calls

    AcceptCallback on_accept = nullptr;
    AcceptCallback on_verified = nullptr;
    UnknownSourceCallback on_unknown_source = nullptr;
    // Unverified accepted connections: oldest first (entries of connections verified or
    // gone since are passed over), and how many per source address.
    std::deque<int32_t> unverified_order;
    size_t unverified_count = 0;
    std::unordered_map<uint32_t, size_t> unverified_by_source;
    TransportLimits limits;
    TransportStats stats;
    LogSink log_sink;
    NowFunction now;
    SleepFunction sleep;

    TransportState();
    ~TransportState();
};

TransportState& State();

int64_t Now();
// Inside a pass, the clock as read for the batch it is handling (one read for many
// messages); outside, Now().
int64_t PassNow();
void Log(const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 1, 2)))
#endif
    ;

Connection* FindConnection(int32_t connection_id);
bool RemoveConnection(int32_t connection_id);
void SetLastError(int32_t code);
void ReleaseMessage(Message& m);  // drops the connection's pending count
// A connection's remote id became known: its heartbeats start counting.
void ScheduleHeartbeat(const Connection& c);
// When the connection's next heartbeat is due.
int64_t HeartbeatDue(const Connection& c);
void ApplyAcknowledgement(uint32_t id, uint16_t seq);
// Queues a message under the given id (TransportSend takes the next of the counter).
int32_t QueueMessage(int32_t connection_id, const void* data, int32_t length, uint32_t type,
                     uint32_t id);
int64_t ResendInterval(const Connection& c);
// Counts an accepted connection as unverified, and stops counting it (verified or gone).
void TrackUnverified(Connection& c);
void UntrackUnverified(Connection& c);
// Acknowledges the connect an accepted connection answered (receive.cpp).
void AcknowledgeConnect(const Connection& c);
// Drops the unacknowledged messages with this id of one connection.
void DropUnacked(int32_t connection_id, uint32_t id);
bool WasDelivered(const Connection& c, uint32_t id);
void RememberDelivered(Connection& c, uint32_t id, int64_t now);

// Receive path and deliver step (receive.cpp), and the bucket's time-outs.
void ReceiveStep();
void HandleIncomingDatagram(Endpoint* endpoint, const uint8_t* datagram, size_t size,
                            const SocketAddress& from);
void DeliverStep();
int64_t BucketNextExpiry();  // earliest first_arrival in the bucket, or INT64_MAX
void ClearBucket();
void DropBucketEntries(int32_t connection_id);

}  // namespace ozlan
