#include "tunnel/tunnel_profile.h"

#include <utility>

#include "common/decimal_text.h"
#include "common/ip_prefix.h"
#include "common/json_text.h"

namespace quorvane {
namespace {

bool HasControlCharacter(const std::string& text) {
  for (char c : text) {
    const unsigned char byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte == 0x7F) return true;
  }
  return false;
}

// A WireGuard key as the library reads it: 32 bytes in base64, 44 characters
// with one "=" of padding.
bool IsWireGuardKey(const std::string& text) {
  if (text.size() != 44 || text.back() != '=') return false;
  for (size_t i = 0; i < 43; ++i) {
    const char c = text[i];
    const bool base64 = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '+' ||
                        c == '/';
    if (!base64) return false;
  }
  return true;
}

// The position (from 1) of the first entry of a non-empty list that is no
// address range, or 0. A message names the position, never the entry: the
// entry is a request value, which the service log must never hold.
size_t FirstBadRange(const std::string& list) {
  if (list.empty()) return 0;
  size_t position = 0;
  for (const std::string& entry : SplitList(list)) {
    ++position;
    IpPrefix prefix;
    if (!ParseIpPrefix(entry, &prefix)) return position;
  }
  return 0;
}

// What the WireGuard library's parser would refuse, said before anything is
// written: "" when the configuration will be accepted.
std::string LibraryRefusal(const TunnelProfile& profile) {
  const std::pair<const char*, const std::string*> written[] = {
      {"client_private_key", &profile.client_private_key}, {"address_cidr", &profile.address_cidr},
      {"dns_csv", &profile.dns_csv},                       {"server_public_key", &profile.server_public_key},
      {"pre_shared_key", &profile.pre_shared_key},         {"allowed_ips_csv", &profile.allowed_ips_csv},
      {"endpoint_host", &profile.endpoint_host},
  };
  for (const auto& [name, text] : written) {
    if (text->find('#') != std::string::npos) return std::string("invalid ") + name + ": '#' starts a comment there";
  }
  for (const auto& [name, key] : {std::make_pair("client_private_key", &profile.client_private_key),
                                  std::make_pair("server_public_key", &profile.server_public_key)}) {
    if (!IsWireGuardKey(*key)) return std::string("invalid ") + name + ": not a 32-byte base64 key";
  }
  if (!profile.pre_shared_key.empty() && !IsWireGuardKey(profile.pre_shared_key)) {
    return "invalid pre_shared_key: not a 32-byte base64 key";
  }
  const struct {
    const char* name;
    const std::string* list;
    size_t most;
    const char* what;
  } counted[] = {
      {"allowed_ips_csv", &profile.allowed_ips_csv, kMaxAllowedIpsEntries, "entries"},
      {"dns_csv", &profile.dns_csv, kMaxDnsServers, "servers"},
      {"address_cidr", &profile.address_cidr, kMaxTunnelAddresses, "addresses"},
  };
  for (const auto& c : counted) {
    if (SplitList(*c.list).size() > c.most) {
      return std::string("invalid ") + c.name + ": more than " + std::to_string(c.most) + " " + c.what;
    }
  }
  const size_t address = FirstBadRange(profile.address_cidr);
  if (address != 0) {
    return "invalid address_cidr: entry " + std::to_string(address) + " is not an address with a prefix length";
  }
  const size_t range = FirstBadRange(profile.allowed_ips_csv);
  if (range != 0) {
    return "invalid allowed_ips_csv: entry " + std::to_string(range) + " is not an address range";
  }
  return "";
}

}  // namespace

bool ReadEndpointPort(const std::string& request, int32_t* port) {
  const std::string text = ReadJsonString(request, "endpoint_port");
  if (text.empty()) {
    *port = kDefaultEndpointPort;
    return true;
  }
  int32_t value = 0;
  if (!ParseLeadingInt32(text, &value) || value < 1 || value > 65535) return false;
  *port = value;
  return true;
}

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
    *message = kMissingRequiredFieldsMessage;
    return false;
  }
  if (!port_ok) {
    *message = kInvalidEndpointPortMessage;
    return false;
  }
  if (!UnsafeProfileFields(*profile).empty()) {
    *message = kProfileControlCharacterMessage;
    return false;
  }
  *message = LibraryRefusal(*profile);
  return message->empty();
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
  // The library refuses a line without a value ("Key must have a value"), so
  // an empty one is left out.
  const auto line = [](const char* key, const std::string& value) {
    return value.empty() ? std::string() : std::string(key) + " = " + value + "\n";
  };
  std::string text = "[Interface]\n";
  text += line("PrivateKey", profile.client_private_key);
  text += line("Address", profile.address_cidr);
  text += line("DNS", profile.dns_csv);
  if (profile.mtu > 0) text += "MTU = " + std::to_string(profile.mtu) + "\n";
  text += "\n[Peer]\n";
  text += line("PublicKey", profile.server_public_key);
  text += line("PresharedKey", profile.pre_shared_key);
  text += line("AllowedIPs", profile.allowed_ips_csv);
  // An IPv6 host goes in brackets, or the port could not be told from it.
  const bool bare_ipv6 = profile.endpoint_host.find(':') != std::string::npos && profile.endpoint_host.front() != '[';
  const std::string host = bare_ipv6 ? "[" + profile.endpoint_host + "]" : profile.endpoint_host;
  if (!host.empty()) text += "Endpoint = " + host + ":" + std::to_string(profile.endpoint_port) + "\n";
  text += "PersistentKeepalive = " + std::to_string(profile.persistent_keepalive) + "\n";
  return text;
}

}  // namespace quorvane
