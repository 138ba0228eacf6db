// Relayed addresses and session networks: the address each launcher's games are known
// by to the players who reach it only through the relay (unique on this relay), taken
// from 198.18.0.0/15, or with session addresses from a /24 of the configured range that
// its session holds alone. A launcher back after a restart or a lost link gets the
// address it had when nobody else holds it.
#pragma once

#include <cstdint>

#include "relay/relay_state.h"

namespace ozlan::relay {

// Gives a joined launcher that takes relayed traffic its relayed address and tells it;
// the members with session addresses get their new member tables.
void AnnounceRelayedAddress(int32_t id, Link& link);
// Gives the link the relayed address `wanted` in place of the one it holds, if nobody
// holds it (and, unless `any_range`, if it fits the link); true when the link holds it
// afterwards.
bool TakeRelayedAddress(int32_t id, Link& link, uint32_t wanted, bool any_range = false);
void ReleaseRelayedAddress(Link& link);

// The launcher's messages about itself: the networks it is on, and its own address
// (with, on a rejoin, the relayed address it had).
void OnNetworks(int32_t id, Link& link, const uint8_t* data, int32_t length);
void OnOwnAddress(int32_t id, Link& link, const uint8_t* data, int32_t length);

}  // namespace ozlan::relay
