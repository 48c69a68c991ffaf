#include "control/pipe_protocol.h"

#include <gtest/gtest.h>

#include <string>

namespace quorvane {
namespace {

// ---- the scanner ------------------------------------------------------------

TEST(ReadJsonString, CompactAndSpacedMembers_AreRead) {
  EXPECT_EQ(ReadJsonString(R"({"v":1,"op":"status"})", "op"), "status");
  EXPECT_EQ(ReadJsonString("{ \"op\" \t:\r\n \"status\" }", "op"), "status");
  EXPECT_EQ(ReadJsonString("{\"op\"\v:\f\"x\"}", "op"), "x");
}

TEST(ReadJsonString, AbsentKeyOrNoColon_IsEmpty) {
  EXPECT_EQ(ReadJsonString(R"({"v":1})", "op"), "");
  EXPECT_EQ(ReadJsonString(R"({"op")", "op"), "");
  EXPECT_EQ(ReadJsonString("", "op"), "");
  // The key must stand in quotes: a bare word or a longer key does not count.
  EXPECT_EQ(ReadJsonString(R"({op:"status","xop":"a","opx":"b"})", "op"), "");
}

TEST(ReadJsonString, NonStringValues_AreEmpty) {
  EXPECT_EQ(ReadJsonString(R"({"op":1})", "op"), "");
  EXPECT_EQ(ReadJsonString(R"({"op":true})", "op"), "");
  EXPECT_EQ(ReadJsonString(R"({"op":null})", "op"), "");
  EXPECT_EQ(ReadJsonString(R"({"op":{"a":"b"}})", "op"), "");
  EXPECT_EQ(ReadJsonString(R"({"op":["a"]})", "op"), "");
  EXPECT_EQ(ReadJsonString(R"({"op":   )", "op"), "");
}

TEST(ReadJsonString, FirstOccurrenceWins_AlsoInsideAnotherValue) {
  EXPECT_EQ(ReadJsonString(R"({"op":"status","op":"connect"})", "op"), "status");
  // "node_id" first stands as a value; the scan takes the first colon after it,
  // which belongs to "b", and never reaches the real member.
  EXPECT_EQ(ReadJsonString(R"({"a":"node_id","b":"x","node_id":"real"})", "node_id"), "x");
  // A profile field inside a nested object is found as if it stood at the top.
  EXPECT_EQ(ReadJsonString(R"({"profile":{"node_id":"n1"}})", "node_id"), "n1");
}

TEST(ReadJsonString, ColonSearch_StartsAtTheKeyAndTakesTheFirstColon) {
  // The first colon after the key may belong to a later member.
  EXPECT_EQ(ReadJsonString(R"({"op","x":"y"})", "op"), "y");
}

TEST(ReadJsonString, EscapedQuote_IsUnescapedInsideTheValue) {
  EXPECT_EQ(ReadJsonString(R"({"display_name":"a\"b"})", "display_name"), "a\"b");
}

TEST(ReadJsonString, EscapeSequences_FollowTheFixedTable) {
  EXPECT_EQ(ReadJsonString(R"({"k":"\n\r\t\"\/\\"})", "k"), "\n\r\t\"/\\");
  // Unknown sequences, \u among them, are kept as sent.
  EXPECT_EQ(ReadJsonString(R"({"k":"\u0041\b\f\x"})", "k"), R"(\u0041\b\f\x)");
  // Control bytes inside the value are copied raw.
  EXPECT_EQ(ReadJsonString("{\"k\":\"a\nb\"}", "k"), "a\nb");
}

