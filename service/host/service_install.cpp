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
#include "common/windows_events.h"
#include "host/entry_modes.h"
#include "host/package_settings.h"
#include "platform/process.h"
#include "platform/service_config.h"
#include "platform/service_control.h"

namespace quorvane {
namespace {

constexpr int kStopWaitSteps = 300;  // of 100 ms: the control service's own stop bound, and more
constexpr uint32_t kStopWaitStepMs = 100;
constexpr int kStopResendSteps = 10;  // a stop refused while the service starts is sent again each second
constexpr int kMarkedForDeleteTries = 10;
constexpr uint32_t kMarkedForDeleteRetryMs = 500;
constexpr uint32_t kErrorAccessDenied = 5;

// Stops the control service and waits until it has stopped, so that it serves
// no request while its tunnel is taken down. A service still starting accepts
// no stop (1061): it is asked again until it runs and takes it. False with
// |error| when it would not stop.
bool StopControlService(std::string* error) {
  platform::ScHandle manager, service;
  uint32_t error_code = 0;
  if (!platform::ScmOpenManager(platform::kScManagerConnect, &manager, &error_code) ||
      !platform::ScmOpenService(manager, kControlServiceName, platform::kServiceStop | platform::kServiceQueryStatus,
                                &service, &error_code)) {
    return true;  // not installed: nothing runs
  }
  platform::ServiceStatus status;
  for (int step = 0; step < kStopWaitSteps; ++step) {
    if (step % kStopResendSteps == 0 && !platform::ScmControlStop(service, &status, &error_code) &&
        error_code != platform::kErrorServiceCannotAcceptCtrl && error_code != platform::kErrorServiceNotActive) {
      *error = CallFailed("ControlService stop", error_code);
      return false;
    }
    if (!platform::ScmQueryStatus(service, &status, &error_code) || status.state == platform::kServiceStopped) {
      return true;
    }
    platform::SleepMilliseconds(kStopWaitStepMs);
  }
  *error = "the control service did not stop within 30 s";
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

platform::ServiceRegistration ControlServiceRegistration(const std::wstring& program_path, uint32_t start_type) {
  platform::ServiceRegistration registration;
  registration.name = kControlServiceName;
  registration.display_name = kControlServiceName;
  registration.service_type = platform::kServiceWin32OwnProcess;
  registration.start_type = start_type;
  registration.error_control = platform::kServiceErrorNormal;
  registration.binary_path = L"\"" + program_path + L"\" --run-as-service";
  registration.dependencies = {L"Nsi", L"TcpIp"};
  return registration;
}

// Makes the registration, or brings an existing one up to date; |created|
// says which. A registration marked for deletion (another program holds the
// service open) answers 1072 until it has gone: tried again for a while.
bool RegisterOrUpdate(const platform::ScHandle& manager, const platform::ServiceRegistration& registration,
                      platform::ScHandle* service, bool* created, std::string* error) {
  uint32_t error_code = 0;
  for (int attempt = 0; attempt < kMarkedForDeleteTries; ++attempt) {
    if (attempt > 0) platform::SleepMilliseconds(kMarkedForDeleteRetryMs);
    *created = platform::ScmCreateService(manager, registration, platform::kServiceAllAccess, service, &error_code);
    if (*created) return true;
    if (error_code == platform::kErrorServiceMarkedForDelete) continue;
    if (error_code != platform::kErrorServiceExists) {
      *error = CallFailed("CreateService", error_code);
      return false;
    }
    if (!platform::ScmOpenService(manager, kControlServiceName, platform::kServiceAllAccess, service, &error_code)) {
      *error = CallFailed("OpenService", error_code);
      return false;
    }
    if (platform::ScmUpdateRegistration(*service, registration, &error_code)) return true;
    service->Reset();
    if (error_code != platform::kErrorServiceMarkedForDelete) {
      *error = CallFailed("ChangeServiceConfig", error_code);
      return false;
    }
  }
  *error = CallFailed("CreateService", platform::kErrorServiceMarkedForDelete) +
           ": the service is marked for deletion and another program still holds it open (the Services console, "
           "a monitoring agent); close it and install again";
  return false;
}

uint32_t CreatedType(const InstallStart& start) { return start.type != 0 ? start.type : start.new_type; }

// The start type asked for, and the service started now when it is
// automatic and a START argument was given.
bool ApplyInstallStart(const platform::ScHandle& service, bool created, const InstallStart& start,
                       std::string* error) {
  uint32_t error_code = 0;
  uint32_t type = created ? CreatedType(start) : start.type;
  if (!created && type != 0 && !platform::ScmChangeStartType(service, type, &error_code)) {
    *error = CallFailed("ChangeServiceConfig start type", error_code);
    return false;
  }
  if (!start.start_now) return true;
  if (type == 0 && !platform::ScmQueryStartType(service, &type, &error_code)) {
    *error = CallFailed("QueryServiceConfig", error_code);
    return false;
  }
  if (type != platform::kServiceAutoStart) return true;
  if (!platform::ScmStartService(service, &error_code) && error_code != platform::kErrorServiceAlreadyRunning) {
    *error = CallFailed("StartService", error_code);
    return false;
  }
  return true;
}

// The Services console's description and the restart after a crash: the
// service works without them, so a refusal is said and the install goes on.
void Describe(const platform::ScHandle& service) {
  uint32_t error_code = 0;
  if (!platform::ScmSetDescription(service, kServiceDescription, &error_code)) {
    Diagnose(L"install: " + Utf8ToWide(CallFailed("ChangeServiceConfig2 description", error_code)) + L"\n");
  }
  const std::vector<uint32_t> restarts(kRestartsAfterFailure, kRestartDelayMs);
  if (!platform::ScmSetRestartOnFailure(service, kFailureResetSeconds, restarts, &error_code)) {
    Diagnose(L"install: " + Utf8ToWide(CallFailed("ChangeServiceConfig2 failure actions", error_code)) + L"\n");
  }
}

}  // namespace

std::string CallFailed(const char* call, uint32_t error_code) {
  std::string text = std::string(call) + " failed (error " + std::to_string(error_code) + ")";
  if (error_code == kErrorAccessDenied) text += ": access denied; run it elevated, as an administrator";
  return text;
}

bool InstallService(const std::wstring& program_path, const InstallStart& start, std::string* error) {
  platform::ScHandle manager;
  uint32_t error_code = 0;
  if (!platform::ScmOpenManager(platform::kScManagerAllAccess, &manager, &error_code)) {
    *error = CallFailed("OpenSCManager", error_code);
    return false;
  }
  platform::ScHandle service;
  bool created = false;
  if (!RegisterOrUpdate(manager, ControlServiceRegistration(program_path, CreatedType(start)), &service, &created, error)) return false;
  Describe(service);
  if (!InstallEventSource(program_path, error)) return false;
  return ApplyInstallStart(service, created, start, error);
}

bool UninstallService(std::string* error) {
  uint32_t error_code = 0;
  platform::ScHandle manager;
  if (!platform::ScmOpenManager(platform::kScManagerAllAccess, &manager, &error_code)) {
    *error = CallFailed("OpenSCManager", error_code);
    return false;
  }
  platform::ScHandle service;
  const uint32_t access = platform::kServiceDelete | platform::kServiceStop | platform::kServiceQueryStatus;
  if (!platform::ScmOpenService(manager, kControlServiceName, access, &service, &error_code)) {
    if (error_code != platform::kErrorServiceDoesNotExist) {
      *error = CallFailed("OpenService", error_code);
      return false;
    }
  } else if (!platform::ScmDeleteService(service, &error_code) &&
             error_code != platform::kErrorServiceMarkedForDelete) {
    *error = CallFailed("DeleteService", error_code);
    return false;
  }
  // The service is gone; a source left in the registry is said, not failed.
  std::string source_error;
  if (!RemoveEventSource(&source_error)) Diagnose(L"uninstall: " + Utf8ToWide(source_error) + L"\n");
  return true;
}

// The checks come before anything is made: whoever may write the program's
// folder runs code as the system account; a service folder a user made (or a
// link they planted) would be written into by the system account.
int RunInstallCommand(const std::vector<std::wstring>& args) {
  const std::wstring program = ServiceProgramPath();
  InstallStart start;
  std::string error;
  std::string unsafe;
  if (program.empty()) {
    error = "GetModuleFileName failed";
  } else if (!(unsafe = ProgramFolderProblem()).empty()) {
    error = unsafe + "; only the system account, Administrators and TrustedInstaller may write where the service "
                     "runs from";
  } else if (!ReadInstallStart(args, &start, &error)) {
  } else if (EnsureServiceFolders(&error) && InstallService(program, start, &error)) {
    ForgetUpgradeMark();
    platform::WriteStdout(L"service installed\n");
    return 0;
  }
  Diagnose(L"install failed: " + Utf8ToWide(error) + L"\n");
  return 1;
}

// A tunnel left running would have no controller, and a configuration left
// behind would keep its key: both go as a disconnect takes them, once the
// control service has stopped. Success means the service is gone (or was
// never there); whatever else is left is said, and fails it too. With
// "--keep-registration" (an upgrade replaces the program) the service stops
// and the tunnel goes, and the registration, event source and folders stay.
int RunUninstallCommand(const std::vector<std::wstring>& args) {
  const bool asked_to_keep = args.size() == 2 && args[1] == L"--keep-registration";
  if (args.size() > 1 && !asked_to_keep) {
    Diagnose(L"uninstall failed: the only option is --keep-registration\n");
    return 2;
  }
  const bool keep_registration = asked_to_keep || UpgradeInProgress();
  if (keep_registration && !asked_to_keep) {
    Diagnose(L"uninstall: an upgrade is under way: the registration stays\n");
  }
  std::string error;
  bool clean = true;
  if (!StopControlService(&error)) {
    Diagnose(L"uninstall: " + Utf8ToWide(error) + L"\n");
    clean = false;
  }
  MarkUserConnectBegun();  // an explicit request, as a disconnect after a start is
  const Teardown down = TearDownTunnel();
  if (!down.tunnel_gone) {
    Diagnose(L"uninstall: the tunnel is left as it is: " + Utf8ToWide(CapLoggedText(down.note)) + L"\n");
    clean = false;
  }
  if (keep_registration) {
    if (clean) platform::WriteStdout(L"service stopped for an upgrade\n");
    return clean ? 0 : 1;
  }
  if (!UninstallService(&error)) {
    Diagnose(L"uninstall failed: " + Utf8ToWide(error) + L"\n");
    clean = false;
  }
  if (down.tunnel_gone) {
    for (const auto& [leaf, names] : RemovedFolders()) {
      if (!RemoveServiceFolder(leaf, names, &error)) Diagnose(L"uninstall: " + Utf8ToWide(error) + L"\n");
    }
  }
  if (!clean) return 1;
  platform::WriteStdout(L"service uninstalled\n");
  return 0;
}

}  // namespace quorvane
