#include "platform/service_config.h"

#include <windows.h>

#include <vector>

#include "scm_lock.h"

namespace platform {
namespace {

SC_HANDLE Raw(const ScHandle& handle) { return reinterpret_cast<SC_HANDLE>(handle.get()); }

bool Fail(uint32_t* error_code) {
  *error_code = GetLastError();
  return false;
}

}  // namespace

bool ScmUpdateRegistration(const ScHandle& service, const ServiceRegistration& registration, uint32_t* error_code) {
  std::lock_guard<std::recursive_mutex> guard(ScmLock());
  // One block of zero-terminated names ended by an empty name; an empty block
  // (two zeros) clears the dependencies.
  std::vector<wchar_t> dependencies;
  for (const std::wstring& name : registration.dependencies) {
    dependencies.insert(dependencies.end(), name.begin(), name.end());
    dependencies.push_back(L'\0');
  }
  dependencies.push_back(L'\0');
  dependencies.push_back(L'\0');
  if (ChangeServiceConfigW(Raw(service), registration.service_type, SERVICE_NO_CHANGE, registration.error_control,
                           registration.binary_path.c_str(), L"", nullptr, dependencies.data(), nullptr, nullptr,
                           registration.display_name.c_str())) {
    return true;
  }
  return Fail(error_code);
}

bool ScmQueryStartType(const ScHandle& service, uint32_t* start_type, uint32_t* error_code) {
  std::lock_guard<std::recursive_mutex> guard(ScmLock());
  DWORD needed = 0;
  QueryServiceConfigW(Raw(service), nullptr, 0, &needed);
  if (needed == 0) return Fail(error_code);
  // Kept aligned for the structure at its start.
  std::vector<QUERY_SERVICE_CONFIGW> buffer(needed / sizeof(QUERY_SERVICE_CONFIGW) + 1);
  if (!QueryServiceConfigW(Raw(service), buffer.data(), static_cast<DWORD>(buffer.size() * sizeof(buffer[0])),
                           &needed)) {
    return Fail(error_code);
  }
  *start_type = buffer[0].dwStartType;
  return true;
}

bool ScmSetDescription(const ScHandle& service, const std::wstring& description, uint32_t* error_code) {
  std::lock_guard<std::recursive_mutex> guard(ScmLock());
  std::wstring text = description;
  SERVICE_DESCRIPTIONW info{text.data()};
  if (ChangeServiceConfig2W(Raw(service), SERVICE_CONFIG_DESCRIPTION, &info)) return true;
  return Fail(error_code);
}

bool ScmSetRestartOnFailure(const ScHandle& service, uint32_t reset_seconds,
                            const std::vector<uint32_t>& restart_delays_ms, uint32_t* error_code) {
  std::lock_guard<std::recursive_mutex> guard(ScmLock());
  std::vector<SC_ACTION> actions;
  for (uint32_t delay : restart_delays_ms) actions.push_back(SC_ACTION{SC_ACTION_RESTART, delay});
  actions.push_back(SC_ACTION{SC_ACTION_NONE, 0});
  SERVICE_FAILURE_ACTIONSW info{};
  info.dwResetPeriod = reset_seconds;
  info.cActions = static_cast<DWORD>(actions.size());
  info.lpsaActions = actions.data();
  if (ChangeServiceConfig2W(Raw(service), SERVICE_CONFIG_FAILURE_ACTIONS, &info)) return true;
  return Fail(error_code);
}

}  // namespace platform
