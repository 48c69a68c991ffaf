// Security descriptors made of allow entries, for files, directories and pipes.
#pragma once

#include <windows.h>

#include <vector>

#include "platform/files.h"

namespace platform::win32 {

// Owner of memory that Windows allocated with LocalAlloc.
class LocalMemory {
 public:
  LocalMemory() = default;
  LocalMemory(const LocalMemory&) = delete;
  LocalMemory& operator=(const LocalMemory&) = delete;
  ~LocalMemory() { LocalFree(memory_); }
  void** receive() {
    LocalFree(memory_);
    memory_ = nullptr;
    return &memory_;
  }
  void* get() const { return memory_; }

 private:
  void* memory_ = nullptr;
};

// An absolute security descriptor whose DACL holds exactly the given
// set-access entries, in order, with the DACL marked protected so that no
// inherited entry joins it.
struct ProtectedDescriptor {
  LocalMemory acl;
  SECURITY_DESCRIPTOR descriptor{};
  ACL* dacl() const { return static_cast<ACL*>(acl.get()); }
};

bool BuildProtectedDescriptor(const std::vector<AccessGrant>& grants, ProtectedDescriptor* built,
                              uint32_t* error_code);

}  // namespace platform::win32
