// Which remote addresses belong to the people administering the machine, so
// that they stay connected: addresses named in the environment, peers of the
// Remote Desktop service and the client addresses of logged-on sessions. IPv4
// ones get a host route around the tunnel; safe mode carves IPv4 and IPv6
// ones out of AllowedIPs.
#pragma once

#include <string>
#include <vector>

namespace quorvane {

constexpr char kSourceAdminBypassIp[] = "ADMIN_BYPASS_IP";
constexpr char kSourceAdminBypassIps[] = "ADMIN_BYPASS_IPS";
constexpr char kSourceRdpTcp[] = "RDP_TCP_ESTABLISHED";
constexpr char kSourceWts[] = "WTS";
constexpr char kSourceLegacy[] = "legacy";

struct AdminBypassCandidate {
  std::string ip;
  const char* source = "";  // one of the labels above
  bool required = false;
};

// Tokens of an address list: runs of bytes between commas, semicolons,
// spaces, tabs, carriage returns and line feeds; never empty.
std::vector<std::string> SplitBypassTokens(const std::string& text);

// An IPv4 address beyond the local networks: not 0.0.0.0, loopback, private
// (10/8, 172.16/12, 192.168/16) or link-local.
bool IsBypassableAddress(const std::string& text);

// The machine's own bypassable addresses, read once in the process's life on
// the first candidate offered.
std::vector<std::string> LocalPublicAddresses();
// Forgets them, so that the next offer reads the adapters again (tests only
// start each case as a new process would).
void ResetLocalPublicAddresses();

// "QUORVANE_POC_ADMIN_BYPASS" in force (read as the other settings are, so
// that the package's value works without a reboot) when it says yes or no;
// otherwise whether an address variable has a value.
bool IsAdminBypassEnabled();

// The raw tokens of "ADMIN_BYPASS_IP" then "ADMIN_BYPASS_IPS", as written.
std::vector<std::string> ReadAdminEnvIps();

// Bypassable IPv4 addresses of the Remote Desktop service's peers: its
// process (from the service manager) has the connection, on a port it listens
// on, while a user is logged on over Remote Desktop. In table order,
// duplicates kept; empty on any failure.
std::vector<std::string> ListRdpTcpRemoteAddresses();

// A session's IPv4 client address when it is bypassable; otherwise empty.
// Candidates take it only from active sessions that a user is logged on to.
std::string QuerySessionClientAddress(uint32_t session_id);

// The IPv4 and IPv6 addresses of everyone administering the machine, local
// networks included (safe mode keeps them out of the tunnel): the
// environment's, the Remote Desktop service's peers and the clients of active
// sessions that a user is logged on to, each once, in that order, with the
// first source seen; unspecified and loopback addresses left out.
std::vector<AdminBypassCandidate> AdministrationPeers();

// Every candidate once, sorted by address text; environment and RDP peers are
// required, session clients optional, and the first source seen is kept.
std::vector<AdminBypassCandidate> CollectAdminBypassCandidates();

}  // namespace quorvane
