#include "ctl_requests.h"

#include <gtest/gtest.h>

namespace quorvane_ctl {
namespace {

Profile Parse(const std::string& text) {
  Profile profile;
  std::string error;
  EXPECT_TRUE(ParseProfileJson(text, &profile, &error)) << error;
  return profile;
}

TEST(CtlRequests, SimpleRequests_AreThePluginsTexts) {
  EXPECT_EQ(StatusRequest(), "{\"v\":1,\"op\":\"status\"}");
  EXPECT_EQ(RegisterSessionRequest("a\"b\\c\nd"),
            "{\"v\":1,\"op\":\"register_session\",\"session_nonce\":\"a\\\"b\\\\c\nd\"}");
  EXPECT_EQ(DisconnectRequest(""), "{\"v\":1,\"op\":\"disconnect\",\"reason\":\"\"}");
  EXPECT_EQ(DisconnectRequest("user_action"), "{\"v\":1,\"op\":\"disconnect\",\"reason\":\"user_action\"}");
}

TEST(CtlRequests, Connect_FieldsInOrderPortAsInt32TextListsJoined) {
  const Profile profile = Parse(R"({
    "allowed_ips": ["0.0.0.0/0", "::/0"], "dns": [1, "10.8.0.1", "10.8.0.2"],
    "endpoint_port": 51820, "display_name": "Home \"VPN\"", "node_id": "n1",
    "client_private_key": "k=", "device_id": "", "extra": {"nested": [true, null]}
  })");
  EXPECT_EQ(ConnectRequest("nonce", profile),
            "{\"v\":1,\"op\":\"connect\",\"session_nonce\":\"nonce\",\"node_id\":\"n1\",\"client_private_key\":\"k=\","
            "\"display_name\":\"Home \\\"VPN\\\"\",\"endpoint_port\":\"51820\",\"dns_csv\":\", 10.8.0.1, 10.8.0.2\","
            "\"allowed_ips_csv\":\"0.0.0.0/0, ::/0\"}");
  const struct {
    const char* port;
    const char* field;
  } ports[] = {{"0", ",\"endpoint_port\":\"0\""}, {"-5", ",\"endpoint_port\":\"-5\""},
               {"\"51820\"", ""}, {"4294967296", ""}, {"1.5", ""}};
  for (const auto& p : ports) {
    EXPECT_EQ(ConnectRequest("", Parse(std::string("{\"endpoint_port\":") + p.port + "}")),
              std::string("{\"v\":1,\"op\":\"connect\",\"session_nonce\":\"\"") + p.field + "}")
        << p.port;
  }
  EXPECT_EQ(ConnectRequest("", Parse("{\"dns\":[]}")), "{\"v\":1,\"op\":\"connect\",\"session_nonce\":\"\"}");
}

TEST(CtlRequests, ProfileFiles_ThatAreNotAnObjectAreRefused) {
  Profile profile;
  std::string error;
  for (const char* text : {"", "[]", "{\"a\":}", "{\"a\":\"b\"", "{} x", "{\"a\" \"b\"}"}) {
    EXPECT_FALSE(ParseProfileJson(text, &profile, &error)) << text;
    EXPECT_FALSE(error.empty());
  }
  EXPECT_TRUE(ReplySaysOk("{\"ok\":true}"));
  EXPECT_FALSE(ReplySaysOk("{\"ok\": true}"));
}

}  // namespace
}  // namespace quorvane_ctl
