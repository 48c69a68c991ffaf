#include "reply_summary.h"

#include <gtest/gtest.h>

namespace quorvane_ctl {
namespace {

TEST(ReplySummary, APersonReadsThePhaseOrTheRefusalAtAGlance) {
  const struct {
    const char* reply;
    const char* summary;
  } cases[] = {
      {R"({"ok":true,"phase":"connected","node_id":"node-1","tunnel_running":true,"admin_bypass":{}})",
       "ok: connected  node: node-1  tunnel running: yes\n"},
      {R"({"ok":true,"phase":"disconnected"})", "ok: disconnected\n"},
      {R"({"ok":false,"error":"pipe_unavailable"})",
       "the service is not reachable: nobody serves \\\\.\\pipe\\QuorvaneVpn. Is it running? sc query QuorvaneVpnTunnel\n"},
      {R"({"ok":false,"error":"poc_route_guard_failed","message":"RDP \"session\" detected","admin_bypass":{"failure_reason":""},"poc_route_guard":{"failure_reason":"rdp_requires_disable_default_route"}})",
       "refused: poc_route_guard_failed\nmessage: RDP \"session\" detected\n"
       "failure reason: rdp_requires_disable_default_route\n"},
      {R"({"ok":false,"error":"admin_bypass_failed","message":"m","admin_bypass":{"failure_reason":"physical_gateway_missing"},"poc_route_guard":{"failure_reason":""}})",
       "refused: admin_bypass_failed\nmessage: m\nfailure reason: physical_gateway_missing\n"},
      {"not json", "refused: (no error code)\n"},
  };
  for (const auto& c : cases) EXPECT_EQ(SummarizeReply(c.reply), c.summary) << c.reply;
}

TEST(ReplySummary, Status_IsALabelledLineAFact) {
  EXPECT_EQ(SummarizeReply(R"({"ok":true,"phase":"connected","node_id":"node-1","tunnel_running":true,"generation":3,)"
                           R"("connected_since_utc":"2026-12-08T01:00:00Z","endpoint":"vpn.example:51820",)"
                           R"("tunnel_address":"10.8.0.7/32","safe_mode":false,"auto_stop_deadline_utc":"2026-12-08T02:00:00Z",)"
                           R"("admin_bypass":{"applied":true,"message":"m","route_add_results":"203.0.113.7:added;"},)"
                           R"("poc_route_guard":{"message":""}})"),
            "phase:             connected\n"
            "node:              node-1\n"
            "tunnel running:    yes\n"
            "endpoint:          vpn.example:51820\n"
            "tunnel address:    10.8.0.7/32\n"
            "connected since:   2026-12-08T01:00:00Z\n"
            "safe mode:         off\n"
            "automatic stop:    2026-12-08T02:00:00Z\n"
            "bypass applied:    yes (1 route)\n");
  EXPECT_EQ(SummarizeReply(R"({"ok":true,"phase":"disconnected","tunnel_running":false,"generation":9,"message":"gone",)"
                           R"("admin_bypass":{"enabled":false},"poc_route_guard":{}})"),
            "phase:             disconnected\nnode:              -\ntunnel running:    no\nendpoint:          -\n"
            "tunnel address:    -\nconnected since:   -\nsafe mode:         -\nautomatic stop:    -\n"
            "bypass applied:    no\nmessage:           gone\n");
}

TEST(ReplySummary, JsonLiteral_EscapesQuotesBackslashesAndControlBytes) {
  EXPECT_EQ(JsonLiteral("a\"b\\c\nd\x01"), "\"a\\\"b\\\\c\\u000ad\\u0001\"");
}

}  // namespace
}  // namespace quorvane_ctl
