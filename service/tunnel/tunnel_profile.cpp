#include "tunnel/tunnel_profile.h"

#include <utility>

#include "control/pipe_protocol.h"

namespace quorvane {
namespace {

bool HasControlCharacter(const std::string& text) {
  for (char c : text) {
    const unsigned char byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte == 0x7F) return true;
  }
  return false;
}

}  // namespace

bool ReadTunnelProfile(const std::string& request, TunnelProfile* profile, std::string* message) {
  *profile = TunnelProfile();
  profile->node_id = ReadJsonString(request, "node_id");
  profile->device_id = ReadJsonString(request, "device_id");
  profile->address_cidr = ReadJsonString(request, "address_cidr");
  profile->endpoint_host = ReadJsonString(request, "endpoint_host");
  profile->server_public_key = ReadJsonString(request, "server_public_key");
  profile->client_private_key = ReadJsonString(request, "client_private_key");
  profile->client_public_key = ReadJsonString(request, "client_public_key");
  profile->pre_shared_key = ReadJsonString(request, "pre_shared_key");
  profile->dns_csv = ReadJsonString(request, "dns_csv");
  profile->allowed_ips_csv = ReadJsonString(request, "allowed_ips_csv");
  profile->display_name = ReadJsonString(request, "display_name");
  const bool port_ok = ReadEndpointPort(request, &profile->endpoint_port);

  if (profile->node_id.empty() || profile->client_private_key.empty()) {
    *message = kMissingRequiredFields.message;
    return false;
  }
  if (!port_ok) {
    *message = kInvalidEndpointPort.message;
    return false;
  }
  if (!UnsafeProfileFields(*profile).empty()) {
    *message = kProfileControlCharacter.message;
    return false;
  }
  return true;
}

std::vector<std::string> UnsafeProfileFields(const TunnelProfile& profile) {
  const std::pair<const char*, const std::string*> fields[] = {
      {"client_private_key", &profile.client_private_key}, {"address_cidr", &profile.address_cidr},
      {"dns_csv", &profile.dns_csv},                       {"server_public_key", &profile.server_public_key},
      {"pre_shared_key", &profile.pre_shared_key},         {"allowed_ips_csv", &profile.allowed_ips_csv},
      {"endpoint_host", &profile.endpoint_host},
  };
  std::vector<std::string> unsafe;
  for (const auto& [name, text] : fields) {
    if (HasControlCharacter(*text)) unsafe.emplace_back(name);
  }
  return unsafe;
}

std::string RenderWireGuardConfig(const TunnelProfile& profile) {
  std::string text = "[Interface]\n";
  text += "PrivateKey = " + profile.client_private_key + "\n";
  text += "Address = " + profile.address_cidr + "\n";
  if (!profile.dns_csv.empty()) text += "DNS = " + profile.dns_csv + "\n";
  if (profile.mtu > 0) text += "MTU = " + std::to_string(profile.mtu) + "\n";
  text += "\n[Peer]\n";
  text += "PublicKey = " + profile.server_public_key + "\n";
  if (!profile.pre_shared_key.empty()) text += "PresharedKey = " + profile.pre_shared_key + "\n";
  text += "AllowedIPs = " + profile.allowed_ips_csv + "\n";
  text += "Endpoint = " + profile.endpoint_host + ":" + std::to_string(profile.endpoint_port) + "\n";
  text += "PersistentKeepalive = " + std::to_string(profile.persistent_keepalive) + "\n";
  return text;
}

}  // namespace quorvane
