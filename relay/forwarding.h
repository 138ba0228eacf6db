// Forwarding: a member's relay message (a broadcast of its game) goes to every other
// member of its session, each in the form its address should take for that receiver;
// a direct message (a game's datagram for one player) goes, unacknowledged, to the
// member holding the destination's relayed address, within the session only.
#pragma once

#include <cstdint>

#include "relay/relay_state.h"

namespace ozlan::relay {

void OnRelay(int32_t id, const Link& link, const uint8_t* data, int32_t length);
void OnDirect(const Link& link, const uint8_t* data, int32_t length);
// The member of `link`'s session that holds the relayed address `relayed`; 0, counted as
// a drop, when nobody holds it (*nobody set) or it belongs to another session.
int32_t SessionMemberAt(const Link& link, uint32_t relayed, bool* nobody = nullptr);

}  // namespace ozlan::relay
