// The admin bypass around a connect: before the tunnel, decide whether it
// applies, collect the addresses, find the physical gateway and add and verify
// the host routes; after the tunnel, check them again and re-add lost ones; on
// disconnect or failure, remove them. Every step's outcome is one record,
// published process-wide and reported as "admin_bypass".
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace quorvane {

struct AdminBypassState {
  bool enabled = false;
  bool attempted = false;
  bool applied = false;
  bool routes_ready_before_tunnel = false;
  bool route_readded_after_tunnel = false;
  bool required_enforced = false;
  bool skipped_for_safe_mode = false;
  std::string client_ip;
  std::string gateway;
  std::string message;
  std::string failure_reason;
  std::string rdp_tcp_remote_addresses;    // JSON array
  std::string admin_env_ips;               // JSON array
  std::string selected_admin_bypass_ips;   // JSON array
  std::string selected_bypass_ip_entries;  // JSON array of candidate objects
  std::string physical_default_gateway_before_tunnel;
  std::string physical_interface_index_before_tunnel;
  std::string route_add_results;
  std::string route_add_results_detail;  // JSON array of route results
  std::string route_verify_before_tunnel;
  std::string route_verify_after_tunnel;
  // Each move of the routes to a new physical gateway while the tunnel ran:
  // "192.0.2.1@if7->198.51.100.1@if9:ok;" (or ":failed;" when a required
  // route did not verify on the new gateway).
  std::string route_moves;
  int32_t auto_stop_seconds = 0;
};

// Before the tunnel. The connect may go on when |safe_mode| is set, the
// bypass is not enabled, or routes_ready_before_tunnel is true.
AdminBypassState PrepareAdminBypass(bool safe_mode);
// After the tunnel started (not in safe mode): enabled and not applied means
// the routes were lost and the connect must be undone.
AdminBypassState ConfirmAdminBypassAfterTunnel();
// Removes the routes this service created.
AdminBypassState ReleaseAdminBypass();
// While the bypass routes stand: when the physical default gateway or its
// interface changed (a Wi-Fi roam, a DHCP renewal, a dock), deletes each
// route and adds it again through the new gateway, journalled as ever, and
// publishes what moved. True, with |moved| saying so, when it moved them.
bool FollowPhysicalGateway(std::string* moved);

AdminBypassState CurrentAdminBypassState();
std::vector<std::string> CopySelectedBypassIps();

// The "admin_bypass" member, no leading comma. Empty texts and lists are left
// out, unless |every_key|.
std::string WriteAdminBypassJson(const AdminBypassState& state, bool every_key = false);

// What a user who is not an administrator may read: the flags, the number
// and the message, with the addresses, gateway, peers and route texts empty
// (written with every key).
AdminBypassState WithoutAddresses(AdminBypassState state);
// "[Quorvane][admin_bypass] enabled=1 applied=0 failure=..." to the debugger
// and standard error.
void LogAdminBypassState(const AdminBypassState& state);

// Back to a new process's records, touching no route (tests only).
void ResetAdminBypassRecords();

}  // namespace quorvane
