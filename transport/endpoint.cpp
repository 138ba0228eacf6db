// Endpoints, connections, the connect handshake's first step, the last-error code,
// and the record's seams (log sink, clock, limits).
#include <algorithm>
#include <cstdio>
#include <cstring>

#include "transport/state.h"

namespace ozlan {
namespace {

void StdoutSink(const char* line) {
    std::fputs(line, stdout);
    std::fflush(stdout);
}

const char* const kErrorTexts[] = {
    "[ 0] no error",
    "[-1] no error",
    "[-2] unable to load wsock32.dll",
    "[-3] unable to aquire socket",
    "[-4] unable to bind to socket",
    "[-5] unable to set socket to non-blocking",
    "[-6] invalid arguments passed",
    "[-7] unable to look up host name",
    "[-8] the address does not exist",
};

}  // namespace

TransportState::TransportState() : log_sink(StdoutSink), now(SystemNowMs), sleep(SystemSleepMs) {}

TransportState::~TransportState() {
    // A held message refers to its connection, which holds it: the pair would outlive us.
    for (ConnectionRef& c : holding) c->held.clear();
}

TransportState& State() {
    static TransportState state;
    return state;
}

void MessageRecycler::operator()(Message* m) const {
    std::vector<Message*>& spare = State().spare_messages.records;
    if (spare.size() >= kSpareMessages || m->payload.capacity() > kMaxFragmentPayload) {
        delete m;
        return;
    }
    m->connection.reset();
    spare.push_back(m);
}

MessagePtr NewMessage() {
    std::vector<Message*>& spare = State().spare_messages.records;
    if (spare.empty()) return MessagePtr(new Message);
    Message* m = spare.back();
    spare.pop_back();
    std::vector<uint8_t> payload = std::move(m->payload);
    payload.clear();
    *m = Message{};
    m->payload = std::move(payload);
    return MessagePtr(m);
}

SpareMessages::~SpareMessages() {
    for (Message* m : records) delete m;
}

int64_t Now() {
    return State().now();
}

int64_t PassNow() {
    TransportState& s = State();
    return s.in_pass ? s.pass_now : s.now();
}

void Log(const char* format, ...) {
    LogSink sink = State().log_sink;
    if (!sink) return;
    char line[512];
    va_list args;
    va_start(args, format);
    std::vsnprintf(line, sizeof line, format, args);
    va_end(args);
    sink(line);
}

void SetLastError(int32_t code) {
    State().last_error = code;
}

Connection* FindConnection(int32_t connection_id) {
    auto& table = State().connections;
    auto it = table.find(connection_id);
    return it == table.end() ? nullptr : it->second.get();
}

bool RemoveConnection(int32_t connection_id) {
    TransportState& s = State();
    auto it = s.connections.find(connection_id);
    if (it == s.connections.end()) return false;
    UntrackUnverified(*it->second);
    auto index = s.by_address.find(AddressKey(it->second->endpoint, it->second->remote));
    if (index != s.by_address.end()) {
        index->second.erase(connection_id);
        if (index->second.empty()) s.by_address.erase(index);
    }
    s.connections.erase(it);
    return true;
}

void TrackUnverified(Connection& c) {
    TransportState& s = State();
    c.verified = false;
    s.unverified_order.push_back(c.id);
    ++s.unverified_count;
    ++s.unverified_by_source[c.remote.ip];
}

void UntrackUnverified(Connection& c) {
    TransportState& s = State();
    if (c.verified) return;
    c.verified = true;  // counted no more; callers that verify it say so themselves
    --s.unverified_count;
    auto source = s.unverified_by_source.find(c.remote.ip);
    if (source != s.unverified_by_source.end() && --source->second == 0) {
        s.unverified_by_source.erase(source);
    }
}

int64_t HeartbeatDue(const Connection& c) {
    const LinkTimings& t = c.timings;
    int64_t since =
        t.heartbeat_when_silent ? std::max(c.heartbeat_time, c.last_sent) : c.heartbeat_time;
    return since + t.heartbeat_ms;
}

void ScheduleHeartbeat(const Connection& c) {
    int64_t& due = State().next_heartbeat_due;
    due = std::min(due, HeartbeatDue(c));
}

void ReleaseMessage(Message& m) {
    if (m.connection && m.connection->pending > 0) --m.connection->pending;
}

Endpoint* CreateEndpoint(uint16_t port, uint32_t bind_ip) {
    TransportState& s = State();
    std::lock_guard guard(s.lock);
    if (!s.socket_library_started) {
        if (!SocketStartup()) {
            SetLastError(TRANSPORT_ERR_WINSOCK);
            return nullptr;
        }
        s.socket_library_started = true;
    }
    auto endpoint = std::make_unique<Endpoint>();
    endpoint->socket = SocketOpenUdp();
    if (endpoint->socket == kInvalidSocket) {
        SetLastError(TRANSPORT_ERR_SOCKET);
        return nullptr;
    }
    endpoint->local_port = port;
    if (!SocketBind(endpoint->socket, port, bind_ip)) {
        SocketClose(endpoint->socket);
        SetLastError(TRANSPORT_ERR_BIND);
        return nullptr;
    }
    uint16_t bound = 0;
    if (SocketLocalPort(endpoint->socket, &bound)) endpoint->local_port = bound;
    if (!SocketSetNonBlocking(endpoint->socket)) {
        SocketClose(endpoint->socket);
        SetLastError(TRANSPORT_ERR_NONBLOCKING);
        return nullptr;
    }
    s.endpoints.push_back(std::move(endpoint));
    return s.endpoints.back().get();
}

namespace {

int32_t ConnectWith(Endpoint* endpoint, const char* host, uint16_t port, int32_t remote_id,
                    const LinkTimings& timings) {
    TransportState& s = State();
    std::lock_guard guard(s.lock);
    if (!host || port == 0) {
        SetLastError(TRANSPORT_ERR_ARGUMENTS);
        return 0;
    }
    Log("Connect() %s:%u remote:%d\n", host, unsigned(port), remote_id);
    bool listed = false;
    for (auto& e : s.endpoints) listed = listed || e.get() == endpoint;
    // The host must fit the 64-byte field of the record and of the connect body.
    if (!listed || std::strlen(host) >= kHostFieldSize) {
        SetLastError(TRANSPORT_ERR_ARGUMENTS);
        return 0;
    }
    uint32_t ip = 0;
    if (!ResolveIPv4(host, &ip)) {
        SetLastError(TRANSPORT_ERR_LOOKUP);
        return 0;
    }
    auto c = std::make_shared<Connection>();
    c->id = s.next_connection_id++;
    std::strncpy(c->host, host, kHostFieldSize - 1);
    c->remote.ip = ip;
    c->remote.port = uint16_t((port >> 8) | (port << 8));
    c->endpoint = endpoint;
    c->remote_id = remote_id;
    c->heartbeat_time = Now();
    c->last_sent = c->heartbeat_time;
    c->timings = timings;
    s.connections[c->id] = c;
    s.by_address[AddressKey(endpoint, c->remote)].insert(c->id);
    if (remote_id > 0) ScheduleHeartbeat(*c);

    if (remote_id == 0) {
        ConnectBody body;
        std::memcpy(body.host, c->host, kHostFieldSize);
        body.port = endpoint->local_port;
        body.connection_id = c->id;
        uint8_t bytes[kConnectBodySize];
        WriteConnectBody(bytes, body);
        TransportSend(c->id, bytes, int32_t(sizeof bytes), MSG_CONNECT);
    }
    return c->id;
}

}  // namespace

int32_t Connect(Endpoint* endpoint, const char* host, uint16_t port, int32_t remote_id) {
    return ConnectWith(endpoint, host, port, remote_id, LinkTimings{});
}

int32_t ConnectWithTimings(Endpoint* endpoint, const char* host, uint16_t port,
                           const LinkTimings& timings) {
    return ConnectWith(endpoint, host, port, 0, timings);
}

void SetEventCallback(int32_t connection_id, int32_t event, EventCallback callback) {
    std::lock_guard guard(State().lock);
    Connection* c = FindConnection(connection_id);
    if (c && event >= 0 && event <= 3) c->callbacks[event] = callback;
}

void SetConnectionTimings(int32_t connection_id, const LinkTimings& timings) {
    std::lock_guard guard(State().lock);
    if (Connection* c = FindConnection(connection_id)) {
        c->timings = timings;
        ScheduleHeartbeat(*c);
    }
}

void SetConnectionBundles(int32_t connection_id, bool on) {
    std::lock_guard guard(State().lock);
    if (Connection* c = FindConnection(connection_id)) c->bundles = on;
}

void SetDefaultHandler(int32_t connection_id, DefaultHandler handler) {
    std::lock_guard guard(State().lock);
    if (Connection* c = FindConnection(connection_id)) c->handler = handler;
}

int32_t TransportLastError() {
    std::lock_guard guard(State().lock);
    return State().last_error;
}

const char* TransportErrorText(int32_t code) {
    if (code > 0 || code < -8) return "[??] unknown error";
    return kErrorTexts[-code];
}

void SetTransportLogSink(LogSink sink) {
    std::lock_guard guard(State().lock);
    State().log_sink = sink;
}

void SetTransportClock(NowFunction now, SleepFunction sleep) {
    std::lock_guard guard(State().lock);
    State().now = now ? now : SystemNowMs;
    State().sleep = sleep ? sleep : SystemSleepMs;
}

void SetUnknownSourceCallback(UnknownSourceCallback callback) {
    std::lock_guard guard(State().lock);
    State().on_unknown_source = callback;
}

int64_t TransportNow() {
    return Now();
}

std::recursive_mutex& TransportMutex() {
    return State().lock;
}

void SetAcceptCallback(AcceptCallback callback) {
    std::lock_guard guard(State().lock);
    State().on_accept = callback;
}

void SetTransportLimits(const TransportLimits& limits) {
    std::lock_guard guard(State().lock);
    State().limits = limits;
}

TransportStats GetTransportStats() {
    std::lock_guard guard(State().lock);
    return State().stats;
}

size_t TransportPendingCount(int32_t connection_id) {
    std::lock_guard guard(State().lock);
    Connection* c = FindConnection(connection_id);
    return c ? c->pending : 0;
}

int64_t TransportUnansweredMs(int32_t connection_id) {
    std::lock_guard guard(State().lock);
    Connection* c = FindConnection(connection_id);
    return c && c->pending > 0 ? std::max<int64_t>(0, Now() - c->unanswered_since) : 0;
}

int64_t TransportLastMessageAt(int32_t connection_id) {
    std::lock_guard guard(State().lock);
    Connection* c = FindConnection(connection_id);
    return c ? c->last_received : -1;
}

bool TransportConnectionInfo(int32_t connection_id, SocketAddress* remote, int32_t* remote_id,
                             Endpoint** endpoint) {
    std::lock_guard guard(State().lock);
    Connection* c = FindConnection(connection_id);
    if (!c) return false;
    if (remote) *remote = c->remote;
    if (remote_id) *remote_id = c->remote_id;
    if (endpoint) *endpoint = c->endpoint;
    return true;
}

void TransportReset() {
    TransportState& s = State();
    std::lock_guard guard(s.lock);
    for (auto& e : s.endpoints) SocketClose(e->socket);
    s.endpoints.clear();
    s.send_queue.clear();
    s.bursts = 0;
    s.acks_due.clear();
    // Held messages refer to their connections: cleared first, or neither would go
    // (every connection with held messages is in `holding`).
    for (ConnectionRef& c : s.holding) c->held.clear();
    s.holding.clear();
    s.unacked.clear();
    s.spare_unacked.clear();
    s.first_young = s.unacked.end();
    s.unacked_by_id.clear();
    s.schedule.clear();
    s.cancelled_serials.clear();
    ClearBucket();
    s.connections.clear();
    s.by_address.clear();
    s.next_connection_id = 1;
    s.message_id_counter = 0;
    s.last_error = 0;
    s.next_heartbeat_due = INT64_MAX;
    s.stats = TransportStats{};
    s.on_accept = nullptr;
    s.on_verified = nullptr;
    s.on_unknown_source = nullptr;
    s.unverified_order.clear();
    s.unverified_count = 0;
    s.unverified_by_source.clear();
}

}  // namespace ozlan
