#include "tunnel/tunnel_profile.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace quorvane {
namespace {

// 32-byte keys in base64, as the WireGuard library takes them.
constexpr char kClientKey[] = "cXVvcnZhbmUtdGVzdC1jbGllbnQtcHJpdmF0ZS1rISE=";
constexpr char kServerKey[] = "cXVvcnZhbmUtdGVzdC1zZXJ2ZXItcHVibGljLWtleSE=";

// A connect request as the client writes it, with the required fields;
// |extra_members| come first, so that they stand in for the defaults (the
// reader takes a key's first value).
std::string ConnectRequest(const std::string& extra_members) {
  return std::string(R"({"v":1,"op":"connect","session_nonce":"s1")") + extra_members +
         R"(,"node_id":"node-1","address_cidr":"10.8.0.2/32","endpoint_host":"vpn.example.test",)"
         R"("server_public_key":")" + kServerKey + R"(","client_private_key":")" + kClientKey + "\"}";
}

TEST(ReadTunnelProfile, ClientRequest_FillsEveryFieldAsReceived) {
  const std::string request = std::string(R"({"v":1,"op":"connect","session_nonce":"s","node_id":"n1",)") +
                              R"("device_id":"d1","address_cidr":"10.8.0.2/32","endpoint_host":"h.test",)" +
                              R"("server_public_key":")" + kServerKey + R"(","client_private_key":")" + kClientKey +
                              R"(","client_public_key":"CPub","pre_shared_key":")" + kServerKey +
                              R"(","display_name":" Home VPN ","endpoint_port":"443","dns_csv":"1.1.1.1, 8.8.8.8",)"
                              R"("allowed_ips_csv":"10.0.0.0/8, 192.168.1.0/24"})";
  TunnelProfile profile;
  std::string message;
  ASSERT_TRUE(ReadTunnelProfile(request, &profile, &message)) << message;
  EXPECT_EQ(profile.node_id, "n1");
  EXPECT_EQ(profile.device_id, "d1");
  EXPECT_EQ(profile.address_cidr, "10.8.0.2/32");
  EXPECT_EQ(profile.endpoint_host, "h.test");
  EXPECT_EQ(profile.endpoint_port, 443);
  EXPECT_EQ(profile.server_public_key, kServerKey);
  EXPECT_EQ(profile.client_private_key, kClientKey);
  EXPECT_EQ(profile.client_public_key, "CPub");
  EXPECT_EQ(profile.pre_shared_key, kServerKey);
  EXPECT_EQ(profile.dns_csv, "1.1.1.1, 8.8.8.8");
  EXPECT_EQ(profile.allowed_ips_csv, "10.0.0.0/8, 192.168.1.0/24");
  EXPECT_EQ(profile.display_name, " Home VPN ");  // untrimmed
  EXPECT_EQ(profile.persistent_keepalive, 25);
  EXPECT_EQ(profile.mtu, 0);
}

TEST(ReadTunnelProfile, MissingRequiredField_IsReportedFirst) {
  TunnelProfile profile;
  std::string message;
  EXPECT_FALSE(ReadTunnelProfile(R"({"op":"connect","node_id":"n1","endpoint_port":"x"})", &profile, &message));
  EXPECT_EQ(message, "missing required fields");
  EXPECT_FALSE(ReadTunnelProfile(R"({"op":"connect","client_private_key":"k"})", &profile, &message));
  EXPECT_EQ(message, "missing required fields");
  EXPECT_FALSE(ReadTunnelProfile(R"({"node_id":"","client_private_key":"k"})", &profile, &message));
  EXPECT_EQ(message, "missing required fields");
}

TEST(ReadTunnelProfile, UnusablePort_IsInvalidButPartialDigitsAreNot) {
  TunnelProfile profile;
  std::string message;
  for (const char* port : {"abc", "0", "65536", "-1", "4294967297"}) {
    EXPECT_FALSE(ReadTunnelProfile(ConnectRequest(std::string(R"(,"endpoint_port":")") + port + "\""), &profile,
                                   &message))
        << port;
    EXPECT_EQ(message, "invalid endpoint_port") << port;
  }
  ASSERT_TRUE(ReadTunnelProfile(ConnectRequest(R"(,"endpoint_port":"443abc")"), &profile, &message));
  EXPECT_EQ(profile.endpoint_port, 443);
  ASSERT_TRUE(ReadTunnelProfile(ConnectRequest(R"(,"endpoint_port":"")"), &profile, &message));
  EXPECT_EQ(profile.endpoint_port, 51820);
  ASSERT_TRUE(ReadTunnelProfile(ConnectRequest(R"(,"endpoint_port":51000)"), &profile, &message));
  EXPECT_EQ(profile.endpoint_port, 51820);  // a JSON number reads as absent
}

