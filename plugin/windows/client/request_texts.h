// The texts the plugin and QuorvaneVpnCtl exchange with the service, in plain
// C++: the requests, exactly as the service reads them, and what a reply
// says. No JSON library: requests are built, replies searched. The Flutter
// layer (ipc_messages) reads the channel's maps into these values.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace quorvane_windows_vpn {

// A connect's profile as Dart hands it over.
struct ConnectProfile {
  // The string-valued fields by their keys ("node_id", "client_private_key", ...).
  std::map<std::string, std::string> texts;
  // Set only when Dart sent an int that fits 32 bits.
  std::optional<int32_t> endpoint_port;
  // The lists' elements in order; an element that is not a string is empty
  // here but still counts for its position.
  std::vector<std::optional<std::string>> dns;
  std::vector<std::optional<std::string>> allowed_ips;
};

// What the service's reply says.
struct ServiceReply {
  std::string raw;
  bool ok = false;                   // the reply holds "ok":true
  std::optional<std::string> phase;  // when it has one
  // A status's place in the service's changes, for the next watch.
  std::optional<uint64_t> generation;
};

// Backslash before each quotation mark and backslash; nothing else changes.
std::string EscapeJsonText(const std::string& text);

std::string RegisterSessionRequest(const std::string& nonce);
std::string StatusRequest();
// Answered as status once the service's state moves past |since| (at once
// without one), or after the service's idle bound.
std::string WatchRequest(std::optional<uint64_t> since);
std::string DisconnectRequest(const std::string& reason);
std::string ConnectRequest(const std::string& nonce, const ConnectProfile& profile);

ServiceReply ParseServiceReply(const std::string& reply);

}  // namespace quorvane_windows_vpn
