// Sending side: TransportSend, the pass loop, resends, time-outs, heartbeats and what an
// acknowledgement removes. The datagrams a pass sends are gathered and bundled in
// batch.cpp; the window towards bundling peers is window.cpp's.
#include <algorithm>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "transport/batch.h"
#include "transport/state.h"
#include "transport/window.h"

namespace ozlan {
namespace {

void IndexUnacked(TransportState& s, UnackedList::iterator it) {
    auto [entries, added] = s.unacked_by_id.try_emplace((*it)->header.id, UnackedEntries{it, {}});
    if (!added) entries->second.more.push_back(it);
}

void UnindexUnacked(TransportState& s, UnackedList::iterator it) {
    auto found = s.unacked_by_id.find((*it)->header.id);
    if (found == s.unacked_by_id.end()) return;
    UnackedEntries& entries = found->second;
    if (entries.first != it) {
        entries.more.erase(std::find(entries.more.begin(), entries.more.end(), it));
    } else if (entries.more.empty()) {
        s.unacked_by_id.erase(found);
    } else {
        entries.first = entries.more.front();
        entries.more.erase(entries.more.begin());
    }
}

// The schedule is a binary min-heap on (due, serial). An entry whose message was
// acknowledged stays until it comes to the top, where its serial, kept in
// `cancelled_serials`, tells that its message is gone: the heap never reaches into the
// messages, and an acknowledgement costs no heap step.
bool DueLater(const ScheduleEntry& x, const ScheduleEntry& y) {
    return x.due > y.due || (x.due == y.due && x.serial > y.serial);
}

void Schedule(TransportState& s, UnackedList::iterator it, int64_t due) {
    (*it)->serial = ++s.next_serial;
    s.schedule.push_back(ScheduleEntry{due, (*it)->serial, it});
    std::push_heap(s.schedule.begin(), s.schedule.end(), DueLater);
}

void PopSchedule(TransportState& s) {
    std::pop_heap(s.schedule.begin(), s.schedule.end(), DueLater);
    s.schedule.pop_back();
}

// Moves the top entry to a new due time.
void RescheduleTop(TransportState& s, int64_t due) {
    ScheduleEntry top = s.schedule.front();
    PopSchedule(s);
    top.due = due;
    s.schedule.push_back(top);
    std::push_heap(s.schedule.begin(), s.schedule.end(), DueLater);
}

// Drops cancelled entries from the top; true when a live one is there.
bool LiveTop(TransportState& s) {
    while (!s.schedule.empty()) {
        auto cancelled = s.cancelled_serials.find(s.schedule.front().serial);
        if (cancelled == s.cancelled_serials.end()) return true;
        s.cancelled_serials.erase(cancelled);
        PopSchedule(s);
    }
    return false;
}

void EraseUnacked(TransportState& s, UnackedList::iterator it) {
    if ((*it)->serial) s.cancelled_serials.insert((*it)->serial);
    CountLanded(**it);
    if (it == s.first_young) ++s.first_young;
    UnindexUnacked(s, it);
    ReleaseMessage(**it);
    it->reset();
    // The list node is kept for the next message (a node allocation per message less).
    if (s.spare_unacked.size() < kSpareMessages) {
        s.spare_unacked.splice(s.spare_unacked.end(), s.unacked, it);
    } else {
        s.unacked.erase(it);
    }
}

// A round-trip sample (ms) from an acknowledged first send, smoothed as TCP does.
void MeasureRoundTrip(Connection& c, int64_t sample) {
    if (!c.rtt_measured) {
        c.srtt = sample;
        c.rttvar = sample / 2;
        c.rtt_measured = true;
        return;
    }
    c.rttvar = (3 * c.rttvar + std::abs(c.srtt - sample)) / 4;
    c.srtt = (7 * c.srtt + sample) / 8;
}

int64_t FirstResendInterval(const Message& m) {
    if (m.header.type == MSG_CONNECT) return m.connection->timings.connect_first_resend_ms;
    return IsControlType(m.header.type) ? kResendIntervalMs : ResendInterval(*m.connection);
}

int64_t MaxResendInterval(const Message& m) {
    if (m.header.type == MSG_CONNECT) return m.connection->timings.connect_max_resend_ms;
    return IsControlType(m.header.type) ? kResendIntervalMs : m.connection->timings.max_resend_ms;
}

// How long the message may wait for its acknowledgement; 0 for ever.
int64_t MessageTimeout(const Message& m) {
    if (m.header.type == MSG_CONNECT) return m.connection->timings.connect_timeout_ms;
    return kTimeoutMs;
}

// The first moment the message counts as timed out (never: INT64_MAX).
int64_t TimeoutDue(const Message& m) {
    int64_t timeout = MessageTimeout(m);
    return timeout > 0 ? m.created + timeout + 1 : INT64_MAX;
}

// The first moment it is resent: its interval passed since it last went out, and it
// is older than the shortest interval.
int64_t ResendDue(const Message& m) {
    return std::max(m.last_sent + m.resend_interval, m.created + kMinResendIntervalMs) + 1;
}

// A message's first sending; it then waits for its acknowledgement, if it takes one.
void SendFirst(TransportState& s, SendBatch& batch, MessagePtr m, int64_t now) {
    AddToBatch(s, batch, *m);
    m->last_sent = now;
    m->resend_interval = FirstResendInterval(*m);
    if (m->header.type == MSG_ACK || m->unacknowledged) {
        ReleaseMessage(*m);
        return;
    }
    CountInFlight(*m);
    if (s.spare_unacked.empty()) {
        s.unacked.push_back(std::move(m));
    } else {
        s.unacked.splice(s.unacked.end(), s.spare_unacked, s.spare_unacked.begin());
        s.unacked.back() = std::move(m);
    }
    IndexUnacked(s, std::prev(s.unacked.end()));
    if (s.first_young == s.unacked.end()) s.first_young = std::prev(s.unacked.end());
}

void SendStep(TransportState& s) {
    SendBatch batch;
    int64_t now = Now();
    AddAcknowledgementLists(s, batch, now);
    SendHeld(s, batch, now, SendFirst);
    while (!s.send_queue.empty()) {
        MessagePtr m = std::move(s.send_queue.front());
        s.send_queue.pop_front();
        if (MustWait(*m)) {
            HoldForWindow(s, std::move(m));
            continue;
        }
        SendFirst(s, batch, std::move(m), now);
    }
    FlushBatch(s, batch);
}

void ResendAndTimeOut(TransportState& s, SendBatch& batch);

void ResendAndTimeOutStep(TransportState& s) {
    SendBatch batch;
    ResendAndTimeOut(s, batch);
    FlushBatch(s, batch);
}

// When the first young message comes of age (INT64_MAX: none waits).
int64_t FirstYoungDue(const TransportState& s) {
    if (s.first_young == s.unacked.end()) return INT64_MAX;
    return (*s.first_young)->created + kMinResendIntervalMs + 1;
}

void ResendAndTimeOut(TransportState& s, SendBatch& batch) {
    int64_t now = Now();
    // Nothing is due before it is older than the shortest resend interval: only then
    // does a message join the schedule.
    while (FirstYoungDue(s) <= now) {
        Message& m = **s.first_young;
        Schedule(s, s.first_young, std::min(TimeoutDue(m), ResendDue(m)));
        ++s.first_young;
    }
    while (LiveTop(s) && s.schedule.front().due <= now) {
        UnackedList::iterator it = s.schedule.front().message;
        Message& m = **it;
        const Connection& c = *m.connection;
        if (now >= TimeoutDue(m)) {
            Log("Message %u timed out on address %d. %d bytes, %d of %d, %s:%u\n", m.header.id,
                m.connection_id, int(m.header.len), int(m.header.seq), int(m.header.total), c.host,
                unsigned(c.endpoint->local_port));
            ConnectionRef keep = m.connection;  // the callback may not outlive the record
            int32_t connection_id = m.connection_id;
            if (keep->callbacks[EVENT_TIMED_OUT]) {
                keep->callbacks[EVENT_TIMED_OUT](connection_id, EVENT_TIMED_OUT, nullptr);
            }
            EraseUnacked(s, it);
            RemoveConnection(connection_id);
            return;  // one time-out per pass
        }
        // An unverified confirmation is sent again only when its connect is.
        bool waits_for_connect = m.header.type == MSG_CONFIRM_CONNECT && !c.verified;
        // While the peer still answers messages sent before this one, it is behind, not
        // deaf: a resend now would only add to its backlog (a stalled receiver or a busy
        // relay would get everything twice at once). Answers to later messages, or a
        // silence, mean it is lost.
        bool queued_behind = c.last_acknowledged > m.last_sent &&
                             now - c.last_acknowledged <= kAnswersFlowingMs &&
                             m.last_sent >= c.newest_acknowledged_send;
        bool resend = now >= ResendDue(m) && !waits_for_connect;
        if (resend && queued_behind) {
            ++s.stats.resends_postponed;
            RescheduleTop(s, std::min(TimeoutDue(m), now + kAnswersFlowingMs));
            continue;
        }
        if (resend) {
            ++m.tries;
            ++s.stats.resends;
            m.resend_interval = std::min(m.resend_interval * 2, MaxResendInterval(m));
            Log("Message %u being resent (%d tries so far) on address %d. %d bytes, %d of %d, "
                "%s:%u\n",
                m.header.id, m.tries, m.connection_id, int(m.header.len), int(m.header.seq),
                int(m.header.total), c.host, unsigned(c.endpoint->local_port));
            if (FindConnection(m.connection_id)) AddToBatch(s, batch, m);
            m.last_sent = now;
        }
        RescheduleTop(s, std::min(TimeoutDue(m),
                                  waits_for_connect ? now + kMinResendIntervalMs : ResendDue(m)));
    }
}

void HeartbeatStep(TransportState& s) {
    int64_t now = Now();
    // The walk runs only when some connection's heartbeat may be due.
    if (now <= s.next_heartbeat_due) return;
    int64_t next_due = INT64_MAX;
    for (auto& [id, c] : s.connections) {
        if (c->remote_id <= 0 || !c->verified) continue;
        if (now > HeartbeatDue(*c)) {
            Log("HEARTBEAT: sending heartbeat on address %d\n", id);
            uint8_t body[kConnectionIdBodySize];
            PutU32(body, uint32_t(c->remote_id));
            c->heartbeat_time = now;
            // Queuing adds no connection, so the table walk stays valid.
            TransportSend(id, body, int32_t(sizeof body), MSG_HEARTBEAT);
        }
        next_due = std::min(next_due, HeartbeatDue(*c));
    }
    s.next_heartbeat_due = next_due;
}

}  // namespace

int32_t TransportSend(int32_t connection_id, const void* data, int32_t length, uint32_t type) {
    TransportState& s = State();
    std::lock_guard guard(s.lock);
    if (s.connections.find(connection_id) == s.connections.end()) {
        SetLastError(TRANSPORT_ERR_NO_CONNECTION);
        return -1;
    }
    return QueueMessage(connection_id, data, length, type, ++s.message_id_counter);
}

uint32_t TransportSendTracked(int32_t connection_id, const void* data, int32_t length,
                              uint32_t type) {
    TransportState& s = State();
    std::lock_guard guard(s.lock);
    Connection* c = FindConnection(connection_id);
    if (!c) {
        SetLastError(TRANSPORT_ERR_NO_CONNECTION);
        return 0;
    }
    size_t before = c->pending;
    uint32_t id = ++s.message_id_counter;
    QueueMessage(connection_id, data, length, type, id);
    return c->pending > before ? id : 0;
}

bool TransportSendHeartbeat(int32_t connection_id) {
    TransportState& s = State();
    std::lock_guard guard(s.lock);
    Connection* c = FindConnection(connection_id);
    if (!c || c->remote_id <= 0 || !c->verified) return false;
    uint8_t body[kConnectionIdBodySize];
    PutU32(body, uint32_t(c->remote_id));
    c->heartbeat_time = Now();
    return TransportSend(connection_id, body, int32_t(sizeof body), MSG_HEARTBEAT) >= 0;
}

bool TransportSendClose(int32_t connection_id) {
    TransportState& s = State();
    std::lock_guard guard(s.lock);
    Connection* c = FindConnection(connection_id);
    if (!c) return false;
    uint8_t body[kConnectionIdBodySize];
    PutU32(body, uint32_t(c->remote_id));
    return TransportSend(connection_id, body, int32_t(sizeof body), MSG_PEERCLOSE) >= 0;
}

bool TransportMessageOutstanding(int32_t connection_id, uint32_t message_id) {
    TransportState& s = State();
    std::lock_guard guard(s.lock);
    auto found = s.unacked_by_id.find(message_id);
    if (found != s.unacked_by_id.end()) {
        for (UnackedList::iterator it : found->second.All()) {
            if ((*it)->connection_id == connection_id) return true;
        }
    }
    auto is_it = [&](const MessagePtr& m) {
        return m->connection_id == connection_id && m->header.id == message_id;
    };
    const Connection* c = FindConnection(connection_id);
    return std::any_of(s.send_queue.begin(), s.send_queue.end(), is_it) ||
           (c && std::any_of(c->held.begin(), c->held.end(), is_it));
}

namespace {

// A record of one datagram for the connection, counted as pending there: its header
// and `header.len` payload bytes from `payload`.
MessagePtr QueuedMessage(const ConnectionRef& c, const MessageHeader& header,
                         const uint8_t* payload) {
    MessagePtr m = NewMessage();
    m->connection_id = c->id;
    m->connection = c;
    m->header = header;
    if (header.len) m->payload.assign(payload, payload + header.len);
    if (c->pending++ == 0) c->unanswered_since = Now();
    return m;
}

// One unacknowledged message to `to`; false (nothing sent) when it cannot be one.
// An unacknowledged message fits one datagram and is a user message.
bool ValidUnacknowledged(const void* data, int32_t length, uint32_t type) {
    return length >= 0 && size_t(length) <= kMaxUnacknowledgedPayload && (data || length == 0) &&
           type <= 0xFFFF && !IsControlType(uint16_t(type));
}

bool SendUnacknowledged(TransportState& s, SocketHandle socket, const SocketAddress& to,
                        const void* data, int32_t length, uint32_t type) {
    if (!ValidUnacknowledged(data, length, type)) {
        SetLastError(TRANSPORT_ERR_ARGUMENTS);
        return false;
    }
    uint8_t datagram[kMaxUnacknowledgedDatagram];
    WriteHeader(datagram, MessageHeader{0, uint16_t(type), 0, 0, uint16_t(length)});
    if (length) std::memcpy(datagram + kHeaderSize, data, size_t(length));
    SocketSendTo(socket, datagram, kHeaderSize + size_t(length), to);
    ++s.stats.datagrams_sent;
    return true;
}

}  // namespace

int32_t TransportSendDatagram(int32_t connection_id, const void* data, int32_t length,
                              uint32_t type) {
    TransportState& s = State();
    std::lock_guard guard(s.lock);
    Connection* c = FindConnection(connection_id);
    if (!c) {
        SetLastError(TRANSPORT_ERR_NO_CONNECTION);
        return -1;
    }
    if (c->bundles && (s.in_pass || s.bursts > 0) && ValidUnacknowledged(data, length, type)) {
        // Inside a pass or a burst the datagram joins what it sends the connection: out
        // with it, in the same bundle, not later.
        MessagePtr m = QueuedMessage(s.connections[connection_id],
                                     MessageHeader{0, uint16_t(type), 0, 0, uint16_t(length)},
                                     static_cast<const uint8_t*>(data));
        m->unacknowledged = true;
        s.send_queue.push_back(std::move(m));
        return 0;
    }
    if (SendUnacknowledged(s, c->endpoint->socket, c->remote, data, length, type)) {
        c->last_sent = Now();
    }
    return 0;
}

void TransportBeginBurst() {
    TransportState& s = State();
    std::lock_guard guard(s.lock);
    ++s.bursts;
}

void TransportEndBurst() {
    TransportState& s = State();
    std::lock_guard guard(s.lock);
    if (s.bursts == 0) return;
    // Inside a pass its own send step follows.
    if (--s.bursts == 0 && !s.in_pass) SendStep(s);
}

int32_t TransportSendDatagramTo(Endpoint* endpoint, const SocketAddress& to, const void* data,
                                int32_t length, uint32_t type) {
    TransportState& s = State();
    std::lock_guard guard(s.lock);
    if (!endpoint) {
        SetLastError(TRANSPORT_ERR_ARGUMENTS);
        return -1;
    }
    return SendUnacknowledged(s, endpoint->socket, to, data, length, type) ? 0 : -1;
}

bool TransportDropConnection(int32_t connection_id) {
    TransportState& s = State();
    std::lock_guard guard(s.lock);
    Connection* c = FindConnection(connection_id);
    if (!c) return false;
    DropHeld(*c);
    for (auto it = s.send_queue.begin(); it != s.send_queue.end();) {
        if ((*it)->connection_id == connection_id) {
            ReleaseMessage(**it);
            it = s.send_queue.erase(it);
        } else {
            ++it;
        }
    }
    for (auto it = s.unacked.begin(); it != s.unacked.end();) {
        auto next = std::next(it);
        if ((*it)->connection_id == connection_id) EraseUnacked(s, it);
        it = next;
    }
    DropBucketEntries(connection_id);
    return RemoveConnection(connection_id);
}

int32_t QueueMessage(int32_t connection_id, const void* data, int32_t length, uint32_t type,
                     uint32_t id) {
    TransportState& s = State();
    auto found = s.connections.find(connection_id);
    if (found == s.connections.end()) {
        SetLastError(TRANSPORT_ERR_NO_CONNECTION);
        return -1;
    }
    if (length < 0) return 0;
    if (!data && length > 0) {
        SetLastError(TRANSPORT_ERR_ARGUMENTS);
        return 0;
    }
    // The fragment count must fit the 16-bit total field.
    if (FragmentCount(size_t(length)) > 0xFFFF) {
        SetLastError(TRANSPORT_ERR_ARGUMENTS);
        return 0;
    }
    const uint8_t* bytes = static_cast<const uint8_t*>(data);
    uint32_t total = FragmentCount(size_t(length));
    int64_t now = PassNow();
    size_t offset = 0;
    for (uint32_t k = 1; k <= total; ++k) {
        size_t len = std::min(size_t(length) - offset, kMaxFragmentPayload);
        MessagePtr m = QueuedMessage(
            found->second,
            MessageHeader{id, uint16_t(type), uint16_t(k), uint16_t(total), uint16_t(len)},
            bytes + offset);
        m->created = m->last_sent = now;
        offset += len;
        s.send_queue.push_back(std::move(m));
    }
    return 0;
}

// Removes the first unacknowledged fragment with this id (and this seq, when the
// acknowledgement names one).
void ApplyAcknowledgement(uint32_t id, uint16_t seq) {
    TransportState& s = State();
    auto found = s.unacked_by_id.find(id);
    if (found == s.unacked_by_id.end()) return;
    const UnackedEntries& entries = found->second;
    for (size_t i = 0; i <= entries.more.size(); ++i) {
        UnackedList::iterator it = i == 0 ? entries.first : entries.more[i - 1];
        if (seq == 0 || (*it)->header.seq == seq) {
            const Message& m = **it;
            // Only a message sent once tells how long its answer took.
            int64_t now = PassNow();
            if (m.tries == 0) MeasureRoundTrip(*m.connection, now - m.last_sent);
            m.connection->last_acknowledged = now;
            m.connection->unanswered_since = now;
            m.connection->newest_acknowledged_send =
                std::max(m.connection->newest_acknowledged_send, m.last_sent);
            ConnectionRef c = m.connection;
            bool proves_return = m.header.type == MSG_CONFIRM_CONNECT && !c->verified &&
                                 id == c->confirm_id && FindConnection(c->id);
            EraseUnacked(s, it);
            if (proves_return) {
                UntrackUnverified(*c);
                ScheduleHeartbeat(*c);
                AcknowledgeConnect(*c);
                if (s.on_verified && FindConnection(c->id)) s.on_verified(c->id);
            }
            return;
        }
    }
}

void DropUnacked(int32_t connection_id, uint32_t id) {
    TransportState& s = State();
    auto found = s.unacked_by_id.find(id);
    if (found == s.unacked_by_id.end()) return;
    for (UnackedList::iterator it : found->second.All()) {
        if ((*it)->connection_id == connection_id) EraseUnacked(s, it);
    }
}

void SetVerifiedCallback(AcceptCallback callback) {
    TransportState& s = State();
    std::lock_guard guard(s.lock);
    s.on_verified = callback;
}

bool TransportConnectionVerified(int32_t connection_id) {
    TransportState& s = State();
    std::lock_guard guard(s.lock);
    const Connection* c = FindConnection(connection_id);
    return c && c->verified;
}

int64_t ResendInterval(const Connection& c) {
    if (!c.rtt_measured) return c.timings.unmeasured_resend_ms;
    return std::clamp(c.srtt + 4 * c.rttvar, kMinResendIntervalMs,
                      std::max(kMinResendIntervalMs, c.timings.max_resend_ms));
}

int64_t TransportResendIntervalMs(int32_t connection_id) {
    TransportState& s = State();
    std::lock_guard guard(s.lock);
    const Connection* c = FindConnection(connection_id);
    return c ? ResendInterval(*c) : -1;
}

int32_t TransportPump(bool receive) {
    TransportState& s = State();
    std::lock_guard guard(s.lock);
    if (s.in_pass) return 0;
    s.in_pass = true;
    if (receive) ReceiveStep();
    DeliverStep();
    SendStep(s);
    s.in_pass = false;
    return 0;
}

int32_t TransportThink(uint32_t budget_ms) {
    TransportState& s = State();
    std::unique_lock guard(s.lock);
    if (s.in_pass) return 0;
    int64_t entered = Now();
    for (;;) {
        s.in_pass = true;
        ReceiveStep();
        DeliverStep();
        SendStep(s);
        ResendAndTimeOutStep(s);
        HeartbeatStep(s);
        s.in_pass = false;

        int64_t now = Now();
        if (budget_ms == 0) break;
        // Let other threads send during the pause.
        guard.unlock();
        s.sleep(1);
        guard.lock();
        if (budget_ms != kThinkForever && now - entered >= int64_t(budget_ms)) break;
    }
    return 0;
}

int64_t TransportNextDueMs(int64_t max_wait_ms) {
    TransportState& s = State();
    std::lock_guard guard(s.lock);
    if (!s.send_queue.empty()) return 0;
    int64_t now = Now();
    LiveTop(s);  // an acknowledged message's entry is no reason to wake
    int64_t due =
        std::min(FirstYoungDue(s), s.schedule.empty() ? INT64_MAX : s.schedule.front().due);
    if (s.next_heartbeat_due != INT64_MAX) due = std::min(due, s.next_heartbeat_due + 1);
    for (const ConnectionRef& c : s.acks_due) due = std::min(due, c->acks_since + kAckListWaitMs);
    int64_t expiry = BucketNextExpiry();
    if (expiry != INT64_MAX) due = std::min(due, expiry + kTimeoutMs + 1);
    if (due == INT64_MAX) return max_wait_ms;
    return std::clamp<int64_t>(due - now, 0, max_wait_ms);
}

}  // namespace ozlan
