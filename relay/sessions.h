// Links and sessions: a link is in at most one session, a session holds its members in
// join order and ends with its last member. Leaving tells the others (member tables,
// presence); the caps of the configuration refuse joins beyond them.
#pragma once

#include <cstdint>
#include <string>

#include "relay/relay_state.h"

namespace ozlan::relay {

// Takes the link out of its session (none: nothing); the others hear why.
void LeaveSession(int32_t id, Link& link, PresenceEvent why = kPresenceLeft);
// Puts the link into the named session; false (and counted) when a cap refuses it.
bool JoinSession(int32_t id, Link& link, const std::string& name);

}  // namespace ozlan::relay
