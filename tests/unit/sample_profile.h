// A valid tunnel profile for tests that store or render one without looking
// at its fields.
#pragma once

#include <string>

#include "tunnel/tunnel_profile.h"

namespace quorvane {

inline TunnelProfile SampleProfile(const std::string& private_key = "key") {
  TunnelProfile profile;
  profile.node_id = "node-1";
  profile.client_private_key = private_key;
  profile.address_cidr = "10.8.0.2/32";
  profile.server_public_key = "server-key";
  profile.allowed_ips_csv = "0.0.0.0/0";
  profile.endpoint_host = "vpn.example";
  return profile;
}

}  // namespace quorvane
