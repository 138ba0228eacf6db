#include "relay/metrics.h"

#include <httplib.h>

#include <cinttypes>
#include <cstdio>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>

namespace ozlan {
namespace {

constexpr size_t kHistorySeconds = 300;  // what the page's chart shows

struct MetricsState {
    std::mutex lock;  // guards latest and history; the relay loop only ever try-locks it
    MetricsSnapshot latest;
    std::deque<MetricsSnapshot> history;  // without their session lists
    std::unique_ptr<httplib::Server> server;
    std::thread thread;
};

MetricsState& Metrics() {
    static MetricsState state;
    return state;
}

// The page: its figures come from /status.json every two seconds.
const char kStatusPage[] = R"(<!DOCTYPE html>
<html lang="en"><head><meta charset="utf-8"><title>ozrelay status</title>
<style>
body { font-family: sans-serif; margin: 2em; color: #222; }
table { border-collapse: collapse; margin: 1em 0; }
td, th { border: 1px solid #bbb; padding: 0.3em 0.8em; text-align: right; }
th:first-child, td:first-child { text-align: left; }
#chart { border: 1px solid #bbb; }
.figures span { margin-right: 2em; }
</style></head>
<body>
<h1>ozrelay <span id="version"></span></h1>
<p class="figures"><span>links <b id="links">-</b></span><span>sessions <b id="sessions">-</b></span>
<span>members <b id="members">-</b></span><span>messages in <b id="in">-</b></span>
<span>out <b id="out">-</b></span><span>memory <b id="memory">-</b></span></p>
<h2>Sessions</h2>
<table id="session-table"><thead><tr><th>session</th><th>members</th><th>players</th><th>messages/s</th></tr></thead>
<tbody id="session-rows"><tr><td colspan="3">waiting for figures</td></tr></tbody></table>
<h2>Messages per second, last minutes</h2>
<svg id="chart" width="680" height="200" viewBox="0 0 680 200"><g id="axes" font-size="11" fill="#555"></g><polyline id="line-in" fill="none" stroke="#2a6" stroke-width="2" points=""/><polyline id="line-out" fill="none" stroke="#26a" stroke-width="2" points=""/><polyline id="line-members" fill="none" stroke="#a62" stroke-width="1.5" stroke-dasharray="4 3" points=""/></svg>
<p><span style="color:#2a6">in</span> / <span style="color:#26a">out</span>: messages per second (left axis); <span style="color:#a62">members</span> (right axis); peak <b id="peak">0</b>/s</p>
<script>
let previous = {};
function rates(history, field) {
  const out = [];
  for (let i = 1; i < history.length; i++) {
    const dt = (history[i].at_ms - history[i - 1].at_ms) / 1000;
    out.push(dt > 0 ? Math.max(0, (history[i][field] - history[i - 1][field]) / dt) : 0);
  }
  return out;
}
// The plot: x from LEFT (the oldest second shown) to RIGHT (now), y from BOTTOM (0) to TOP.
const LEFT = 60, RIGHT = 620, TOP = 10, BOTTOM = 170;
function span(history) {
  return history.length > 1 ? Math.max(60, (history[history.length - 1].at_ms - history[0].at_ms) / 1000) : 60;
}
function x(history, i) {
  const age = (history[history.length - 1].at_ms - history[i].at_ms) / 1000;
  return RIGHT - (RIGHT - LEFT) * age / span(history);
}
function y(value, top) {
  return BOTTOM - (BOTTOM - TOP) * value / top;
}
// values[k] belongs to history[k + offset].
function points(history, values, top, offset) {
  return values.map((v, k) => x(history, k + offset).toFixed(1) + ',' + y(v, top).toFixed(1)).join(' ');
}
function axes(history, peak, members) {
  const g = document.getElementById('axes');
  g.innerHTML = '';
  const add = (tag, attributes, text) => {
    const e = document.createElementNS('http://www.w3.org/2000/svg', tag);
    for (const k in attributes) e.setAttribute(k, attributes[k]);
    if (text !== undefined) e.textContent = text;
    g.appendChild(e);
  };
  add('line', {x1: LEFT, y1: BOTTOM, x2: RIGHT, y2: BOTTOM, stroke: '#888'});
  add('line', {x1: LEFT, y1: TOP, x2: LEFT, y2: BOTTOM, stroke: '#888'});
  add('line', {x1: RIGHT, y1: TOP, x2: RIGHT, y2: BOTTOM, stroke: '#888'});
  for (const f of [0, 0.5, 1]) {
    add('line', {x1: LEFT, y1: y(f, 1), x2: RIGHT, y2: y(f, 1), stroke: '#eee'});
    const rate = peak * f;
    add('text', {x: LEFT - 5, y: y(f, 1) + 4, 'text-anchor': 'end', class: 'rate-label'},
        (rate < 10 && f ? rate.toFixed(1) : rate.toFixed(0)) + '/s');
    add('text', {x: RIGHT + 5, y: y(f, 1) + 4, class: 'members-label'}, String(Math.round(members * f)));
  }
  const seconds = span(history);
  const step = seconds > 120 ? 60 : 30;
  for (let age = 0; age <= seconds + 0.5; age += step) {
    const at = RIGHT - (RIGHT - LEFT) * age / seconds;
    add('line', {x1: at, y1: BOTTOM, x2: at, y2: BOTTOM + 4, stroke: '#888'});
    const label = age == 0 ? 'now' : step == 60 ? '-' + age / 60 + ' min' : '-' + age + ' s';
    add('text', {x: at, y: BOTTOM + 17, 'text-anchor': 'middle', class: 'time-label'}, label);
  }
}
async function refresh() {
  try {
    const s = await (await fetch('status.json', {cache: 'no-store'})).json();
    for (const k of ['links', 'sessions', 'members', 'in', 'out']) document.getElementById(k).textContent = s[k];
    document.getElementById('version').textContent = s.version;
    document.getElementById('memory').textContent = (s.resident_bytes / 1048576).toFixed(1) + ' MiB';
    const rows = document.getElementById('session-rows');
    rows.innerHTML = '';
    for (const x of s.session_list) {
      const before = previous[x.name];
      const rate = before ? (x.messages_in - before.messages_in) * 1000 / Math.max(1, s.at_ms - before.at_ms) : 0;
      const tr = document.createElement('tr');
      for (const text of [x.name, x.members + (x.members == 1 ? ' member' : ' members'), (x.players || []).join(', '), rate.toFixed(1)]) {
        const td = document.createElement('td');
        td.textContent = text;
        tr.appendChild(td);
      }
      rows.appendChild(tr);
      previous[x.name] = {messages_in: x.messages_in, at_ms: s.at_ms};
    }
    if (!s.session_list.length) rows.innerHTML = '<tr><td colspan="3">no sessions</td></tr>';
    const ins = rates(s.history, 'in'), outs = rates(s.history, 'out');
    const peak = Math.max(1, ...ins, ...outs);
    const members = s.history.map(h => h.members);
    const most = Math.max(1, ...members);
    axes(s.history, peak, most);
    if (s.history.length) {
      document.getElementById('line-in').setAttribute('points', points(s.history, ins, peak, 1));
      document.getElementById('line-out').setAttribute('points', points(s.history, outs, peak, 1));
      document.getElementById('line-members').setAttribute('points', points(s.history, members, most, 0));
    }
    document.getElementById('peak').textContent = peak.toFixed(0);
  } catch (e) {
    document.getElementById('session-rows').innerHTML = '<tr><td colspan="3">relay not answering</td></tr>';
  }
}
refresh();
setInterval(refresh, 2000);
</script>
</body></html>
)";

uint64_t ResidentBytes() {
    unsigned long long pages = 0, resident = 0;
    FILE* f = std::fopen("/proc/self/statm", "r");
    if (!f) return 0;
    int got = std::fscanf(f, "%llu %llu", &pages, &resident);
    std::fclose(f);
    return got == 2 ? uint64_t(resident) * 4096u : 0;
}

// Session names are the launchers' own text: anything but plain characters is escaped.
std::string JsonString(const std::string& text) {
    std::string out = "\"";
    for (unsigned char c : text) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += char(c);
        } else if (c < 0x20 || c >= 0x7F) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", unsigned(c));
            out += escaped;
        } else {
            out += char(c);
        }
    }
    return out + "\"";
}

}  // namespace

