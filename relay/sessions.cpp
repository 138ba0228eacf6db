#include "relay/sessions.h"
#include "relay/streams.h"

#include <algorithm>

#include "relay/addresses.h"
#include "relay/members.h"

namespace ozlan {
namespace relay {

void LeaveSession(int32_t id, Link& link, PresenceEvent why) {
    if (link.session.empty()) return;
    ResetStreamsOf(id);
    RelayState& r = Relay();
    auto found = r.sessions.find(link.session);
    if (found != r.sessions.end()) {
        auto& members = found->second.members;
        members.erase(std::remove(members.begin(), members.end(), id), members.end());
        --r.members;
        if (members.empty()) {
            r.session_networks.erase(found->second.network);
            r.sessions.erase(found);
        }
    }
    std::string left = link.session;
    link.session.clear();
    link.address_pending = false;
    link.members_sent.clear();
    link.list_sent.clear();
    RefreshMemberTables(left);
    AnnouncePresence(left, link, why);
}

bool JoinSession(int32_t id, Link& link, const std::string& name) {
    RelayState& r = Relay();
    if (link.session == name) return true;
    auto found = r.sessions.find(name);
    if (found == r.sessions.end() && r.sessions.size() >= r.config.max_sessions) {
        ++r.stats.drop_session_limit;
        return false;
    }
    if (found != r.sessions.end() && found->second.members.size() >= r.config.max_members) {
        ++r.stats.drop_member_limit;
        return false;
    }
    LeaveSession(id, link);
    r.sessions[name].members.push_back(id);
    ++r.members;
    link.session = name;
    return true;
}

}  // namespace relay

using namespace relay;

void RelayOnAccept(int32_t connection_id) {
    RelayState& r = Relay();
    Link link;
    TransportConnectionInfo(connection_id, &link.address, nullptr, nullptr);
    r.links[connection_id] = link;
    r.links_by_address[AddressOf(link.address)].insert(connection_id);
    SetDefaultHandler(connection_id, RelayOnUserMessage);
    // The relay's heartbeat only once it has sent nothing for 30 s: a launcher that
    // keeps its link alive itself gets acknowledgements instead, and no more.
    LinkTimings timings;
    timings.heartbeat_when_silent = true;
    SetConnectionTimings(connection_id, timings);
    SetEventCallback(connection_id, EVENT_PEER_CLOSE, RelayOnLinkEnded);
    SetEventCallback(connection_id, EVENT_DISCONNECTED, RelayOnLinkEnded);
    SetEventCallback(connection_id, EVENT_TIMED_OUT, RelayOnLinkEnded);
}

// A launcher whose link is proven again from the same address and port connected anew
// (it lost its link, or restarted): the older links there are gone, and the new one
// keeps the relayed address the games know this launcher by.
void RelayOnVerified(int32_t connection_id) {
    RelayState& r = Relay();
    auto found = r.links.find(connection_id);
    if (found == r.links.end()) return;
    auto same = r.links_by_address.find(AddressOf(found->second.address));
    if (same == r.links_by_address.end() || same->second.size() < 2) return;
    std::vector<int32_t> older;
    for (int32_t id : same->second) {
        if (id != connection_id) older.push_back(id);
    }
    for (int32_t id : older) {
        auto old = r.links.find(id);
        if (old == r.links.end()) continue;
        uint32_t relayed = old->second.relayed_address;
        uint32_t own = old->second.own_address;
        LeaveSession(id, old->second);
        ReleaseRelayedAddress(old->second);
        r.links.erase(old);
        same->second.erase(id);
        TransportDropConnection(id);
        ++r.stats.links_replaced;
        Link& link = found->second;
        if (relayed != 0 && link.relayed_address == 0 &&
            TakeRelayedAddress(connection_id, link, relayed, true)) {
            link.own_address = own;
        }
    }
}

void RelayOnLinkEnded(int32_t connection_id, int32_t event, void*) {
    RelayState& r = Relay();
    auto found = r.links.find(connection_id);
    if (found == r.links.end()) return;
    std::string session = found->second.session;
    LeaveSession(connection_id, found->second,
                 event == EVENT_TIMED_OUT ? kPresenceTimedOut : kPresenceLeft);
    if (event == EVENT_PEER_CLOSE) return;  // the connection stays until it ends

    uint64_t key = AddressOf(found->second.address);
    ReleaseRelayedAddress(found->second);
    r.links.erase(found);
    auto& same_address = r.links_by_address[key];
    same_address.erase(connection_id);
    if (same_address.empty()) {
        r.links_by_address.erase(key);
        return;
    }
    // Another link to the same launcher takes over its messages, and its place.
    int32_t heir = *same_address.begin();
    if (!session.empty()) JoinSession(heir, r.links[heir], session);
}

std::vector<SessionFigures> RelaySessionFigures() {
    std::vector<SessionFigures> figures;
    figures.reserve(Relay().sessions.size());
    for (const auto& [name, session] : Relay().sessions) {
        SessionFigures f{
            session.is_private ? "private" : name, session.members.size(), session.messages_in, {}};
        for (int32_t id : session.members) {
            if (!session.is_private) f.players.push_back(Relay().links[id].name);
        }
        figures.push_back(std::move(f));
    }
    std::sort(figures.begin(), figures.end(),
              [](const SessionFigures& a, const SessionFigures& b) { return a.name < b.name; });
    return figures;
}

}  // namespace ozlan
