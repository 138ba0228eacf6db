// Presence and member tables: what each member is told of the others. Launchers with
// session addresses get a table of the other members' addresses and how they reach
// each (straight, behind the same router, or only through the relay); launchers that
// asked for presence get the list of names on every join, leave and time-out. Neither
// is sent again when it says nothing new.
#pragma once

#include <string>

#include "relay/relay_state.h"

namespace ozlan::relay {

// Whether others reach the launcher's games at the address seen here: it says it has
// that address itself, so no router stands in between.
bool ReachableAsSeen(const Link& link);
// Whether the two reach each other only through here: both take relayed traffic, they
// are not behind one router, and not both reachable where the relay sees them.
bool ThroughRelay(const Link& a, const Link& b);
// Tells the members that asked for presence who is in the session, after `subject`
// joined, left or timed out (or, with kPresenceList, after a change of routes).
void AnnouncePresence(const std::string& session_name, const Link& subject, PresenceEvent event);
// Sends each member with session addresses its table of the others, when it changed.
void RefreshMemberTables(const std::string& name);

}  // namespace ozlan::relay