TEST(ReadTunnelProfile, ControlCharacterInAConfigurationValue_IsRefused) {
  // "\n" in the request unescapes to a line feed: an injected [Peer] line.
  const struct {
    const char* key;
    const char* raw_value;
  } cases[] = {
      {"dns_csv", R"(1.1.1.1\n[Peer]\nPublicKey = X)"}, {"allowed_ips_csv", R"(0.0.0.0/0\r)"},
      {"pre_shared_key", "a\tb"},                        {"endpoint_host", "h\x7f"},
  };
  for (const auto& c : cases) {
    TunnelProfile profile;
    std::string message;
    const std::string request =
        std::string(R"({"node_id":"n","client_private_key":"K",")") + c.key + "\":\"" + c.raw_value + "\"}";
    EXPECT_FALSE(ReadTunnelProfile(request, &profile, &message))
        << c.key;
    EXPECT_EQ(message, "profile field contains a control character") << c.key;
    EXPECT_EQ(UnsafeProfileFields(profile), std::vector<std::string>{c.key});
  }
  // The required fields come from the request too: a line break there is caught.
  TunnelProfile profile;
  std::string message;
  EXPECT_FALSE(ReadTunnelProfile(R"({"node_id":"n","client_private_key":"K\nPostUp = calc.exe"})", &profile,
                                 &message));
  EXPECT_EQ(UnsafeProfileFields(profile), std::vector<std::string>{"client_private_key"});
}

// What the WireGuard library's parser would refuse is refused before anything
// is written, naming the field.
// "10.0.0.0/24, 10.0.1.0/24, ..." with |count| entries.
std::string ManyRanges(size_t count) {
  std::string list;
  for (size_t i = 0; i < count; ++i) list += (i > 0 ? ", 10.0." : "10.0.") + std::to_string(i % 256) + ".0/24";
  return list;
}

