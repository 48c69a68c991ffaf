#include "routes/route_table.h"

#include "common/ip_prefix.h"

#include "common/ascii_case.h"
#include "common/ipv4_text.h"
#include "common/wide_text.h"
#include "platform/ip_routes.h"

namespace quorvane {
namespace {

constexpr char kNone[] = "none";
constexpr char kUnavailable[] = "unavailable";

bool IsDefaultRoute(const platform::ForwardRow& row) { return row.destination == 0 && row.mask == 0; }

std::string DefaultRouteText(const platform::ForwardRow& row) {
  return "0.0.0.0/0->" + Ipv4Text(row.next_hop) + "@if" + std::to_string(row.if_index) + ":" +
         InterfaceName(row.if_index) + ":metric=" + std::to_string(row.metric1);
}

int MaskLength(platform::Ipv4Address mask) {
  int length = 0;
  for (; mask != 0; mask &= mask - 1) ++length;
  return length;
}

void AppendJoined(const std::string& text, std::string* joined) {
  if (!joined->empty()) *joined += ";";
  *joined += text;
}

}  // namespace

std::string InterfaceName(uint32_t if_index) {
  platform::InterfaceEntry entry;
  uint32_t error_code = 0;
  if (!platform::ReadInterfaceEntry(if_index, &entry, &error_code)) return "if" + std::to_string(if_index);
  return WideToUtf8(entry.alias.empty() ? entry.description : entry.alias);
}

// The WireGuard tunnel library names its adapter after the tunnel ("active",
// from the configuration's file name) and says what it is in the description,
// so both count; an interface that cannot be read is judged by "if<index>".
bool IsTunnelInterface(uint32_t if_index) {
  platform::InterfaceEntry entry;
  uint32_t error_code = 0;
  std::vector<std::string> names;
  if (platform::ReadInterfaceEntry(if_index, &entry, &error_code)) {
    names = {AsciiLower(WideToUtf8(entry.alias)), AsciiLower(WideToUtf8(entry.description))};
  } else {
    names = {"if" + std::to_string(if_index)};
  }
  for (const std::string& name : names) {
    for (const char* word : {"wireguard", "wintun", "tunnel"}) {
      if (name.find(word) != std::string::npos) return true;
    }
  }
  return false;
}

std::string DefaultRoutesSummary() {
  std::vector<platform::ForwardRow> rows;
  uint32_t error_code = 0;
  if (!platform::ReadIpForwardTable(&rows, &error_code)) return kUnavailable;
  std::string summary;
  for (const platform::ForwardRow& row : rows) {
    if (IsDefaultRoute(row)) AppendJoined(DefaultRouteText(row), &summary);
  }
  return summary.empty() ? kNone : summary;
}

std::string HostRoutesSummary(const std::vector<std::string>& candidates) {
  std::vector<platform::ForwardRow> rows;
  uint32_t error_code = 0;
  if (!platform::ReadIpForwardTable(&rows, &error_code)) return kUnavailable;
  constexpr uint32_t kHostMask = 0xFFFFFFFF;
  std::string summary;
  for (const std::string& candidate : candidates) {
    uint32_t address = 0;
    if (!platform::ParseIpv4Address(candidate, &address)) continue;
    for (const platform::ForwardRow& row : rows) {
      if (row.destination != address || row.mask != kHostMask) continue;
      AppendJoined(candidate + "/32->" + Ipv4Text(row.next_hop) + "@if" + std::to_string(row.if_index), &summary);
    }
  }
  return summary.empty() ? kNone : summary;
}

bool HasTunnelDefaultRoute(std::string* route_text) {
  std::vector<platform::ForwardRow> rows;
  uint32_t error_code = 0;
  if (!platform::ReadIpForwardTable(&rows, &error_code)) return false;
  for (const platform::ForwardRow& row : rows) {
    if (!IsDefaultRoute(row) || !IsTunnelInterface(row.if_index)) continue;
    if (route_text != nullptr) *route_text = DefaultRouteText(row);
    return true;
  }
  // 0.0.0.0/1 and 128.0.0.0/1 on one tunnel interface take everything too,
  // without a default route.
  // In memory the first octet is the lowest byte: 128.0.0.0 is 0x80.
  constexpr platform::Ipv4Address kHalfMask = 0x80;
  constexpr platform::Ipv4Address kUpperHalf = 0x80;
  for (const platform::ForwardRow& low : rows) {
    if (low.destination != 0 || low.mask != kHalfMask || !IsTunnelInterface(low.if_index)) continue;
    for (const platform::ForwardRow& high : rows) {
      if (high.destination != kUpperHalf || high.mask != kHalfMask || high.if_index != low.if_index) continue;
      if (route_text != nullptr) {
        *route_text = "0.0.0.0/1+128.0.0.0/1->" + Ipv4Text(low.next_hop) + "@if" + std::to_string(low.if_index) +
                      ":" + InterfaceName(low.if_index) + ":metric=" + std::to_string(low.metric1);
      }
      return true;
    }
  }
  return false;
}

namespace {

// The first tunnel route of the IPv6 table that holds |host|. Every interface
// has its own link-local routes, the tunnel's too; they carry no peer.
bool Ipv6TunnelRouteCovers(const std::vector<platform::Ipv6ForwardRow>& rows, const IpPrefix& host,
                           std::string* route_text) {
  IpPrefix link_local;
  ParseIpPrefix("fe80::/10", &link_local);
  for (const platform::Ipv6ForwardRow& row : rows) {
    IpPrefix route;
    route.v6 = true;
    route.bytes = row.destination;
    route.length = row.prefix_length;
    if (PrefixContains(link_local, route) || !PrefixContains(route, host) || !IsTunnelInterface(row.if_index)) {
      continue;
    }
    if (route_text != nullptr) {
      *route_text = IpPrefixText(route) + "->" + Ipv6Text(row.next_hop) + "@if" + std::to_string(row.if_index) +
                    ":" + InterfaceName(row.if_index) + ":metric=" + std::to_string(row.metric);
    }
    return true;
  }
  return false;
}

}  // namespace

bool TunnelRouteCoversAny(const std::vector<std::string>& hosts, std::string* route_text) {
  if (hosts.empty()) return false;
  std::vector<platform::ForwardRow> rows;
  std::vector<platform::Ipv6ForwardRow> rows6;
  uint32_t error_code = 0;
  const bool have_v4 = platform::ReadIpForwardTable(&rows, &error_code);
  const bool have_v6 = platform::ReadIpv6ForwardTable(&rows6, &error_code);
  for (const std::string& host : hosts) {
    IpPrefix parsed;
    if (!ParseIpPrefix(host, &parsed)) continue;
    if (parsed.v6) {
      if (have_v6 && Ipv6TunnelRouteCovers(rows6, parsed, route_text)) {
        if (route_text != nullptr) *route_text += " covering " + host;
        return true;
      }
      continue;
    }
    platform::Ipv4Address address = 0;
    if (!have_v4 || !platform::ParseIpv4Address(host, &address)) continue;
    for (const platform::ForwardRow& row : rows) {
      // Both in network order: the mask picks the same bytes of each.
      if ((address & row.mask) != row.destination || !IsTunnelInterface(row.if_index)) continue;
      if (route_text != nullptr) {
        *route_text = Ipv4Text(row.destination) + "/" + std::to_string(MaskLength(row.mask)) + "->" +
                      Ipv4Text(row.next_hop) + "@if" + std::to_string(row.if_index) + ":" +
                      InterfaceName(row.if_index) + ":metric=" + std::to_string(row.metric1) + " covering " + host;
      }
      return true;
    }
  }
  return false;
}

}  // namespace quorvane
