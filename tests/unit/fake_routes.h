// Route rows for the fake route table, written with dotted-quad texts.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "platform/ip_routes.h"

namespace quorvane {

inline platform::Ipv4Address Ip(const std::string& text) {
  platform::Ipv4Address address = 0;
  EXPECT_TRUE(platform::ParseIpv4Address(text, &address)) << text;
  return address;
}

inline platform::ForwardRow Route(const std::string& destination, const std::string& mask,
                                  const std::string& next_hop, uint32_t if_index, uint32_t metric1 = 0) {
  platform::ForwardRow row;
  row.destination = Ip(destination);
  row.mask = Ip(mask);
  row.next_hop = Ip(next_hop);
  row.if_index = if_index;
  row.metric1 = metric1;
  return row;
}

inline platform::ForwardRow HostRoute(const std::string& ip, const std::string& next_hop, uint32_t if_index,
                                      uint32_t metric1) {
  return Route(ip, "255.255.255.255", next_hop, if_index, metric1);
}

}  // namespace quorvane
