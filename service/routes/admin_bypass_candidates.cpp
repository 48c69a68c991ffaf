#include "routes/admin_bypass_candidates.h"

#include <algorithm>
#include <array>
#include <map>
#include <mutex>
#include <set>

#include "common/ascii_case.h"
#include "common/ip_prefix.h"
#include "common/remote_sessions.h"
#include "common/ipv4_text.h"
#include "platform/environment.h"
#include "platform/ip_routes.h"
#include "platform/pipes.h"
#include "platform/service_control.h"
#include "platform/sessions.h"
#include "common/safe_mode_settings.h"

namespace quorvane {
namespace {

constexpr wchar_t kRemoteDesktopService[] = L"TermService";
constexpr size_t kBypassFlagChars = 16;

struct LocalAddressCache {
  std::mutex lock;
  bool loaded = false;
  std::set<std::string> addresses;
};

LocalAddressCache& LocalAddresses() {
  static LocalAddressCache cache;
  return cache;
}

bool IsLocalPublicAddress(const std::string& text) {
  LocalAddressCache& cache = LocalAddresses();
  std::lock_guard<std::mutex> guard(cache.lock);
  if (!cache.loaded) {
    cache.loaded = true;
    std::vector<platform::Ipv4Address> addresses;
    uint32_t error_code = 0;
    if (platform::ReadAdapterIpv4Addresses(&addresses, &error_code)) {
      for (platform::Ipv4Address address : addresses) {
        const std::string own = Ipv4Text(address);
        if (IsBypassableAddress(own)) cache.addresses.insert(own);
      }
    }
  }
  return cache.addresses.count(text) != 0;
}

using CandidateMap = std::map<std::string, AdminBypassCandidate>;

void Offer(const std::string& ip, const char* source, bool required, CandidateMap* candidates) {
  if (!IsBypassableAddress(ip) || IsLocalPublicAddress(ip)) return;
  const auto existing = candidates->find(ip);
  if (existing != candidates->end()) {
    if (required) existing->second.required = true;
    return;
  }
  (*candidates)[ip] = AdminBypassCandidate{ip, source, required};
}

// An address of someone at the machine: a bypassable IPv4 one, or with
// |any_address| any IPv4 or IPv6 address but the unspecified and loopback ones.
bool IsPeerAddress(const std::string& text, bool any_address) {
  if (!any_address) return IsBypassableAddress(text);
  IpPrefix host;
  if (!ParseIpPrefix(text, &host) || text.find('/') != std::string::npos) return false;
  if (!host.v6) return host.bytes[0] != 127 && (host.bytes[0] | host.bytes[1] | host.bytes[2] | host.bytes[3]) != 0;
  const std::array<uint8_t, 16> loopback = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
  return host.bytes != std::array<uint8_t, 16>{} && host.bytes != loopback;
}

// An IPv6 address's text; one that maps an IPv4 address is that address.
std::string AddressText(const platform::Ipv6Address& address) {
  const platform::Ipv6Address prefix = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF};
  if (!std::equal(prefix.begin(), prefix.begin() + 12, address.begin())) return Ipv6Text(address);
  return std::to_string(address[12]) + "." + std::to_string(address[13]) + "." + std::to_string(address[14]) + "." +
         std::to_string(address[15]);
}

// A user is logged on in the session: Terminal Services hands out its token.
bool IsLoggedOn(uint32_t session_id) {
  std::wstring user;
  uint32_t error_code = 0;
  return platform::SessionUserSid(session_id, &user, &error_code) && !user.empty();
}

std::string SessionClient(uint32_t session_id, bool any_address) {
  platform::SessionClientAddress client;
  uint32_t error_code = 0;
  if (!platform::ReadSessionClientAddress(session_id, &client, &error_code)) return std::string();
  std::string text;
  if (client.family == platform::kAddressFamilyInet) {
    // An IPv4 client address sits after two bytes of port in the address field.
    text = std::to_string(client.address[2]) + "." + std::to_string(client.address[3]) + "." +
           std::to_string(client.address[4]) + "." + std::to_string(client.address[5]);
  } else if (client.family == platform::kAddressFamilyInet6) {
    platform::Ipv6Address address;
    std::copy(client.address, client.address + 16, address.begin());
    text = AddressText(address);
  }
  return IsPeerAddress(text, any_address) ? text : std::string();
}

// The client addresses of the active sessions that someone is logged on to.
// A session waiting at its logon screen is "connected", not active; what its
// client says of itself is an outsider's word.
std::vector<std::string> SessionClientAddresses(bool any_address) {
  std::vector<std::string> addresses;
  std::vector<platform::SessionEntry> sessions;
  uint32_t error_code = 0;
  if (!platform::EnumerateSessions(&sessions, &error_code)) return addresses;
  for (const platform::SessionEntry& session : sessions) {
    if (session.state != platform::kSessionActive || !IsLoggedOn(session.session_id)) continue;
    const std::string address = SessionClient(session.session_id, any_address);
    if (!address.empty()) addresses.push_back(address);
  }
  return addresses;
}

// The process of the Remote Desktop service while it runs, as the service
// manager tells it; 0 when it does not run or cannot be asked.
uint32_t RemoteDesktopProcessId() {
  platform::ScHandle manager;
  platform::ScHandle service;
  platform::ServiceStatus status;
  uint32_t error_code = 0;
  if (!platform::ScmOpenManager(platform::kScManagerConnect, &manager, &error_code) ||
      !platform::ScmOpenService(manager, kRemoteDesktopService, platform::kServiceQueryStatus, &service,
                                &error_code) ||
      !platform::ScmQueryStatus(service, &status, &error_code) || status.state != platform::kServiceRunning) {
    return 0;
  }
  return status.process_id;
}

bool HasRdpLogon() {
  for (uint32_t session_id : ActiveRdpSessions()) {
    if (IsLoggedOn(session_id)) return true;
  }
  return false;
}

// The remote ends of |connections| made to a port that |server| listens on.
template <typename Connection, typename Text>
void PeersOfServer(const std::vector<Connection>& connections, uint32_t server, bool any_address, Text text,
                   std::vector<std::string>* addresses) {
  std::set<uint16_t> ports;
  for (const Connection& connection : connections) {
    if (connection.state == platform::kTcpStateListen && connection.owning_pid == server) {
      ports.insert(connection.local_port);
    }
  }
  for (const Connection& connection : connections) {
    if (connection.state != platform::kTcpStateEstablished || connection.owning_pid != server ||
        ports.count(connection.local_port) == 0) {
      continue;
    }
    const std::string remote = text(connection.remote_address);
    if (IsPeerAddress(remote, any_address)) addresses->push_back(remote);
  }
}

// The peers of the Remote Desktop service: connections to a port that the
// service's own process listens on, while someone is logged on over Remote
// Desktop. Any user may bind port 3389 when the service is off, and anyone
// may connect before logging on; neither is someone administering the PC.
// With |any_address|, IPv6 peers too.
std::vector<std::string> RdpPeers(bool any_address) {
  std::vector<std::string> addresses;
  const uint32_t server = RemoteDesktopProcessId();
  if (server == 0 || !HasRdpLogon()) return addresses;
  std::vector<platform::TcpConnection> connections;
  uint32_t error_code = 0;
  if (platform::ReadTcpConnections(&connections, &error_code)) {
    PeersOfServer(connections, server, any_address, [](platform::Ipv4Address a) { return Ipv4Text(a); }, &addresses);
  }
  std::vector<platform::Tcp6Connection> connections6;
  if (any_address && platform::ReadTcp6Connections(&connections6, &error_code)) {
    PeersOfServer(connections6, server, any_address, AddressText, &addresses);
  }
  return addresses;
}

}  // namespace

