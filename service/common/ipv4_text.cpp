#include "common/ipv4_text.h"

namespace quorvane {

std::string Ipv4Text(uint32_t address) {
  return std::to_string(address & 0xFF) + "." + std::to_string((address >> 8) & 0xFF) + "." +
         std::to_string((address >> 16) & 0xFF) + "." + std::to_string((address >> 24) & 0xFF);
}

}  // namespace quorvane