bool ParseMetricsAddress(const std::string& text, std::string* address, uint16_t* port) {
    size_t colon = text.rfind(':');
    if (colon == std::string::npos || colon == 0) return false;
    uint32_t ip = 0;
    std::string host = text.substr(0, colon), digits = text.substr(colon + 1);
    if (!ResolveIPv4(host.c_str(), &ip) || digits.empty() || digits.size() > 5 ||
        digits.find_first_not_of("0123456789") != std::string::npos) {
        return false;
    }
    unsigned long n = std::stoul(digits);
    if (n < 1 || n > 65535) return false;
    *address = host;
    *port = uint16_t(n);
    return true;
}

std::string MetricsPrometheusText(const MetricsSnapshot& s) {
    std::string out;
    char line[256];
    auto metric = [&](const char* name, const char* type, const char* help) {
        std::snprintf(line, sizeof line, "# HELP %s %s\n# TYPE %s %s\n", name, help, name, type);
        out += line;
    };
    auto value = [&](const char* name, const char* labels, uint64_t v) {
        std::snprintf(line, sizeof line, "%s%s %" PRIu64 "\n", name, labels, v);
        out += line;
    };
    metric("ozrelay_links", "gauge", "Links to launchers, proven or not.");
    value("ozrelay_links", "", s.links);
    metric("ozrelay_sessions", "gauge", "Sessions with at least one member.");
    value("ozrelay_sessions", "", s.sessions);
    metric("ozrelay_members", "gauge", "Launchers in sessions.");
    value("ozrelay_members", "", s.members);
    metric("ozrelay_joins_total", "counter", "Join messages accepted.");
    value("ozrelay_joins_total", "", s.relay.joins);
    metric("ozrelay_messages_in_total", "counter", "Messages from launchers to relay.");
    value("ozrelay_messages_in_total", "{kind=\"broadcast\"}", s.relay.relays_in);
    value("ozrelay_messages_in_total", "{kind=\"direct\"}", s.relay.directs_in);
    metric("ozrelay_messages_out_total", "counter", "Messages relayed to launchers.");
    value("ozrelay_messages_out_total", "{kind=\"broadcast\"}", s.relay.relays_out);
    value("ozrelay_messages_out_total", "{kind=\"direct\"}", s.relay.directs_out);
    value("ozrelay_messages_in_total", "{kind=\"stream\"}", s.relay.streams_in);
    value("ozrelay_messages_out_total", "{kind=\"stream\"}", s.relay.streams_out);
    metric("ozrelay_stream_bytes_total", "counter", "Stream data bytes carried between members.");
    value("ozrelay_stream_bytes_total", "", s.relay.stream_bytes);
    metric("ozrelay_streams_opened_total", "counter", "Streams opened between members.");
    value("ozrelay_streams_opened_total", "", s.relay.streams_opened);
    metric("ozrelay_resends_total", "counter",
           "Messages sent again for want of an acknowledgement.");
    value("ozrelay_resends_total", "", s.transport.resends);
    metric("ozrelay_notices_total", "counter",
           "\"No link\" notices sent to sources the relay has no link for.");
    value("ozrelay_notices_total", "", s.relay.notices_sent);
    metric("ozrelay_links_replaced_total", "counter",
           "Older links of launchers that connected again from the same address and port.");
    value("ozrelay_links_replaced_total", "", s.relay.links_replaced);
    metric("ozrelay_addresses_kept_total", "counter",
           "Rejoining launchers given back the relayed address they had.");
    value("ozrelay_addresses_kept_total", "", s.relay.addresses_kept);
    metric("ozrelay_member_tables_total", "counter",
           "Member tables sent to launchers with session addresses.");
    value("ozrelay_member_tables_total", "", s.relay.member_tables);
    metric("ozrelay_member_lists_total", "counter",
           "Member lists (who is in the session) sent to launchers that asked for them.");
    value("ozrelay_member_lists_total", "", s.relay.member_lists);
    metric("ozrelay_no_network_total", "counter",
           "Launchers left without a relayed address: no session network or host was free.");
    value("ozrelay_no_network_total", "", s.relay.drop_no_network);
    metric("ozrelay_joins_refused_total", "counter",
           "Joins refused by private sessions (and by open ones given a password), and joins "
           "ignored from an address refused 5 times in a minute.");
    value("ozrelay_joins_refused_total", "{reason=\"wrong_password\"}",
          s.relay.refused_wrong_password);
    value("ozrelay_joins_refused_total", "{reason=\"needs_password\"}",
          s.relay.refused_needs_password);
    value("ozrelay_joins_refused_total", "{reason=\"session_open\"}", s.relay.refused_session_open);
    value("ozrelay_joins_refused_total", "{reason=\"ignored\"}", s.relay.refused_ignored);
    metric("ozrelay_dropped_total", "counter", "Messages and datagrams dropped, by reason.");
    const std::pair<const char*, uint64_t> drops[] = {
        {"malformed_join", s.relay.drop_malformed_join},
        {"malformed_relay", s.relay.drop_malformed_relay},
        {"not_joined", s.relay.drop_not_joined},
        {"other_type", s.relay.drop_other_type},
        {"session_limit", s.relay.drop_session_limit},
        {"member_limit", s.relay.drop_member_limit},
        {"queue_full", s.relay.drop_queue_full},
        {"source_rate", s.relay.drop_source_rate},
        {"no_destination", s.relay.drop_no_destination},
        {"other_session", s.relay.drop_other_session},
        {"unknown_stream", s.relay.drop_unknown_stream},
        {"stream_window", s.relay.drop_stream_window},
        {"stream_limit", s.relay.drop_stream_limit},
        {"notice_rate", s.relay.drop_notice_rate},
        {"unverified", s.transport.dropped_unverified_message},
        {"bad_datagram", s.transport.dropped_malformed},
        {"unknown_source", s.transport.dropped_unknown_source},
        {"bucket_full", s.transport.dropped_bucket_full},
        {"connection_limit", s.transport.dropped_connection_limit},
        {"unverified_dropped", s.transport.dropped_unverified},
        {"source_limit", s.transport.dropped_source_limit},
    };
    char labels[96];
    for (const auto& [reason, count] : drops) {
        std::snprintf(labels, sizeof labels, "{reason=\"%s\"}", reason);
        value("ozrelay_dropped_total", labels, count);
    }
    metric("ozrelay_limit", "gauge", "The relay's configured limits.");
    const std::pair<const char*, uint64_t> limits[] = {
        {"max_connections", s.config.max_connections},
        {"max_sessions", s.config.max_sessions},
        {"max_members", s.config.max_members},
        {"max_queued", s.config.max_queued_per_connection},
        {"max_unverified", s.config.max_unverified},
        {"max_unverified_per_source", s.config.max_unverified_per_source},
        {"max_messages_per_source", s.config.max_messages_per_source},
    };
    for (const auto& [name, limit] : limits) {
        std::snprintf(labels, sizeof labels, "{name=\"%s\"}", name);
        value("ozrelay_limit", labels, limit);
    }
    metric("process_resident_memory_bytes", "gauge", "Resident memory of the relay process.");
    value("process_resident_memory_bytes", "", s.resident_bytes);
    return out;
}

