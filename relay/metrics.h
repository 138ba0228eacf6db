// Live figures for operators: Prometheus text at /metrics and a status page at / (with
// /status.json for its refreshes), served over HTTP on a thread of their own. The
// relay loop hands over a snapshot once a second and never waits for the server.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "relay/relay.h"

namespace ozlan {

struct MetricsSnapshot {
    int64_t at_ms = 0;  // system clock
    size_t links = 0;
    size_t sessions = 0;
    size_t members = 0;
    RelayStats relay;
    TransportStats transport;
    RelayConfig config;
    uint64_t resident_bytes = 0;
    std::vector<SessionFigures> session_list;
};

// Listens on address:port (address "127.0.0.1" or another IPv4 address); false with
// a reason when the port cannot be had.
bool MetricsStart(const std::string& address, uint16_t port, std::string* error);
// Hands the newest figures to the server; returns at once, even while a request is
// being answered (the snapshot then waits for the next call).
void MetricsPublish(MetricsSnapshot snapshot);
void MetricsStop();

// The texts the server answers with, for tests and for the fuzz-free parts of the page.
std::string MetricsPrometheusText(const MetricsSnapshot& s);
std::string MetricsStatusJson(const MetricsSnapshot& s,
                              const std::vector<MetricsSnapshot>& history);

// Parses "ADDR:PORT" (IPv4 address, port 1-65535); false when it is not that.
bool ParseMetricsAddress(const std::string& text, std::string* address, uint16_t* port);

}  // namespace ozlan
