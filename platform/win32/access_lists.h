// Security descriptors made of allow entries, for files, directories and pipes.
#pragma once

#include <windows.h>

#include <string>
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

// An absolute security descriptor whose DACL (present, not defaulted) holds
// exactly the given set-access entries, in order.
struct BuiltDescriptor {
  LocalMemory acl;
  LocalMemory owner;  // none: the creator's default owner
  SECURITY_DESCRIPTOR descriptor{};
  ACL* dacl() const { return static_cast<ACL*>(acl.get()); }
};

// |protect|: the DACL is marked protected, so that no inherited entry joins it.
// |owner_sid|: an explicit owner (empty: none).
bool MakeSecurityDescriptor(const std::vector<AccessGrant>& grants, bool protect, BuiltDescriptor* built,
                            uint32_t* error_code, const std::wstring& owner_sid = L"");

// The SID's text ("S-1-5-18"); empty for none, or one that cannot be converted.
std::wstring SidText(PSID sid);

// The SID text of the user of |token| (opened with TOKEN_QUERY).
bool TokenUserSid(HANDLE token, std::wstring* sid, uint32_t* error_code);

}  // namespace platform::win32
