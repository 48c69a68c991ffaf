#include "host/service_install.h"

#include "common/program_folder.h"
#include "common/protected_folder.h"
#include "common/wide_text.h"
#include "host/entry_modes.h"
#include "platform/process.h"
#include "platform/service_control.h"

namespace quorvane {
namespace {

constexpr size_t kModulePathChars = 260;

}  // namespace

bool InstallService(const std::wstring& program_path, std::string* error) {
  platform::ScHandle manager;
  uint32_t error_code = 0;
  if (!platform::ScmOpenManager(platform::kScManagerAllAccess, &manager, &error_code)) {
    *error = "OpenSCManager failed";
    return false;
  }
  platform::ServiceRegistration registration;
  registration.name = kControlServiceName;
  registration.display_name = kControlServiceName;
  registration.service_type = platform::kServiceWin32OwnProcess;
  registration.start_type = platform::kServiceDemandStart;
  registration.error_control = platform::kServiceErrorNormal;
  registration.binary_path = L"\"" + program_path + L"\" --run-as-service";
  registration.dependencies = {L"Nsi", L"TcpIp"};
  platform::ScHandle service;
  if (!platform::ScmCreateService(manager, registration, platform::kServiceAllAccess, &service, &error_code) &&
      error_code != platform::kErrorServiceExists) {
    *error = "CreateService failed";
    return false;
  }
  return true;
}

bool UninstallService(std::string* error) {
  uint32_t error_code = 0;
  {
    platform::ScHandle manager;
    if (!platform::ScmOpenManager(platform::kScManagerAllAccess, &manager, &error_code)) {
      *error = "OpenSCManager failed";
      return false;
    }
    platform::ScHandle service;
    if (platform::ScmOpenService(manager, kControlServiceName, platform::kServiceStop | platform::kServiceQueryStatus,
                                 &service, &error_code)) {
      platform::ServiceStatus status;
      platform::ScmControlStop(service, &status, &error_code);
    }
  }
  platform::ScHandle manager;
  if (!platform::ScmOpenManager(platform::kScManagerAllAccess, &manager, &error_code)) {
    *error = "OpenSCManager failed";
    return false;
  }
  platform::ScHandle service;
  const uint32_t access = platform::kServiceDelete | platform::kServiceStop | platform::kServiceQueryStatus;
  if (platform::ScmOpenService(manager, kControlServiceName, access, &service, &error_code)) {
    platform::ScmDeleteService(service, &error_code);
  }
  return true;
}

// The checks come before anything is made: whoever may write the program's
// folder runs code as the system account; a service folder a user made (or a
// link they planted) would be written into by the system account.
int RunInstallCommand() {
  std::wstring program;
  uint32_t error_code = 0;
  std::string error;
  std::string unsafe;
  if (!platform::GetOwnModulePath(kModulePathChars, &program, &error_code)) {
    error = "GetModuleFileName failed";
  } else if (!(unsafe = ProgramFolderProblem()).empty()) {
    error = unsafe + "; only the system account, Administrators and TrustedInstaller may write where the service "
                     "runs from";
  } else if (EnsureServiceFolders(&error) && InstallService(program, &error)) {
    platform::WriteStdout(L"service installed\n");
    return 0;
  }
  platform::WriteStderr(L"install failed: " + Utf8ToWide(error) + L"\n");
  return 1;
}

int RunUninstallCommand() {
  std::string error;
  UninstallService(&error);  // removal of what is not there is not an error for the caller
  platform::WriteStdout(L"service uninstalled\n");
  return 0;
}

}  // namespace quorvane
