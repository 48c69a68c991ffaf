#include "access_lists.h"

#include <aclapi.h>
#include <sddl.h>

#include <memory>
#include <vector>

namespace platform::win32 {

bool MakeSecurityDescriptor(const std::vector<AccessGrant>& grants, bool protect, BuiltDescriptor* built,
                            uint32_t* error_code, const std::wstring& owner_sid) {
  // The SIDs must outlive SetEntriesInAclW, which copies them into the ACL.
  std::vector<std::unique_ptr<LocalMemory>> sids;
  std::vector<EXPLICIT_ACCESSW> entries(grants.size());
  for (size_t i = 0; i < grants.size(); ++i) {
    sids.push_back(std::make_unique<LocalMemory>());
    if (!ConvertStringSidToSidW(grants[i].trustee_sid.c_str(), sids.back()->receive())) {
      *error_code = GetLastError();
      return false;
    }
    EXPLICIT_ACCESSW& entry = entries[i];
    entry.grfAccessPermissions = grants[i].access_mask;
    entry.grfAccessMode = SET_ACCESS;
    entry.grfInheritance = grants[i].inheritance;
    entry.Trustee.TrusteeForm = TRUSTEE_IS_SID;
    entry.Trustee.TrusteeType = TRUSTEE_IS_USER;
    entry.Trustee.ptstrName = static_cast<LPWSTR>(sids.back()->get());
  }
  const DWORD status = SetEntriesInAclW(static_cast<ULONG>(entries.size()), entries.data(), nullptr,
                                        reinterpret_cast<PACL*>(built->acl.receive()));
  if (status != ERROR_SUCCESS) {
    *error_code = status;
    return false;
  }
  if (!InitializeSecurityDescriptor(&built->descriptor, SECURITY_DESCRIPTOR_REVISION) ||
      !SetSecurityDescriptorDacl(&built->descriptor, TRUE, built->dacl(), FALSE) ||
      (protect && !SetSecurityDescriptorControl(&built->descriptor, SE_DACL_PROTECTED, SE_DACL_PROTECTED))) {
    *error_code = GetLastError();
    return false;
  }
  if (owner_sid.empty()) return true;
  if (!ConvertStringSidToSidW(owner_sid.c_str(), built->owner.receive()) ||
      !SetSecurityDescriptorOwner(&built->descriptor, built->owner.get(), FALSE)) {
    *error_code = GetLastError();
    return false;
  }
  return true;
}

std::wstring SidText(PSID sid) {
  LocalMemory text;
  if (sid == nullptr || !ConvertSidToStringSidW(sid, reinterpret_cast<wchar_t**>(text.receive()))) return L"";
  return static_cast<const wchar_t*>(text.get());
}

bool TokenUserSid(HANDLE token, std::wstring* sid, uint32_t* error_code) {
  DWORD size = 0;
  GetTokenInformation(token, TokenUser, nullptr, 0, &size);
  std::vector<unsigned char> buffer(size > 0 ? size : 1);
  if (size == 0 || !GetTokenInformation(token, TokenUser, buffer.data(), size, &size)) {
    *error_code = GetLastError();
    return false;
  }
  LocalMemory text;
  if (!ConvertSidToStringSidW(reinterpret_cast<TOKEN_USER*>(buffer.data())->User.Sid,
                              reinterpret_cast<wchar_t**>(text.receive()))) {
    *error_code = GetLastError();
    return false;
  }
  *sid = static_cast<const wchar_t*>(text.get());
  return true;
}

}  // namespace platform::win32
