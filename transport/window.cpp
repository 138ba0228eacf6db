#include "transport/window.h"

namespace ozlan {
namespace {

bool WindowHasRoom(const Connection& c, const Message& m) {
    return c.in_flight == 0 || c.in_flight + m.header.len <= kFlightWindowBytes;
}

}  // namespace

bool MustWait(const Message& m) {
    const Connection& c = *m.connection;
    if (m.unacknowledged || IsControlType(m.header.type)) return false;
    if (!c.held.empty()) return true;
    return c.bundles && !WindowHasRoom(c, m);
}

void HoldForWindow(TransportState& s, MessagePtr m) {
    Connection& c = *m->connection;
    if (c.held.empty()) s.holding.push_back(m->connection);
    c.held.push_back(std::move(m));
}

void CountInFlight(Message& m) {
    Connection& c = *m.connection;
    if (c.bundles && !IsControlType(m.header.type)) {
        m.in_flight = true;
        c.in_flight += m.header.len;
    }
}

void CountLanded(const Message& m) {
    if (m.in_flight) m.connection->in_flight -= m.header.len;
}

void SendHeld(TransportState& s, SendBatch& batch, int64_t now, SendFirstFunction send_first) {
    size_t still_holding = 0;
    for (ConnectionRef& c : s.holding) {
        if (FindConnection(c->id) != c.get()) {
            DropHeld(*c);
            continue;
        }
        while (!c->held.empty() && WindowHasRoom(*c, *c->held.front())) {
            MessagePtr m = std::move(c->held.front());
            c->held.pop_front();
            send_first(s, batch, std::move(m), now);
        }
        if (!c->held.empty()) s.holding[still_holding++].swap(c);
    }
    s.holding.resize(still_holding);
}

void DropHeld(Connection& c) {
    for (MessagePtr& m : c.held) ReleaseMessage(*m);
    c.held.clear();
}

}  // namespace ozlan