TEST(ReadJsonString, UnterminatedValue_IsEmpty) {
  EXPECT_EQ(ReadJsonString(R"({"k":"abc)", "k"), "");
  EXPECT_EQ(ReadJsonString(R"({"k":"abc\")", "k"), "");
  EXPECT_EQ(ReadJsonString(R"({"k":"abc\)", "k"), "");
  EXPECT_EQ(ReadJsonString(R"({"k":")", "k"), "");
}

TEST(ReadJsonString, EmptyString_IsEmpty) { EXPECT_EQ(ReadJsonString(R"({"k":""})", "k"), ""); }

// ---- request framing and forbidden keys ----------------------------------

TEST(RequestTextFromBytes, TextEndsAtFirstNulOrAtTheCut) {
  const char with_nul[] = {'a', 'b', '\0', 'c'};
  EXPECT_EQ(RequestTextFromBytes(with_nul, sizeof(with_nul)), "ab");
  const std::string big(kMaxRequestBytes + 10, 'x');
  EXPECT_EQ(RequestTextFromBytes(big.data(), big.size()).size(), kMaxRequestBytes);
  EXPECT_EQ(RequestTextFromBytes(big.data(), 0), "");
}

TEST(ContainsForbiddenKey, EachKeyAnywhere_IsFound) {
  for (const char* key : {"config_path", "wg_quick_config", "wgQuickConfig", "conf_path"}) {
    EXPECT_TRUE(ContainsForbiddenKey(std::string(R"({"op":"status","display_name":"x )") + key + "\"}")) << key;
  }
  EXPECT_FALSE(ContainsForbiddenKey(R"({"v":1,"op":"status"})"));
  // The match is case-sensitive.
  EXPECT_FALSE(ContainsForbiddenKey(R"({"CONFIG_PATH":"x","WGQUICKCONFIG":"y"})"));
}

// ---- endpoint port ------------------------------------------------------------

int32_t PortOf(const std::string& request) {
  int32_t port = -1;
  EXPECT_TRUE(ReadEndpointPort(request, &port)) << request;
  return port;
}

bool PortRejected(const std::string& request) {
  int32_t port = -1;
  return !ReadEndpointPort(request, &port);
}

TEST(ReadEndpointPort, AbsentEmptyOrNonString_IsDefault) {
  EXPECT_EQ(PortOf(R"({"op":"connect"})"), 51820);
  EXPECT_EQ(PortOf(R"({"endpoint_port":""})"), 51820);
  EXPECT_EQ(PortOf(R"({"endpoint_port":443})"), 51820);
}

TEST(ReadEndpointPort, LeadingDecimal_IsThePort) {
  EXPECT_EQ(PortOf(R"({"endpoint_port":"443"})"), 443);
  EXPECT_EQ(PortOf(R"({"endpoint_port":"443abc"})"), 443);
  EXPECT_EQ(PortOf(R"({"endpoint_port":" +1"})"), 1);
  EXPECT_EQ(PortOf(R"({"endpoint_port":"65535"})"), 65535);
}

TEST(ReadEndpointPort, NotAUdpPort_IsRejected) {
  EXPECT_TRUE(PortRejected(R"({"endpoint_port":"abc"})"));
  EXPECT_TRUE(PortRejected(R"({"endpoint_port":"99999999999"})"));
  EXPECT_TRUE(PortRejected(R"({"endpoint_port":"0"})"));
  EXPECT_TRUE(PortRejected(R"({"endpoint_port":"-443"})"));
  EXPECT_TRUE(PortRejected(R"({"endpoint_port":"65536"})"));
}

// ---- replies, byte for byte ------------------------------------------------------

const char kAdmin[] = R"("admin_bypass":{"enabled":false})";
const char kGuard[] = R"("poc_route_guard":{"poc_route_guard_failed":false})";

TEST(Replies, SuccessShape_HasNodeOnlyWhenSet) {
  EXPECT_EQ(SuccessReply(kPhaseDisconnected, ""), R"({"ok":true,"phase":"disconnected"})");
  EXPECT_EQ(SuccessReply(kPhaseConnected, "node-7"), R"({"ok":true,"phase":"connected","node_id":"node-7"})");
}

TEST(Replies, SuccessWithReports_InsertsBothMembersBeforeTheBrace) {
  EXPECT_EQ(WithReports(SuccessReply(kPhaseConnected, "n1"), kAdmin, kGuard),
            R"({"ok":true,"phase":"connected","node_id":"n1","admin_bypass":{"enabled":false},)"
            R"("poc_route_guard":{"poc_route_guard_failed":false}})");
  EXPECT_EQ(WithReports("not json", kAdmin, kGuard), "not json");
  EXPECT_EQ(WithReports("", kAdmin, kGuard), "");
}

TEST(Replies, StatusShape_CarriesTunnelRunningAndGenerationAfterTheNode) {
  EXPECT_EQ(StatusReply(kPhaseDisconnected, "", false, 1),
            R"({"ok":true,"phase":"disconnected","tunnel_running":false,"generation":1})");
  EXPECT_EQ(WithReports(StatusReply(kPhaseConnected, "n1", true, 18446744073709551615u), kAdmin, kGuard),
            R"({"ok":true,"phase":"connected","node_id":"n1","tunnel_running":true,"generation":18446744073709551615,)"
            R"("admin_bypass":{"enabled":false},"poc_route_guard":{"poc_route_guard_failed":false}})");
}

// Echoed texts and arrays are cut to their bound, marked, and stay JSON.
TEST(Replies, EchoedTextsAndArrays_AreCutToTheirBoundAndMarked) {
  std::string json = "{";
  AppendJsonEchoed(&json, "short", "10.0.0.0/8");
  EXPECT_EQ(json, R"({"short":"10.0.0.0/8")");
  const std::string long_text(5000, 'a');
  json = "{";
  AppendJsonEchoed(&json, "long", long_text);
  EXPECT_LE(json.size(), std::string(R"({"long":"")").size() + kMaxEchoedBytes) << "cut to the bound";
  EXPECT_GT(json.size(), kMaxEchoedBytes - 8) << "and no shorter than it needs";
  EXPECT_NE(json.find("aaa...(cut: 5000 bytes in all)\""), std::string::npos);
  std::vector<std::string> entries;
  for (int i = 0; i < 300; ++i) entries.push_back("203.0.113." + std::to_string(i % 250));
  json = "{";
  AppendJsonEchoedArray(&json, "ips", JsonTextArray(entries));
  EXPECT_LE(json.size(), std::string(R"({"ips":)").size() + kMaxEchoedBytes);
  EXPECT_EQ(json.rfind(R"({"ips":["203.0.113.0","203.0.113.1",)", 0), 0u) << json.substr(0, 40);
  EXPECT_NE(json.find(R"(,"...(cut: )"), std::string::npos);
  EXPECT_EQ(json.substr(json.size() - 24), R"x( of 300 entries shown)"])x") << "whole elements, then the mark";
}

TEST(Replies, ErrorShapes_AreExact) {
  EXPECT_EQ(ErrorReply(kForbiddenPath), R"({"ok":false,"error":"forbidden_path","message":"config paths not accepted from UI"})");
  EXPECT_EQ(ErrorReply(kUnknownOp), R"({"ok":false,"error":"unknown_op","message":"unsupported operation"})");
  EXPECT_EQ(ErrorReply(kSessionMismatch), R"({"ok":false,"error":"session_mismatch","message":"invalid session"})");
  EXPECT_EQ(ErrorReply(kMissingRequiredFields),
            R"({"ok":false,"error":"invalid_profile","message":"missing required fields"})");
  EXPECT_EQ(ErrorReplyWithReports(kErrorAdminBypassFailed, "no route", kAdmin, kGuard),
            R"({"ok":false,"error":"admin_bypass_failed","message":"no route","admin_bypass":{"enabled":false},)"
            R"("poc_route_guard":{"poc_route_guard_failed":false}})");
}

TEST(Replies, NodeIdWithQuoteOrBackslash_StaysOneJsonString) {
  // A node id read from a request as a"b\c must not end the reply's string early.
  EXPECT_EQ(SuccessReply(kPhaseConnected, "a\"b\\c"), R"({"ok":true,"phase":"connected","node_id":"a\"b\\c"})");
}

TEST(JsonEscape, QuotesBackslashesAndControlBytesAreEscaped) {
  EXPECT_EQ(JsonEscape(R"(C:\x "y")"), R"(C:\\x \"y\")");
  EXPECT_EQ(JsonEscape("tab\there\nnl\r\b\f\x01\x1f"), R"(tab\there\nnl\r\b\f\u0001\u001f)");
  EXPECT_EQ(JsonEscape("plain text \x7f \xc3\xa9 \xf0\x9f\x94\x92"), "plain text \x7f \xc3\xa9 \xf0\x9f\x94\x92");
  // Bytes that are not UTF-8 (stray, cut short, overlong, surrogate) become U+FFFD each.
  EXPECT_EQ(JsonEscape("a\xff\xc3"), "a\xef\xbf\xbd\xef\xbf\xbd");
  EXPECT_EQ(JsonEscape("\xc0\xaf|\xed\xa0\x80"), "\xef\xbf\xbd\xef\xbf\xbd|\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd");
  EXPECT_EQ(JsonEscape(""), "");
}

}  // namespace
}  // namespace quorvane
