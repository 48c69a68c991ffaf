// Read-only views of the IPv4 route table: summaries of default and host
// routes for the reports, and the check for a default route that a tunnel
// interface has taken.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace quorvane {

// "0.0.0.0/0->hop@ifN:name:metric=M" for every default route, ";"-joined in
// table order; "none" without one; "unavailable" when the table cannot be read.
std::string DefaultRoutesSummary();

// "address/32->hop@ifN" for every /32 route to each candidate that is an IPv4
// address (others are skipped), ";"-joined in candidate then table order;
// "none" and "unavailable" as above.
std::string HostRoutesSummary(const std::vector<std::string>& candidates);

// True when a default route lies on a tunnel interface; |route_text| (when
// given) then receives the first such route's text. False when the table is
// unreadable or empty.
bool HasTunnelDefaultRoute(std::string* route_text);

// True when a route on a tunnel interface covers one of |hosts| (IPv4 or IPv6
// texts; a table that cannot be read is passed over): safe mode keeps the
// administrators' peers outside the tunnel, and a route that takes one in is
// as bad as a default route. |route_text| (when given)
// then receives "dest/len->hop@ifN:name:metric=M covering <host>".
bool TunnelRouteCoversAny(const std::vector<std::string>& hosts, std::string* route_text);

// The interface's alias, else its description (UTF-8); "if<index>" when the
// interface cannot be queried.
std::string InterfaceName(uint32_t if_index);

// Whether the interface's name holds "wireguard", "wintun" or "tunnel" in any
// ASCII case.
bool IsTunnelInterface(uint32_t if_index);

}  // namespace quorvane
