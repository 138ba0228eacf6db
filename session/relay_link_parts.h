// What the keeper's files share: the record a connection belongs to, the order the
// relays are tried in, and the link's own connection events. Under the transport's lock.
#pragma once

#include <cstddef>
#include <cstdint>
#include <unordered_map>

#include "session/relay_link.h"

namespace ozlan {

int64_t RandomBelow(int64_t bound);
bool RelaySkipped(const RelayLinkState& link, size_t index, int64_t now);
// The first relay from `start` on that is not skipped; `start` itself when all are.
size_t NextRelay(const RelayLinkState& link, size_t start, int64_t now);
// Which record a connection (the link's, or its probe's) belongs to.
std::unordered_map<int32_t, RelayLinkState*>& LinksByConnection();
RelayLinkState* LinkOf(int32_t connection_id);
// Drops the link's connection (not its probe).
void DropConnection(RelayLinkState& link);
void OnLinkConnected(int32_t connection_id, int32_t, void*);
void OnLinkEnded(int32_t connection_id, int32_t, void*);

// A relay that stopped answering (relay_watch.cpp): while the link has waited for an
// answer for a moment, heartbeats ask the relay more often; once it has waited
// kSilentRelayMs, the next relay of the list is asked (a connect of its own), and the
// link moves there when it answers, unless the first answered meanwhile.
void WatchRelay(RelayLinkState& link, int64_t now);
// Drops the probe, if any.
void StopProbing(RelayLinkState& link);

}  // namespace ozlan
