// The send step's batches: the datagrams one pass sends, written into the transport
// record's send buffers and sent together, one system call per run of a socket where
// the platform allows; bundles (several records of one connection in one datagram, for
// a peer that reads them) and acknowledgement lists are made here. Internal to the
// transport; send.cpp drives it.
#pragma once

#include <cstddef>
#include <cstdint>

#include "transport/state.h"

namespace ozlan {

// Datagrams written into the record's send buffers and sent together, in order: one
// run per socket, one system call per run where the platform allows.
struct SendBatch {
    DatagramSlot slots[kMaxBatch];
    SocketHandle socket = kInvalidSocket;
    int count = 0;
    int64_t now = Now();
    // Per slot: the connection whose bundle it may still take more of (null: none),
    // and whether it is a bundle already.
    const Connection* open[kMaxBatch] = {};
    bool bundle[kMaxBatch] = {};
};

// One datagram's header and body, for the connection it goes to.
struct Record {
    Connection& connection;
    const MessageHeader& header;
    const uint8_t* body;
    size_t len;
};

void FlushBatch(TransportState& s, SendBatch& b);
// Adds one datagram: into the connection's open bundle in this batch when it fits,
// else as a datagram of its own (the batch is sent first when full or another socket's).
void AddRecordToBatch(TransportState& s, SendBatch& b, const Record& r);
// A queued message's datagram (one fragment, or an unacknowledged message whole).
void AddToBatch(TransportState& s, SendBatch& b, const Message& m);
// The acknowledgements gathered for bundling connections that are due, as lists.
void AddAcknowledgementLists(TransportState& s, SendBatch& b, int64_t now);

}  // namespace ozlan
