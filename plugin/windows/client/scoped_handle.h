// Owns one kernel handle of the plugin and closes it on every path out.
#pragma once

#include <windows.h>

namespace quorvane_windows_vpn {

class ScopedHandle {
 public:
  explicit ScopedHandle(HANDLE handle) : handle_(handle) {}
  ScopedHandle(const ScopedHandle&) = delete;
  ScopedHandle& operator=(const ScopedHandle&) = delete;
  ~ScopedHandle() {
    if (valid()) CloseHandle(handle_);
  }
  // Windows answers a failed open with either of the two.
  bool valid() const { return handle_ != nullptr && handle_ != INVALID_HANDLE_VALUE; }
  HANDLE get() const { return handle_; }

 private:
  HANDLE handle_;
};

}  // namespace quorvane_windows_vpn
