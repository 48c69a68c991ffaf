#include "platform/service_control.h"

#include <windows.h>

#include <mutex>
#include <vector>

namespace platform {
namespace {

// One call to the service manager at a time from this process. Measured under
// Wine 8: while one thread polls a starting service through a handle it
// keeps, other threads opening, querying and closing their own handles to it
// make the kept handle answer error 6 (invalid handle); Windows has no such
// limit, and each call is short, so the order costs nothing there.
std::recursive_mutex g_scm_lock;

SC_HANDLE Raw(const ScHandle& handle) { return reinterpret_cast<SC_HANDLE>(handle.get()); }

bool Fail(uint32_t* error_code) {
  *error_code = GetLastError();
  return false;
}

bool Adopt(SC_HANDLE raw, ScHandle* handle, uint32_t* error_code) {
  if (raw == nullptr) return Fail(error_code);
  *handle = ScHandle(reinterpret_cast<uintptr_t>(raw));
  return true;
}

void FillStatus(const SERVICE_STATUS& raw, ServiceStatus* status) {
  status->state = raw.dwCurrentState;
  status->win32_exit_code = raw.dwWin32ExitCode;
}

// Dependencies go to the SCM as one block of zero-terminated names ended by an
// empty name; no dependencies is a null pointer.
std::vector<wchar_t> DependencyBlock(const std::vector<std::wstring>& names) {
  std::vector<wchar_t> block;
  for (const std::wstring& name : names) {
    block.insert(block.end(), name.begin(), name.end());
    block.push_back(L'\0');
  }
  if (!block.empty()) block.push_back(L'\0');
  return block;
}

}  // namespace

bool ScmOpenManager(uint32_t access, ScHandle* manager, uint32_t* error_code) {
  std::lock_guard<std::recursive_mutex> guard(g_scm_lock);
  return Adopt(OpenSCManagerW(nullptr, SERVICES_ACTIVE_DATABASEW, access), manager, error_code);
}

bool ScmOpenService(const ScHandle& manager, const std::wstring& name, uint32_t access, ScHandle* service,
                    uint32_t* error_code) {
  std::lock_guard<std::recursive_mutex> guard(g_scm_lock);
  return Adopt(OpenServiceW(Raw(manager), name.c_str(), access), service, error_code);
}

bool ScmCreateService(const ScHandle& manager, const ServiceRegistration& registration, uint32_t access,
                      ScHandle* service, uint32_t* error_code) {
  std::lock_guard<std::recursive_mutex> guard(g_scm_lock);
  const std::vector<wchar_t> dependencies = DependencyBlock(registration.dependencies);
  const SC_HANDLE raw = CreateServiceW(Raw(manager), registration.name.c_str(), registration.display_name.c_str(),
                                       access, registration.service_type, registration.start_type,
                                       registration.error_control, registration.binary_path.c_str(), nullptr,
                                       nullptr, dependencies.empty() ? nullptr : dependencies.data(), nullptr,
                                       nullptr);
  return Adopt(raw, service, error_code);
}

bool ScmChangeBinaryPath(const ScHandle& service, const std::wstring& binary_path, uint32_t* error_code) {
  std::lock_guard<std::recursive_mutex> guard(g_scm_lock);
  if (ChangeServiceConfigW(Raw(service), SERVICE_NO_CHANGE, SERVICE_NO_CHANGE, SERVICE_NO_CHANGE,
                           binary_path.c_str(), nullptr, nullptr, nullptr, nullptr, nullptr, nullptr)) {
    return true;
  }
  return Fail(error_code);
}

bool ScmChangeStartType(const ScHandle& service, uint32_t start_type, uint32_t* error_code) {
  std::lock_guard<std::recursive_mutex> guard(g_scm_lock);
  if (!ChangeServiceConfigW(Raw(service), SERVICE_NO_CHANGE, start_type, SERVICE_NO_CHANGE, nullptr, nullptr, nullptr,
                            nullptr, nullptr, nullptr, nullptr)) {
    return Fail(error_code);
  }
  SERVICE_DELAYED_AUTO_START_INFO delayed{start_type == SERVICE_AUTO_START};
  ChangeServiceConfig2W(Raw(service), SERVICE_CONFIG_DELAYED_AUTO_START_INFO, &delayed);
  return true;
}

bool ScmSetServiceSidType(const ScHandle& service, uint32_t sid_type, uint32_t* error_code) {
  std::lock_guard<std::recursive_mutex> guard(g_scm_lock);
  SERVICE_SID_INFO info{sid_type};
  if (ChangeServiceConfig2W(Raw(service), SERVICE_CONFIG_SERVICE_SID_INFO, &info)) return true;
  return Fail(error_code);
}

bool ScmStartService(const ScHandle& service, uint32_t* error_code) {
  std::lock_guard<std::recursive_mutex> guard(g_scm_lock);
  if (StartServiceW(Raw(service), 0, nullptr)) return true;
  return Fail(error_code);
}

bool ScmControlStop(const ScHandle& service, ServiceStatus* status, uint32_t* error_code) {
  std::lock_guard<std::recursive_mutex> guard(g_scm_lock);
  SERVICE_STATUS raw{};
  if (!ControlService(Raw(service), SERVICE_CONTROL_STOP, &raw)) return Fail(error_code);
  FillStatus(raw, status);
  return true;
}

bool ScmQueryStatus(const ScHandle& service, ServiceStatus* status, uint32_t* error_code) {
  std::lock_guard<std::recursive_mutex> guard(g_scm_lock);
  SERVICE_STATUS_PROCESS raw{};
  DWORD needed = 0;
  if (!QueryServiceStatusEx(Raw(service), SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&raw), sizeof(raw),
                            &needed)) {
    return Fail(error_code);
  }
  status->state = raw.dwCurrentState;
  status->process_id = raw.dwProcessId;
  status->win32_exit_code = raw.dwWin32ExitCode;
  status->service_specific_exit_code = raw.dwServiceSpecificExitCode;
  return true;
}

bool ScmDeleteService(const ScHandle& service, uint32_t* error_code) {
  std::lock_guard<std::recursive_mutex> guard(g_scm_lock);
  if (DeleteService(Raw(service))) return true;
  return Fail(error_code);
}

void ScmCloseHandle(uintptr_t handle) {
  std::lock_guard<std::recursive_mutex> guard(g_scm_lock);
  if (handle != 0) CloseServiceHandle(reinterpret_cast<SC_HANDLE>(handle));
}

}  // namespace platform
