// The VPN profile received with a connect request, and the WireGuard
// configuration text made from it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace quorvane {

constexpr int32_t kDefaultEndpointPort = 51820;

// The fixed messages of the "invalid_profile" replies that reading makes.
constexpr char kMissingRequiredFieldsMessage[] = "missing required fields";
constexpr char kInvalidEndpointPortMessage[] = "invalid endpoint_port";
constexpr char kProfileControlCharacterMessage[] = "profile field contains a control character";

// A profile holds at most this many AllowedIPs entries, DNS servers and
// tunnel addresses: far more than a real one (a split tunnel of a few dozen
// ranges), and few enough that a connect's reply stays small.
constexpr size_t kMaxAllowedIpsEntries = 256;
constexpr size_t kMaxDnsServers = 16;
constexpr size_t kMaxTunnelAddresses = 16;

// The "endpoint_port" of a connect request: kDefaultEndpointPort when absent or empty,
// otherwise the leading decimal number of the text ("443abc" is 443). Returns
// false when that is not a UDP port: no leading digits, beyond 32 bits, or
// outside 1..65535.
bool ReadEndpointPort(const std::string& request, int32_t* port);



// Text fields hold exactly what the request carried: no trimming, no case change.
struct TunnelProfile {
  std::string node_id;
  std::string device_id;
  std::string address_cidr;
  std::string endpoint_host;
  int32_t endpoint_port = 51820;
  std::string server_public_key;
  std::string client_private_key;
  std::string client_public_key;
  std::string pre_shared_key;
  std::string dns_csv;
  std::string allowed_ips_csv;
  int32_t persistent_keepalive = 25;
  int32_t mtu = 0;  // 0: no MTU line; never set from a request.
  std::string display_name;
};

// Fills |profile| from a request text and checks that it can make a usable
// configuration. The profile is filled in full either way. On failure |message|
// is the "invalid_profile" reply message, checked in this order: a required
// field ("node_id", "client_private_key") empty, an "endpoint_port" that is not
// a UDP port, a configuration value holding a control character, then what the
// WireGuard library would refuse: a '#' (it starts a comment), a key that is
// not 32 bytes of base64 (the server's is required too), an address or
// allowed range that does not parse. The message names the field.
bool ReadTunnelProfile(const std::string& request, TunnelProfile* profile, std::string* message);

// The names of the fields whose text goes into the configuration and holds a
// byte below 0x20 or 0x7F (a line break there would add lines to the file that
// the tunnel service executes), in configuration order; empty when all are safe.
std::vector<std::string> UnsafeProfileFields(const TunnelProfile& profile);

// The WireGuard configuration text: LF line ends, a line only when its value
// is not empty, an IPv6 endpoint host in brackets.
std::string RenderWireGuardConfig(const TunnelProfile& profile);

}  // namespace quorvane
