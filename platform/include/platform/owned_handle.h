// Owner of an operating-system handle held as a number: move-only, and closed
// by |Close| when it goes, on every path. Zero means "no handle".
#pragma once

#include <cstdint>

namespace platform {

template <void (*Close)(uintptr_t)>
class OwnedHandle {
 public:
  OwnedHandle() = default;
  explicit OwnedHandle(uintptr_t value) : value_(value) {}
  OwnedHandle(const OwnedHandle&) = delete;
  OwnedHandle& operator=(const OwnedHandle&) = delete;
  OwnedHandle(OwnedHandle&& other) noexcept : value_(other.Release()) {}
  OwnedHandle& operator=(OwnedHandle&& other) noexcept {
    if (this != &other) {
      Reset();
      value_ = other.Release();
    }
    return *this;
  }
  ~OwnedHandle() { Reset(); }

  uintptr_t get() const { return value_; }
  bool valid() const { return value_ != 0; }
  uintptr_t Release() {
    const uintptr_t value = value_;
    value_ = 0;
    return value;
  }
  void Reset() {
    if (value_ != 0) Close(value_);
    value_ = 0;
  }

 private:
  uintptr_t value_ = 0;
};

}  // namespace platform
