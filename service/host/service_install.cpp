#include "host/service_install.h"

#include "common/folder_files.h"
#include "common/program_folder.h"
#include "common/service_log.h"
#include "common/startup_record.h"
#include "control/request_handler.h"
#include "routes/route_journal.h"
#include "tunnel/active_conf_store.h"
#include "common/protected_folder.h"
#include "common/wide_text.h"
#include "host/entry_modes.h"
#include "platform/process.h"
#include "platform/service_control.h"

namespace quorvane {
namespace {

constexpr int kStopWaitSteps = 300;  // of 100 ms: the control service's own stop bound, and more
constexpr uint32_t kStopWaitStepMs = 100;

// Stops the control service and waits until it has stopped, so that it serves
// no request while its tunnel is taken down; false when it would not stop.
bool StopControlService() {
  platform::ScHandle manager, service;
  uint32_t error_code = 0;
  if (!platform::ScmOpenManager(platform::kScManagerConnect, &manager, &error_code) ||
      !platform::ScmOpenService(manager, kControlServiceName, platform::kServiceStop | platform::kServiceQueryStatus,
                                &service, &error_code)) {
    return true;  // not installed: nothing runs
  }
  platform::ServiceStatus status;
  platform::ScmControlStop(service, &status, &error_code);
  for (int step = 0; step < kStopWaitSteps; ++step) {
    if (!platform::ScmQueryStatus(service, &status, &error_code) || status.state == platform::kServiceStopped) {
      return true;
    }
    platform::SleepMilliseconds(kStopWaitStepMs);
  }
  return false;
}

// What a removal takes of the service's own files: all but the logs.
const std::vector<std::pair<const wchar_t*, std::vector<std::wstring>>>& RemovedFolders() {
  static const std::vector<std::pair<const wchar_t*, std::vector<std::wstring>>> folders = {
      {L"tunnels", {kActiveConfName}},
      {L"state", {kRouteJournalName}},
  };
  return folders;
}

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
  const std::wstring program = ServiceProgramPath();
  std::string error;
  std::string unsafe;
  if (program.empty()) {
    error = "GetModuleFileName failed";
  } else if (!(unsafe = ProgramFolderProblem()).empty()) {
    error = unsafe + "; only the system account, Administrators and TrustedInstaller may write where the service "
                     "runs from";
  } else if (EnsureServiceFolders(&error) && InstallService(program, &error)) {
    platform::WriteStdout(L"service installed\n");
    return 0;
  }
  Diagnose(L"install failed: " + Utf8ToWide(error) + L"\n");
  return 1;
}

// A tunnel left running would have no controller, and a configuration left
// behind would keep its key: both go as a disconnect takes them, once the
// control service has stopped.
int RunUninstallCommand() {
  std::string error;
  if (!StopControlService()) Diagnose(L"uninstall: the control service did not stop within 30 s\n");
  MarkUserConnectBegun();  // an explicit request, as a disconnect after a start is
  const Teardown down = TearDownTunnel();
  UninstallService(&error);  // removal of what is not there is not an error for the caller
  if (!down.tunnel_gone) {
    Diagnose(L"uninstall: the tunnel is left as it is: " + Utf8ToWide(CapLoggedText(down.note)) + L"\n");
  } else {
    for (const auto& [leaf, names] : RemovedFolders()) {
      if (!RemoveServiceFolder(leaf, names, &error)) Diagnose(L"uninstall: " + Utf8ToWide(error) + L"\n");
    }
  }
  platform::WriteStdout(L"service uninstalled\n");
  return 0;
}

}  // namespace quorvane
