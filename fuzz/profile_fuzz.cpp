// Profile reading, the unsafe-field check and the configuration text: when no
// field is unsafe, the text holds exactly the lines the renderer writes, in
// its order, so no request can add a line of its own.
#include <cstdint>
#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include "tunnel/tunnel_profile.h"

namespace {

// A line is written only for a value that is set.
std::vector<std::string> ExpectedPrefixes(const quorvane::TunnelProfile& profile) {
  std::vector<std::string> prefixes = {"[Interface]"};
  const auto add = [&prefixes](bool set, const char* prefix) {
    if (set) prefixes.push_back(prefix);
  };
  add(!profile.client_private_key.empty(), "PrivateKey = ");
  add(!profile.address_cidr.empty(), "Address = ");
  add(!profile.dns_csv.empty(), "DNS = ");
  add(profile.mtu > 0, "MTU = ");
  prefixes.insert(prefixes.end(), {"", "[Peer]"});
  add(!profile.server_public_key.empty(), "PublicKey = ");
  add(!profile.pre_shared_key.empty(), "PresharedKey = ");
  add(!profile.allowed_ips_csv.empty(), "AllowedIPs = ");
  add(!profile.endpoint_host.empty(), "Endpoint = ");
  prefixes.push_back("PersistentKeepalive = ");
  return prefixes;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string request(reinterpret_cast<const char*>(data), size);
  quorvane::TunnelProfile profile;
  std::string message;
  const bool accepted = quorvane::ReadTunnelProfile(request, &profile, &message);
  const bool safe = quorvane::UnsafeProfileFields(profile).empty();
  if (accepted && !safe) std::abort();  // an accepted profile is always safe
  if (!safe) return 0;

  const std::string text = quorvane::RenderWireGuardConfig(profile);
  if (text.empty() || text.back() != '\n') std::abort();
  const std::vector<std::string> prefixes = ExpectedPrefixes(profile);
  std::istringstream lines(text);
  std::string line;
  size_t index = 0;
  while (std::getline(lines, line)) {
    if (index >= prefixes.size() || line.compare(0, prefixes[index].size(), prefixes[index]) != 0) std::abort();
    if ((prefixes[index].empty() || prefixes[index][0] == '[') && line != prefixes[index]) std::abort();
    ++index;
  }
  if (index != prefixes.size()) std::abort();
  // What is accepted is what the tunnel library reads as written: no comment.
  if (accepted && text.find('#') != std::string::npos) std::abort();
  return 0;
}
