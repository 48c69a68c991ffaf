#include "profile_json.h"

#include <gtest/gtest.h>

#include "request_texts.h"

namespace quorvane_ctl {
namespace {

quorvane_windows_vpn::ConnectProfile Parse(const std::string& text) {
  quorvane_windows_vpn::ConnectProfile profile;
  std::string error;
  EXPECT_TRUE(ParseProfileJson(text, &profile, &error)) << error;
  return profile;
}

std::string Connect(const std::string& profile_json) {
  return quorvane_windows_vpn::ConnectRequest("nonce", Parse(profile_json));
}

TEST(ProfileJson, ProfileFiles_BecomeThePluginsConnectRequest) {
  EXPECT_EQ(Connect(R"({
    "allowed_ips": ["0.0.0.0/0", "::/0"], "dns": [1, "10.8.0.1", "10.8.0.2"],
    "endpoint_port": 51820, "display_name": "Home \"VPN\" \u00e9", "node_id": "n1",
    "client_private_key": "k=", "device_id": "", "extra": {"nested": [true, null, 1.5]}
  })"),
            "{\"v\":1,\"op\":\"connect\",\"session_nonce\":\"nonce\",\"node_id\":\"n1\",\"client_private_key\":\"k=\","
            "\"display_name\":\"Home \\\"VPN\\\" \xC3\xA9\",\"endpoint_port\":\"51820\","
            "\"dns_csv\":\", 10.8.0.1, 10.8.0.2\",\"allowed_ips_csv\":\"0.0.0.0/0, ::/0\"}");
  // Only a number that Dart would send as int32 becomes a port.
  const struct {
    const char* port;
    const char* field;
  } ports[] = {{"0", ",\"endpoint_port\":\"0\""}, {"-5", ",\"endpoint_port\":\"-5\""},
               {"\"51820\"", ""}, {"4294967296", ""}, {"1.5", ""}, {"99999999999999999999", ""}};
  for (const auto& p : ports) {
    EXPECT_EQ(Connect(std::string("{\"endpoint_port\":") + p.port + "}"),
              std::string("{\"v\":1,\"op\":\"connect\",\"session_nonce\":\"nonce\"") + p.field + "}")
        << p.port;
  }
}

TEST(ProfileJson, TextsThatAreNotOneObject_AreRefused) {
  quorvane_windows_vpn::ConnectProfile profile;
  std::string error;
  for (const char* text : {"", "[]", "{\"a\":}", "{\"a\":\"b\"", "{} x", "{\"a\" \"b\"}", "{\"a\":tru}"}) {
    EXPECT_FALSE(ParseProfileJson(text, &profile, &error)) << text;
    EXPECT_FALSE(error.empty());
  }
}

}  // namespace
}  // namespace quorvane_ctl
