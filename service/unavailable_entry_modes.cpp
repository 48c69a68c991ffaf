// Entry modes whose subsystems this build does not contain yet. Each says so and
// fails, rather than pretend to have worked; a mode moves out of this file when
// its subsystem lands.
#include "entry_modes.h"

#include "platform/process.h"

namespace quorvane {
namespace {

int NotAvailable(const wchar_t* option) {
  platform::WriteStderr(std::wstring(option) + L": not available in this build\n");
  return 1;
}

}  // namespace

int RunInstallCommand() { return NotAvailable(L"--install"); }
int RunUninstallCommand() { return NotAvailable(L"--uninstall"); }
int RunServiceDispatcher() { return NotAvailable(L"--run-as-service"); }

}  // namespace quorvane