std::string MetricsStatusJson(const MetricsSnapshot& s,
                              const std::vector<MetricsSnapshot>& history) {
    char head[512];
    std::snprintf(head, sizeof head,
                  "{\"version\":\"%s\",\"at_ms\":%" PRId64
                  ",\"links\":%zu,\"sessions\":%zu,\"members\":%zu,\"in\":%" PRIu64
                  ",\"out\":%" PRIu64 ",\"resident_bytes\":%" PRIu64 ",\"session_list\":[",
                  OZLAN_VERSION, s.at_ms, s.links, s.sessions, s.members,
                  s.relay.relays_in + s.relay.directs_in, s.relay.relays_out + s.relay.directs_out,
                  s.resident_bytes);
    std::string out = head;
    for (size_t i = 0; i < s.session_list.size(); ++i) {
        const SessionFigures& f = s.session_list[i];
        char rest[96];
        std::snprintf(rest, sizeof rest,
                      ",\"members\":%zu,\"messages_in\":%" PRIu64 ",\"players\":[", f.members,
                      f.messages_in);
        out += (i ? ",{\"name\":" : "{\"name\":") + JsonString(f.name) + rest;
        for (size_t p = 0; p < f.players.size(); ++p) {
            if (p) out += ',';
            out += JsonString(f.players[p]);
        }
        out += "]}";
    }
    out += "],\"history\":[";
    for (size_t i = 0; i < history.size(); ++i) {
        const MetricsSnapshot& h = history[i];
        char sample[160];
        std::snprintf(sample, sizeof sample,
                      "%s{\"at_ms\":%" PRId64 ",\"members\":%zu,\"in\":%" PRIu64 ",\"out\":%" PRIu64
                      "}",
                      i ? "," : "", h.at_ms, h.members, h.relay.relays_in + h.relay.directs_in,
                      h.relay.relays_out + h.relay.directs_out);
        out += sample;
    }
    return out + "]}";
}

