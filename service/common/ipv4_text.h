// IPv4 addresses as dotted-decimal text, for addresses held the way Windows
// holds them (network byte order in memory: the first octet is the lowest byte).
#pragma once

#include <cstdint>
#include <string>

namespace quorvane {

// Exactly four decimal parts of 0..255, one to three digits each, no leading
// zero, nothing before or after: what InetPton accepts for AF_INET.
bool ParseIpv4(const std::string& text, uint32_t* address);

std::string Ipv4Text(uint32_t address);

}  // namespace quorvane
