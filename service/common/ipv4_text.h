// IPv4 addresses as dotted-decimal text, for addresses held the way Windows
// holds them (network byte order in memory: the first octet is the lowest byte).
// Reading text is the system's conversion (platform::ParseIpv4Address).
#pragma once

#include <cstdint>
#include <string>

namespace quorvane {

std::string Ipv4Text(uint32_t address);

}  // namespace quorvane