bool MetricsStart(const std::string& address, uint16_t port, std::string* error) {
    MetricsState& m = Metrics();
    m.server = std::make_unique<httplib::Server>();
    m.server->Get("/metrics", [](const httplib::Request&, httplib::Response& response) {
        MetricsSnapshot s;
        {
            std::lock_guard guard(Metrics().lock);
            s = Metrics().latest;
        }
        s.resident_bytes = ResidentBytes();
        response.set_content(MetricsPrometheusText(s), "text/plain; version=0.0.4");
    });
    m.server->Get("/status.json", [](const httplib::Request&, httplib::Response& response) {
        MetricsSnapshot s;
        std::vector<MetricsSnapshot> history;
        {
            std::lock_guard guard(Metrics().lock);
            s = Metrics().latest;
            history.assign(Metrics().history.begin(), Metrics().history.end());
        }
        s.resident_bytes = ResidentBytes();
        response.set_header("Cache-Control", "no-store");
        response.set_content(MetricsStatusJson(s, history), "application/json");
    });
    m.server->Get("/", [](const httplib::Request&, httplib::Response& response) {
        response.set_content(kStatusPage, "text/html; charset=utf-8");
    });
    if (!m.server->bind_to_port(address.c_str(), port)) {
        *error = "cannot listen for metrics on " + address + ":" + std::to_string(port);
        m.server.reset();
        return false;
    }
    m.thread = std::thread([] { Metrics().server->listen_after_bind(); });
    return true;
}

void MetricsPublish(MetricsSnapshot snapshot) {
    MetricsState& m = Metrics();
    std::unique_lock guard(m.lock, std::try_to_lock);
    if (!guard.owns_lock()) return;  // a request is copying: the next second's figures will do
    MetricsSnapshot sample = snapshot;
    sample.session_list.clear();
    m.history.push_back(std::move(sample));
    if (m.history.size() > kHistorySeconds) m.history.pop_front();
    m.latest = std::move(snapshot);
}

void MetricsStop() {
    MetricsState& m = Metrics();
    if (!m.server) return;
    m.server->stop();
    if (m.thread.joinable()) m.thread.join();
    m.server.reset();
}

}  // namespace ozlan
