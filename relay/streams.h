// Streams (extension): a member that joined with the streams flag is offered them; its
// stream messages go to the member of its session holding the relayed address they
// name, as from its own relayed address. The relay keeps each carried stream's counts:
// a member opens at most the configured number of streams, and a sender with more
// than the window unread gets its stream reset at both ends. A member that leaves
// resets its streams at the other ends.
#pragma once

#include <cstdint>

#include "relay/relay_state.h"

namespace ozlan::relay {

void OfferStreams(int32_t id, Link& link);
void OnStream(int32_t id, const Link& link, const uint8_t* data, int32_t length);
void ResetStreamsOf(int32_t id);

}  // namespace ozlan::relay
