#include "common/ipv4_text.h"

namespace quorvane {

bool ParseIpv4(const std::string& text, uint32_t* address) {
  uint32_t result = 0;
  size_t at = 0;
  for (int part = 0; part < 4; ++part) {
    if (part > 0) {
      if (at >= text.size() || text[at] != '.') return false;
      ++at;
    }
    const size_t start = at;
    uint32_t value = 0;
    while (at < text.size() && at - start < 4 && text[at] >= '0' && text[at] <= '9') {
      value = value * 10 + static_cast<uint32_t>(text[at] - '0');
      ++at;
    }
    const size_t digits = at - start;
    if (digits == 0 || digits > 3 || value > 255 || (digits > 1 && text[start] == '0')) return false;
    result |= value << (8 * part);
  }
  if (at != text.size()) return false;
  *address = result;
  return true;
}

std::string Ipv4Text(uint32_t address) {
  return std::to_string(address & 0xFF) + "." + std::to_string((address >> 8) & 0xFF) + "." +
         std::to_string((address >> 16) & 0xFF) + "." + std::to_string((address >> 24) & 0xFF);
}

}  // namespace quorvane
