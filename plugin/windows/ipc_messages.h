// The IPC channel's Flutter side of the request texts: the channel's maps read
// into the plain values of request_texts, and a reply made into the map the
// channel answers.
#pragma once

#include <flutter/encodable_value.h>

#include <cstdint>
#include <optional>
#include <string>

#include "request_texts.h"

namespace quorvane_windows_vpn {

// The map's string value under |key|; empty when absent or not a string.
std::string MapString(const flutter::EncodableMap& map, const char* key);

// The map's non-negative integer under |key| (Dart's int arrives as a 32- or
// 64-bit value); none when absent, negative or not an integer.
std::optional<uint64_t> MapCount(const flutter::EncodableMap& map, const char* key);

// The profile map as Dart sends it.
ConnectProfile ProfileFromMap(const flutter::EncodableMap& profile);

// "raw", "ok" and, when the reply had one, "phase".
flutter::EncodableMap ReplyToMap(const ServiceReply& reply);

}  // namespace quorvane_windows_vpn