TEST(ReadTunnelProfile, ValuesTheLibraryWouldRefuse_AreInvalid) {
  const std::string short_key = "c2VydmVy";
  const struct {
    std::string members;
    const char* message;  // "": accepted
  } cases[] = {
      {R"(,"server_public_key":"not-a-key")", "invalid server_public_key: not a 32-byte base64 key"},
      {R"(,"server_public_key":"")", "invalid server_public_key: not a 32-byte base64 key"},
      {R"(,"client_private_key":")" + short_key + "\"", "invalid client_private_key: not a 32-byte base64 key"},
      {R"(,"client_private_key":"cXVvcnZhbmUtdGVzdC1jbGllbnQtcHJpdmF0ZS1rIS*=")",
       "invalid client_private_key: not a 32-byte base64 key"},
      {R"(,"pre_shared_key":"abc=")", "invalid pre_shared_key: not a 32-byte base64 key"},
      {R"(,"address_cidr":"10.8.0.300/32")", "invalid address_cidr: entry 1 is not an address with a prefix length"},
      {R"(,"address_cidr":"10.8.0.2/32,")", "invalid address_cidr: entry 2 is not an address with a prefix length"},
      {R"(,"allowed_ips_csv":"10.0.0.0/8, 10.1.0.0/33")", "invalid allowed_ips_csv: entry 2 is not an address range"},
      {R"(,"allowed_ips_csv":"10.0.0.0/8 # all")", "invalid allowed_ips_csv: '#' starts a comment there"},
      {R"(,"endpoint_host":"vpn#1")", "invalid endpoint_host: '#' starts a comment there"},
      {R"(,"dns_csv":"10.8.0.1,corp.example")", ""},  // a search domain is the library's too
      {R"(,"address_cidr":"10.8.0.2/32, fd00::2/128","allowed_ips_csv":"::/0, 0.0.0.0/0")", ""},
      {R"(,"address_cidr":"","allowed_ips_csv":"")", ""},  // left out of the file
      {",\"allowed_ips_csv\":\"" + ManyRanges(256) + "\"", ""},
      {",\"allowed_ips_csv\":\"" + ManyRanges(257) + "\"", "invalid allowed_ips_csv: more than 256 entries"},
      {",\"dns_csv\":\"" + ManyRanges(17) + "\"", "invalid dns_csv: more than 16 servers"},
  };
  for (const auto& c : cases) {
    TunnelProfile profile;
    std::string message;
    EXPECT_EQ(ReadTunnelProfile(ConnectRequest(c.members), &profile, &message), *c.message == '\0') << c.members;
    EXPECT_EQ(message, c.message) << c.members;
  }
}

TEST(UnsafeProfileFields, SeveralUnsafeValues_AreAllNamedInConfigurationOrder) {
  TunnelProfile profile;
  profile.endpoint_host = "h\r";
  profile.address_cidr = "10.0.0.2/32\n";
  profile.client_private_key = "\x1b[2J";
  EXPECT_EQ(UnsafeProfileFields(profile),
            (std::vector<std::string>{"client_private_key", "address_cidr", "endpoint_host"}));
}

TEST(ReadTunnelProfile, ControlCharacterOutsideTheConfiguration_IsAccepted) {
  TunnelProfile profile;
  std::string message;
  EXPECT_TRUE(ReadTunnelProfile(ConnectRequest(R"(,"display_name":"two\nlines","client_public_key":"a\tb")"),
                                &profile, &message))
      << message;
  EXPECT_TRUE(UnsafeProfileFields(profile).empty());
  // Bytes from 0x80 up (UTF-8 text) are not control characters.
  profile.endpoint_host = "h\xC3\xA9.test";
  EXPECT_TRUE(UnsafeProfileFields(profile).empty());
}

TunnelProfile MinimalProfile() {
  TunnelProfile profile;
  profile.client_private_key = "PRIV";
  profile.address_cidr = "10.8.0.2/32";
  profile.server_public_key = "PUB";
  profile.allowed_ips_csv = "10.0.0.0/8";
  profile.endpoint_host = "vpn.test";
  return profile;
}

TEST(RenderWireGuardConfig, MinimalProfile_IsExactlyNineLines) {
  EXPECT_EQ(RenderWireGuardConfig(MinimalProfile()),
            "[Interface]\n"
            "PrivateKey = PRIV\n"
            "Address = 10.8.0.2/32\n"
            "\n"
            "[Peer]\n"
            "PublicKey = PUB\n"
            "AllowedIPs = 10.0.0.0/8\n"
            "Endpoint = vpn.test:51820\n"
            "PersistentKeepalive = 25\n");
}

TEST(RenderWireGuardConfig, OptionalLines_AppearInPlaceWhenSet) {
  TunnelProfile profile = MinimalProfile();
  profile.dns_csv = "1.1.1.1,8.8.8.8";
  profile.mtu = 1380;
  profile.pre_shared_key = "PSK";
  profile.endpoint_port = 443;
  profile.endpoint_host = "2001:db8::1";  // written in brackets, or the port could not be told
  EXPECT_EQ(RenderWireGuardConfig(profile),
            "[Interface]\n"
            "PrivateKey = PRIV\n"
            "Address = 10.8.0.2/32\n"
            "DNS = 1.1.1.1,8.8.8.8\n"
            "MTU = 1380\n"
            "\n"
            "[Peer]\n"
            "PublicKey = PUB\n"
            "PresharedKey = PSK\n"
            "AllowedIPs = 10.0.0.0/8\n"
            "Endpoint = [2001:db8::1]:443\n"
            "PersistentKeepalive = 25\n");
}

// The library refuses a key without a value: such a line is left out.
TEST(RenderWireGuardConfig, EmptyValuesAreLeftOutAndNegativeNumbersWrittenVerbatim) {
  TunnelProfile profile = MinimalProfile();
  profile.allowed_ips_csv.clear();
  profile.address_cidr.clear();
  profile.persistent_keepalive = -5;
  profile.mtu = -1;  // not greater than 0: no MTU line
  const std::string text = RenderWireGuardConfig(profile);
  EXPECT_EQ(text.find("AllowedIPs"), std::string::npos);
  EXPECT_EQ(text.find("Address"), std::string::npos);
  EXPECT_NE(text.find("\nPersistentKeepalive = -5\n"), std::string::npos);
  EXPECT_EQ(text.find("MTU"), std::string::npos);
  EXPECT_EQ(text.find('\r'), std::string::npos);
}

TEST(RenderWireGuardConfig, ProfileReadFromRequest_RendersWithoutMtuOrCarriageReturn) {
  TunnelProfile profile;
  std::string message;
  ASSERT_TRUE(ReadTunnelProfile(ConnectRequest(R"(,"dns_csv":"1.1.1.1, 9.9.9.9","allowed_ips_csv":"0.0.0.0/0")"),
                                &profile, &message));
  const std::string text = RenderWireGuardConfig(profile);
  EXPECT_NE(text.find("\nDNS = 1.1.1.1, 9.9.9.9\n"), std::string::npos);
  EXPECT_NE(text.find("\nEndpoint = vpn.example.test:51820\n"), std::string::npos);
  EXPECT_EQ(text.find("MTU"), std::string::npos);
  EXPECT_EQ(text.find('\r'), std::string::npos);
}

}  // namespace
}  // namespace quorvane
