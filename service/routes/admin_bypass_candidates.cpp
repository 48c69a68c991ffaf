#include "routes/admin_bypass_candidates.h"

#include <cstdio>
#include <map>
#include <algorithm>
#include <mutex>
#include <set>

#include "common/ascii_case.h"
#include "common/ipv4_text.h"
#include "platform/environment.h"
#include "platform/ip_routes.h"
#include "platform/sessions.h"
#include "common/safe_mode_settings.h"

namespace quorvane {
namespace {

constexpr uint16_t kRdpPort = 3389;
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

// An address of someone at the machine: a bypassable one, or with
// |local_too| any IPv4 address but 0.0.0.0 and loopback.
bool IsPeerAddress(const std::string& text, bool local_too) {
  if (!local_too) return IsBypassableAddress(text);
  platform::Ipv4Address address = 0;
  return platform::ParseIpv4Address(text, &address) && address != 0 && (address & 0xFF) != 127;
}

std::string SessionClient(uint32_t session_id, bool local_too) {
  platform::SessionClientAddress client;
  uint32_t error_code = 0;
  if (!platform::ReadSessionClientAddress(session_id, &client, &error_code) ||
      client.family != platform::kAddressFamilyInet) {
    return std::string();
  }
  // An IPv4 client address sits after two bytes of port in the address field.
  char text[22];
  std::snprintf(text, sizeof(text), "%u.%u.%u.%u", unsigned{client.address[2]}, unsigned{client.address[3]},
                unsigned{client.address[4]}, unsigned{client.address[5]});
  return IsPeerAddress(text, local_too) ? std::string(text) : std::string();
}

std::vector<std::string> SessionClientAddresses(bool local_too) {
  std::vector<std::string> addresses;
  const uint32_t console = platform::ActiveConsoleSessionId();
  if (console != platform::kNoConsoleSession) {
    const std::string address = SessionClient(console, local_too);
    if (!address.empty()) addresses.push_back(address);
  }
  std::vector<platform::SessionEntry> sessions;
  uint32_t error_code = 0;
  if (!platform::EnumerateSessions(&sessions, &error_code)) return addresses;
  for (const platform::SessionEntry& session : sessions) {
    if (session.state != platform::kSessionActive && session.state != platform::kSessionConnected) continue;
    const std::string address = SessionClient(session.session_id, local_too);
    if (!address.empty()) addresses.push_back(address);
  }
  return addresses;
}

// A peer of the Remote Desktop listener: a connection on local port 3389
// counts only when the process that listens on 3389 owns it. Any user may bind
// local port 3389 for a connection of their own, and would otherwise have the
// system account route any address of their choosing outside the tunnel.
std::vector<std::string> RdpPeers(bool local_too) {
  std::vector<platform::TcpConnection> connections;
  uint32_t error_code = 0;
  std::vector<std::string> addresses;
  if (!platform::ReadTcpConnections(&connections, &error_code)) return addresses;
  std::vector<uint32_t> listeners;
  for (const platform::TcpConnection& connection : connections) {
    if (connection.state == platform::kTcpStateListen && connection.local_port == kRdpPort) {
      listeners.push_back(connection.owning_pid);
    }
  }
  for (const platform::TcpConnection& connection : connections) {
    if (connection.state != platform::kTcpStateEstablished || connection.local_port != kRdpPort) continue;
    if (std::find(listeners.begin(), listeners.end(), connection.owning_pid) == listeners.end()) continue;
    const std::string remote = Ipv4Text(connection.remote_address);
    if (IsPeerAddress(remote, local_too)) addresses.push_back(remote);
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
  std::wstring value;
  const size_t length = platform::ReadProcessEnvironment(kSettingAdminBypass, kBypassFlagChars, &value);
  if (length > 0 && length < kBypassFlagChars) {
    const std::wstring lower = AsciiLower(value);
    if (lower == L"1" || lower == L"true" || lower == L"yes") return true;
    if (lower == L"0" || lower == L"false" || lower == L"no") return false;
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
