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
      {R"({"ok":false,"error":"pipe_unavailable"})", "refused: pipe_unavailable\n"},
      {R"({"ok":false,"error":"poc_route_guard_failed","message":"RDP \"session\" detected","admin_bypass":{"failure_reason":""},"poc_route_guard":{"failure_reason":"rdp_requires_disable_default_route"}})",
       "refused: poc_route_guard_failed\nmessage: RDP \"session\" detected\n"
       "failure reason: rdp_requires_disable_default_route\n"},
      {R"({"ok":false,"error":"admin_bypass_failed","message":"m","admin_bypass":{"failure_reason":"physical_gateway_missing"},"poc_route_guard":{"failure_reason":""}})",
       "refused: admin_bypass_failed\nmessage: m\nfailure reason: physical_gateway_missing\n"},
      {"not json", "refused: (no error code)\n"},
  };
  for (const auto& c : cases) EXPECT_EQ(SummarizeReply(c.reply), c.summary) << c.reply;
}

TEST(ReplySummary, JsonLiteral_EscapesQuotesBackslashesAndControlBytes) {
  EXPECT_EQ(JsonLiteral("a\"b\\c\nd\x01"), "\"a\\\"b\\\\c\\u000ad\\u0001\"");
}

}  // namespace
}  // namespace quorvane_ctl
