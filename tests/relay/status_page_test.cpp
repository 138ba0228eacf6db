// The relay's live figures as an operator sees them: Prometheus text over HTTP, and
// the status page in a real browser (headless Chromium) during a two-launcher session.
#include <gtest/gtest.h>
#include <httplib.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <thread>

#include "protocol/wire.h"
#include "relay/metrics.h"
#include "tests/support/relay_process.h"
#include "tests/support/transport_harness.h"

namespace ozlan::test {
namespace {

bool g_connected[8];
void Connected(int32_t id, int32_t, void*) {
    if (id < 8) g_connected[id] = true;
}

void Pump(int ms) {
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (std::chrono::steady_clock::now() < end) {
        TransportThink(0);
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
}

// A launcher joined to `session` (the test's own transport plays it), to a private
// session when `verifier` is given.
int32_t Launcher(uint16_t relay_port, const char* session, const uint8_t* verifier = nullptr) {
    Endpoint* ep = CreateEndpoint(0);
    int32_t id = Connect(ep, "127.0.0.1", relay_port);
    SetEventCallback(id, EVENT_CONNECTED, Connected);
    for (int i = 0; i < 1000 && !g_connected[id]; ++i) Pump(2);
    uint8_t join[kPrivateJoinMessageSize];
    if (verifier) {
        WritePrivateJoinMessage(join, session, 0, verifier);
        TransportSend(id, join, int32_t(kPrivateJoinMessageSize), kJoinMessageType);
    } else {
        WriteJoinMessage(join, session);
        TransportSend(id, join, int32_t(kJoinMessageSize), kJoinMessageType);
    }
    return id;
}

std::string ReadAll(const std::string& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

TEST(RelayMetrics, PrometheusTextAndTheStatusPageShowTheSession) {
    TransportReset();
    SetTransportLogSink(nullptr);
    uint16_t http_port = FreeUdpPort();  // the same number is free for TCP as a rule
    RelayProcess relay({"--metrics", "127.0.0.1:" + std::to_string(http_port)});
    ASSERT_TRUE(relay.running());
    int32_t a = Launcher(relay.port(), "lobby");
    Launcher(relay.port(), "lobby");
    const uint8_t verifier[kVerifierSize] = {9};
    Launcher(relay.port(), "secret-friday", verifier);  // private: shown, never named
    uint8_t header[kRelayHeaderSize + kLinkHeaderSize + 4] = {};
    WriteRelayHeader(header, "lobby", kLinkHeaderSize + 4);
    WriteLinkHeader(header + kRelayHeaderSize, 4000);
    TransportSend(a, header, int32_t(sizeof header), kRelayMessageType);
    Pump(1500);  // the relay publishes its figures once a second

    httplib::Client http("127.0.0.1", http_port);
    auto metrics = http.Get("/metrics");
    ASSERT_TRUE(metrics) << "no answer on the metrics port";
    EXPECT_EQ(200, metrics->status);
    for (const char* line : {"ozrelay_sessions 2\n", "ozrelay_members 3\n", "ozrelay_links 3\n",
                             "ozrelay_messages_in_total{kind=\"broadcast\"} 1\n",
                             "ozrelay_messages_out_total{kind=\"broadcast\"} 1\n",
                             "ozrelay_dropped_total{reason=\"source_rate\"} 0\n",
                             "ozrelay_limit{name=\"max_messages_per_source\"} 20000\n",
                             "# TYPE ozrelay_resends_total counter\n"}) {
        EXPECT_NE(std::string::npos, metrics->body.find(line)) << line << metrics->body;
    }
    EXPECT_NE(std::string::npos, metrics->body.find("process_resident_memory_bytes "));

    // The page in a real browser, after its script fetched the figures.
    const char* chromium = "/usr/bin/chromium";
    if (!std::ifstream(chromium)) GTEST_SKIP() << "no Chromium here (scripts/setup installs it)";
    std::string logs = ProgramFolder() + "/../../test-logs";
    std::string dom = logs + "/status-page.html", shot = logs + "/status-page.png";
    std::string url = "http://127.0.0.1:" + std::to_string(http_port) + "/";
    std::string flags =
        " --headless --no-sandbox --disable-gpu --disable-quic --no-first-run"
        " --disable-background-networking --disable-component-update --disable-sync"
        " --user-data-dir=" +
        logs +
        "/chromium-profile --virtual-time-budget=5000"
        " --window-size=900,760 ";
    std::string mkdir = "mkdir -p " + logs;
    ASSERT_EQ(0, std::system(mkdir.c_str()));
    std::string dump = chromium + flags + "--dump-dom " + url + " >" + dom + " 2>/dev/null";
    ASSERT_EQ(0, std::system(dump.c_str()));
    std::string page = ReadAll(dom);
    EXPECT_NE(std::string::npos, page.find("<td>lobby</td><td>2 members</td>")) << page;
    EXPECT_NE(std::string::npos, page.find("<b id=\"members\">3</b>")) << page;
    EXPECT_NE(std::string::npos, page.find("<td>private</td><td>1 member</td>")) << page;
    EXPECT_EQ(std::string::npos, page.find("secret-friday")) << page;
    EXPECT_EQ(std::string::npos, metrics->body.find("secret-friday"));
    EXPECT_NE(std::string::npos, page.find("ozrelay <span id=\"version\">" OZLAN_VERSION)) << page;
    // The chart reads: a rate axis, a time axis ending now, and the members' line.
    for (const char* part :
         {"class=\"rate-label\">0/s</text>", "class=\"time-label\">now</text>",
          "class=\"time-label\">-30 s</text>", "class=\"members-label\">3</text>"}) {
        EXPECT_NE(std::string::npos, page.find(part)) << part << "\n" << page;
    }
    EXPECT_EQ(std::string::npos,
              page.find("id=\"line-members\" fill=\"none\" stroke=\"#a62\" "
                        "stroke-width=\"1.5\" stroke-dasharray=\"4 3\" points=\"\""))
        << "the members' line has points";
    std::string screenshot =
        chromium + flags + "--screenshot=" + shot + " " + url + " >/dev/null 2>&1";
    EXPECT_EQ(0, std::system(screenshot.c_str()));
    EXPECT_TRUE(std::ifstream(shot).good()) << "no screenshot at " << shot;
    TransportReset();
}

TEST(RelayMetrics, SessionNamesAreEscapedInTheStatusFigures) {
    MetricsSnapshot s;
    s.session_list.push_back({"a\"b\\c\x01</td>", 2, 5, {"<b>al\"ice", "bob"}});
    s.session_list.push_back({"private", 1, 0, {}});
    std::string json = MetricsStatusJson(s, {});
    EXPECT_NE(std::string::npos, json.find(R"("name":"a\"b\\c\u0001</td>","members":2)")) << json;
    // The players of an open session by name, escaped; a private one lists none.
    EXPECT_NE(std::string::npos, json.find(R"("players":["<b>al\"ice","bob"]})")) << json;
    EXPECT_NE(std::string::npos,
              json.find(R"("name":"private","members":1,"messages_in":0,"players":[]})"))
        << json;
    std::string address;
    uint16_t port = 0;
    EXPECT_TRUE(ParseMetricsAddress("127.0.0.1:9669", &address, &port));
    EXPECT_EQ("127.0.0.1", address);
    EXPECT_EQ(9669, port);
    for (const char* bad : {"127.0.0.1", ":80", "127.0.0.1:", "127.0.0.1:65536", "127.0.0.1:8x",
                            "nowhere.invalid:80"}) {
        EXPECT_FALSE(ParseMetricsAddress(bad, &address, &port)) << bad;
    }
}

}  // namespace
}  // namespace ozlan::test
