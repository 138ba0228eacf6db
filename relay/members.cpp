#include "relay/members.h"

#include <algorithm>
#include <cstring>

namespace ozlan::relay {

bool ReachableAsSeen(const Link& link) {
    return link.own_address != 0 && link.own_address == link.address.ip;
}

bool ThroughRelay(const Link& a, const Link& b) {
    return a.relayed_address != 0 && b.relayed_address != 0 && a.address.ip != b.address.ip &&
           !(ReachableAsSeen(a) && ReachableAsSeen(b));
}

// Tells the members that asked for presence who is in the session: the subject (who
// joined, left or timed out) gets the list itself when it joined. A list that changed
// for nobody's event (an address that made a member direct) goes out as a list again.
void AnnouncePresence(const std::string& session_name, const Link& subject, PresenceEvent event) {
    RelayState& r = Relay();
    auto session = r.sessions.find(session_name);
    if (session == r.sessions.end()) return;
    const std::vector<int32_t>& ids = session->second.members;
    static MemberList list;
    static uint8_t message[kMemberListHeaderSize + kListedMemberSize * kMaxListedMembers];
    for (int32_t id : ids) {
        Link& receiver = r.links[id];
        if (!receiver.presence) continue;
        list.event = &receiver == &subject && event == kPresenceJoined ? uint8_t(kPresenceList)
                                                                       : uint8_t(event);
        list.count = uint16_t(std::min<size_t>(ids.size(), 65535));
        std::memcpy(list.subject, subject.name, kJoinPlayerField);
        list.listed_count = 0;
        for (int32_t other : ids) {
            if (list.listed_count == kMaxListedMembers) break;
            const Link& member = r.links[other];
            ListedMember& entry = list.listed[list.listed_count++];
            std::memcpy(entry.name, member.name, kJoinPlayerField);
            entry.flags =
                uint8_t((other == id ? kListedIsYou : 0) |
                        (other != id && ThroughRelay(member, receiver) ? kListedThroughRelay : 0));
        }
        size_t size = WriteMemberList(message, list);
        // A refreshed list that says nothing new is not sent.
        if (event == kPresenceList && receiver.list_sent.size() == size &&
            std::memcmp(receiver.list_sent.data() + 1, message + 1, size - 1) == 0) {
            continue;
        }
        receiver.list_sent.assign(message, message + size);
        TransportSend(id, message, int32_t(size), kMemberListType);
        ++r.stats.member_lists;
    }
}

// What the launcher at `receiver` needs to know of the other members that take relayed
// traffic: their addresses, and whether it reaches them straight, on its own network,
// or only through here (the same rule as for the relay messages' addresses).
void RefreshMemberTables(const std::string& name) {
    RelayState& r = Relay();
    auto session = r.sessions.find(name);
    if (session == r.sessions.end()) return;
    const std::vector<int32_t>& ids = session->second.members;
    MemberAddresses entries[kMaxMemberEntries];
    uint8_t message[kMembersHeaderSize + kMemberEntrySize * kMaxMemberEntries];
    for (int32_t id : ids) {
        Link& receiver = r.links[id];
        if (!receiver.session_addresses || receiver.relayed_address == 0) continue;
        size_t count = 0;
        for (int32_t other : ids) {
            const Link& member = r.links[other];
            if (other == id || member.relayed_address == 0 || count == kMaxMemberEntries) continue;
            MemberAddresses& e = entries[count++];
            e = {member.relayed_address, member.address.ip, member.own_address, 0};
            if (member.address.ip == receiver.address.ip) {
                e.flags = kMemberSameRouter;
            } else if (ThroughRelay(member, receiver)) {
                e.flags = kMemberThroughRelay;
            }
        }
        size_t size = WriteMembersMessage(message, entries, count);
        if (receiver.members_sent.size() == size &&
            std::memcmp(receiver.members_sent.data(), message, size) == 0) {
            continue;
        }
        receiver.members_sent.assign(message, message + size);
        TransportSend(id, message, int32_t(size), kMembersMessageType);
        ++r.stats.member_tables;
    }
}

}  // namespace ozlan::relay
