// "--configure NAME=VALUE ...": what an installer package sets after it has
// registered the service, checked with the rules the service applies.
#pragma once

#include <string>
#include <vector>

#include "host/service_install.h"

namespace quorvane {

// START=auto|demand (the start type; auto also starts the service now),
// SAFE_MODE=0|1, AUTO_STOP_SECONDS=<whole seconds>, ADMIN_BYPASS=0|1,
// ADMIN_BYPASS_IPS=<IPv4 addresses, comma separated>. An empty value is a
// property not given and changes nothing. The settings become machine
// environment values, which the service reads. Every value is checked before
// anything changes: one that breaks its rule fails the whole command (exit 1)
// with a line naming it and the rule, on standard error and in the service
// log.
//
// The package's transactions also run, each alone:
//   --remove-settings   a real removal: every setting goes from the machine
//   --restore-settings  a rollback: the settings as they were before this
//                       transaction's change or removal
//   --forget-settings-backup  the transaction's end: what a rollback would
//                       have restored is let go of, and an upgrade's mark
//   --mark-upgrade      an upgrade begins: the older product's removal,
//                       within the next 15 minutes, keeps the registration
//                       and the settings (Windows Installer tells it so with
//                       UPGRADINGPRODUCTCODE; Wine's removal of the older
//                       product does not)
// A change or removal first keeps each value it touches, as it was, under
// HKLM\SOFTWARE\Quorvane\Setup, for the restore.
int RunConfigureCommand(const std::vector<std::wstring>& args);

// The START argument of "--install" (see InstallStart): auto or demand, or
// the service manager's own numbers as the package reads them from the
// registry ("#2" automatic, "#3" demand, "#4" disabled), or empty. False with
// |error| for anything else.
bool ReadInstallStart(const std::vector<std::wstring>& args, InstallStart* start, std::string* error);

// Whether an upgrade marked itself within the last 15 minutes; the mark is
// let go of by the install that follows the older product's removal.
bool UpgradeInProgress();
void ForgetUpgradeMark();

}  // namespace quorvane
