// The window towards bundling peers: at most kFlightWindowBytes of user messages to
// one such peer wait for their acknowledgements; later ones are held, in order, until
// acknowledgements make room. Control messages and unacknowledged datagrams never
// wait. Internal to the transport; send.cpp drives it.
#pragma once

#include "transport/batch.h"
#include "transport/state.h"

namespace ozlan {

// Whether the message must be held: its connection's window is full, or earlier
// messages to it are held already.
bool MustWait(const Message& m);
// Holds the message at the end of its connection's line.
void HoldForWindow(TransportState& s, MessagePtr m);
// A user message to a bundling peer goes out: its bytes count as in flight until its
// acknowledgement (or its end) takes them off again.
void CountInFlight(Message& m);
void CountLanded(const Message& m);
// Held messages go first, as far as their connections' windows now allow (each through
// `send_first`); those of a connection that is gone are dropped.
using SendFirstFunction = void (*)(TransportState&, SendBatch&, MessagePtr, int64_t);
void SendHeld(TransportState& s, SendBatch& batch, int64_t now, SendFirstFunction send_first);
// Drops the messages a connection holds for window room.
void DropHeld(Connection& c);

}  // namespace ozlan