std::vector<std::string> SplitBypassTokens(const std::string& text) {
  std::vector<std::string> tokens;
  std::string token;
  for (char c : text) {
    if (c == ',' || c == ';' || c == ' ' || c == '\t' || c == '\r' || c == '\n') {
      if (!token.empty()) tokens.push_back(token);
      token.clear();
    } else {
      token.push_back(c);
    }
  }
  if (!token.empty()) tokens.push_back(token);
  return tokens;
}

bool IsBypassableAddress(const std::string& text) {
  platform::Ipv4Address address = 0;
  if (!platform::ParseIpv4Address(text, &address)) return false;
  const uint32_t first = address & 0xFF;
  const uint32_t second = (address >> 8) & 0xFF;
  if (address == 0 || first == 127 || first == 10) return false;
  if (first == 172 && second >= 16 && second <= 31) return false;
  if (first == 192 && second == 168) return false;
  if (first == 169 && second == 254) return false;
  return true;
}

std::vector<std::string> LocalPublicAddresses() {
  IsLocalPublicAddress(std::string());  // fills the set on first use
  LocalAddressCache& cache = LocalAddresses();
  std::lock_guard<std::mutex> guard(cache.lock);
  return std::vector<std::string>(cache.addresses.begin(), cache.addresses.end());
}

