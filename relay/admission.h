// Admission: who gets into a session and how fast anyone may talk. A private session
// takes only joins with its verifier, an open one only joins without; an address
// refused too often has its joins ignored for the rest of the minute (guessing a
// password through the relay is slow), and each source address has a budget of relay
// messages a second.
#pragma once

#include <cstdint>

#include "relay/relay_state.h"

namespace ozlan::relay {

// A launcher's join: admitted, refused with an answer, or ignored (counted).
void OnJoin(int32_t id, Link& link, const uint8_t* data, int32_t length);
// Whether the source address may send one more relay message this second: one
// address (a launcher, or all behind one router) cannot take the relay for everyone.
bool WithinSourceRate(uint32_t ip);

}  // namespace ozlan::relay
