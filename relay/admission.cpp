#include "relay/admission.h"

#include "protocol/stream_wire.h"
#include "relay/streams.h"

#include <cstring>

#include "relay/addresses.h"
#include "relay/members.h"
#include "relay/sessions.h"

namespace ozlan::relay {
namespace {

// Compares two verifiers in a time that does not depend on where they differ.
bool SameVerifier(const uint8_t* a, const uint8_t* b) {
    uint8_t difference = 0;
    for (size_t i = 0; i < kVerifierSize; ++i) difference |= uint8_t(a[i] ^ b[i]);
    return difference == 0;
}

void AnswerJoin(int32_t id, JoinAnswer answer) {
    uint8_t byte = answer;
    TransportSend(id, &byte, 1, kJoinAnswerType);
}

// How long (ms) the source address's joins are still not looked at: after
// kRefusedJoinsPerMinute refusals in a minute, until the minute is over; 0 when they are.
int64_t JoinsIgnoredFor(uint32_t ip, int64_t now) {
    auto found = Relay().refused_joins.find(ip);
    if (found == Relay().refused_joins.end()) return 0;
    int64_t left = 60000 - (now - found->second.minute_started);
    if (left <= 0) {
        Relay().refused_joins.erase(found);
        return 0;
    }
    return found->second.refused < kRefusedJoinsPerMinute ? 0 : left;
}

void RefuseJoin(int32_t id, const Link& link, JoinAnswer answer, int64_t now) {
    RelayState& r = Relay();
    RefusedJoins& refused = r.refused_joins[link.address.ip];
    if (refused.refused == 0) refused.minute_started = now;
    ++refused.refused;
    if (answer == kJoinWrongPassword) ++r.stats.refused_wrong_password;
    if (answer == kJoinNeedsPassword) ++r.stats.refused_needs_password;
    if (answer == kJoinSessionIsOpen) ++r.stats.refused_session_open;
    AnswerJoin(id, answer);
}

}  // namespace

void OnJoin(int32_t id, Link& link, const uint8_t* data, int32_t length) {
    RelayState& r = Relay();
    char name[kSessionNameField];
    uint32_t flags = length >= int32_t(kJoinMessageSize) ? ReadLe32(data + kJoinFlagsOffset) : 0;
    bool with_verifier = (flags & kJoinFlagVerifier) != 0;
    size_t expected = with_verifier ? kPrivateJoinMessageSize : kJoinMessageSize;
    if (length != int32_t(expected) || !ReadSessionName(data, name) || name[0] == 0) {
        ++r.stats.drop_malformed_join;
        return;
    }
    int64_t now = ScaledNow();
    if (int64_t ignored_ms = JoinsIgnoredFor(link.address.ip, now); ignored_ms > 0) {
        // Not looked at, but the launcher learns why and when to try again (the link is
        // proven: no forged source gets this).
        ++r.stats.refused_ignored;
        uint8_t answer[kTooManyTriesAnswerSize] = {kJoinTooManyTries,
                                                   uint8_t((ignored_ms + 999) / 1000)};
        TransportSend(id, answer, int32_t(sizeof answer), kJoinAnswerType);
        return;
    }
    const uint8_t* verifier = with_verifier ? data + kJoinMessageSize : nullptr;
    auto existing = r.sessions.find(name);
    if (existing != r.sessions.end() && existing->second.members.size() > 0) {
        const Session& session = existing->second;
        if (session.is_private && !verifier) return RefuseJoin(id, link, kJoinNeedsPassword, now);
        if (!session.is_private && verifier) return RefuseJoin(id, link, kJoinSessionIsOpen, now);
        if (verifier && !SameVerifier(session.verifier, verifier)) {
            return RefuseJoin(id, link, kJoinWrongPassword, now);
        }
    }
    bool creates = existing == r.sessions.end();
    char player[kJoinPlayerField] = {};
    std::memcpy(player, data + kPlayerNameOffset, kMaxPlayerName);
    CleanPlayerName(player, link.name);
    link.presence = (flags & kJoinFlagPresence) != 0;
    bool moved = link.session != name;
    if (!JoinSession(id, link, name)) return;
    if (creates && verifier) {
        Session& session = r.sessions[name];
        session.is_private = true;
        std::memcpy(session.verifier, verifier, kVerifierSize);
    }
    ++r.stats.joins;
    if (verifier) AnswerJoin(id, kJoinAccepted);
    if (moved) AnnouncePresence(link.session, link, kPresenceJoined);
    if ((flags & kJoinFlagBundles) && !link.bundles) {
        // It reads bundles: from now on one pass's messages to it share datagrams, and
        // it may bundle too.
        link.bundles = true;
        SetConnectionBundles(id, true);
        TransportSend(id, nullptr, 0, kBundlesType);
    }
    // Streams ride on relayed addresses: offered only with relayed traffic.
    if ((flags & kJoinFlagStreams) && (flags & kJoinFlagRelayedTraffic) && !link.streams) {
        OfferStreams(id, link);
    }
    // A launcher that takes relayed traffic learns its relayed address; one that did
    // not ask never sees the message. With session addresses, the address waits for
    // the launcher's networks, which it sends before its join.
    if ((flags & kJoinFlagRelayedTraffic) == 0) return;
    link.session_addresses = (flags & kJoinFlagSessionAddresses) != 0;
    if (link.session_addresses && !link.networks_known) {
        link.address_pending = true;
        return;
    }
    AnnounceRelayedAddress(id, link);
}

bool WithinSourceRate(uint32_t ip) {
    RelayState& r = Relay();
    int64_t second = ScaledNow() / 1000;
    if (second != r.allowances_second) {
        // Addresses quiet for a second are forgotten: the table stays as large as the
        // set of busy sources.
        for (auto it = r.allowances.begin(); it != r.allowances.end();) {
            it = it->second.second < r.allowances_second ? r.allowances.erase(it) : std::next(it);
        }
        r.allowances_second = second;
    }
    SourceAllowance& a = r.allowances[ip];
    if (a.second != second) a = {second, 0};
    return ++a.used <= r.config.max_messages_per_source;
}

}  // namespace ozlan::relay