void ResetLocalPublicAddresses() {
  LocalAddressCache& cache = LocalAddresses();
  std::lock_guard<std::mutex> guard(cache.lock);
  cache.loaded = false;
  cache.addresses.clear();
}

bool IsAdminBypassEnabled() {
  const std::string value = ReadSetting(kSettingAdminBypass);
  if (!value.empty() && value.size() < kBypassFlagChars) {
    const std::string lower = AsciiLower(value);
    if (lower == "1" || lower == "true" || lower == "yes") return true;
    if (lower == "0" || lower == "false" || lower == "no") return false;
  }
  return !ReadSetting(kSettingAdminBypassIp).empty() || !ReadSetting(kSettingAdminBypassIps).empty();
}

std::vector<std::string> ReadAdminEnvIps() {
  std::vector<std::string> tokens = SplitBypassTokens(ReadSetting(kSettingAdminBypassIp));
  for (std::string& token : SplitBypassTokens(ReadSetting(kSettingAdminBypassIps))) tokens.push_back(token);
  return tokens;
}

std::vector<std::string> ListRdpTcpRemoteAddresses() { return RdpPeers(false); }

std::string QuerySessionClientAddress(uint32_t session_id) { return SessionClient(session_id, false); }

std::vector<AdminBypassCandidate> CollectAdminBypassCandidates() {
  CandidateMap candidates;
  for (const std::string& ip : SplitBypassTokens(ReadSetting(kSettingAdminBypassIp))) {
    Offer(ip, kSourceAdminBypassIp, true, &candidates);
  }
  for (const std::string& ip : SplitBypassTokens(ReadSetting(kSettingAdminBypassIps))) {
    Offer(ip, kSourceAdminBypassIps, true, &candidates);
  }
  for (const std::string& ip : ListRdpTcpRemoteAddresses()) Offer(ip, kSourceRdpTcp, true, &candidates);
  for (const std::string& ip : SessionClientAddresses(false)) Offer(ip, kSourceWts, false, &candidates);

  std::vector<AdminBypassCandidate> sorted;
  for (const auto& [ip, candidate] : candidates) sorted.push_back(candidate);
  return sorted;
}

std::vector<AdminBypassCandidate> AdministrationPeers() {
  std::vector<AdminBypassCandidate> peers;
  const auto offer = [&peers](const std::string& ip, const char* source) {
    if (!IsPeerAddress(ip, true)) return;
    for (const AdminBypassCandidate& peer : peers) {
      if (peer.ip == ip) return;
    }
    peers.push_back({ip, source, true});
  };
  for (const std::string& ip : SplitBypassTokens(ReadSetting(kSettingAdminBypassIp))) offer(ip, kSourceAdminBypassIp);
  for (const std::string& ip : SplitBypassTokens(ReadSetting(kSettingAdminBypassIps))) offer(ip, kSourceAdminBypassIps);
  for (const std::string& ip : RdpPeers(true)) offer(ip, kSourceRdpTcp);
  for (const std::string& ip : SessionClientAddresses(true)) offer(ip, kSourceWts);
  return peers;
}

}  // namespace quorvane
