// Windows' tables (routes, TCP connections, adapters) are read with a size
// query, then a fill into a buffer of the size it reported. A row that
// appears in between, as when a tunnel adds its routes, makes the fill fail
// with "too small" and the new size; Microsoft's documentation asks callers to
// try again. Both implementations of the seam read their tables through this.
#pragma once

#include <cstdint>
#include <vector>

namespace platform {

// Fills after the size query: the first and three more.
constexpr int kSizedReadFills = 4;
// Room for this many elements more than asked, so that a table that grows a
// little between the calls fits at once.
constexpr size_t kSizedReadSlack = 4;

// |call|(buffer, &size) is the API: with a null buffer it must answer
// |too_small| and the size in bytes; with a buffer of |size| bytes it fills it
// (0) or answers |too_small| and the size now needed. Elements keep the
// buffer aligned for the structures the API lays out in it.
template <typename Element, typename Call>
bool ReadSized(Call call, uint32_t too_small, std::vector<Element>* buffer, uint32_t* error_code) {
  uint32_t size = 0;
  uint32_t result = call(nullptr, &size);
  if (result != too_small) {
    *error_code = result;
    return false;
  }
  for (int fill = 0; fill < kSizedReadFills; ++fill) {
    buffer->assign(size / sizeof(Element) + 1 + kSizedReadSlack, Element{});
    size = static_cast<uint32_t>(buffer->size() * sizeof(Element));
    result = call(buffer->data(), &size);
    if (result == 0) return true;
    if (result != too_small) {
      *error_code = result;
      return false;
    }
  }
  *error_code = too_small;
  return false;
}

}  // namespace platform
