// "--configure NAME=VALUE ...": what an installer package sets after it has
// registered the service, checked with the rules the service applies.
#pragma once

#include <string>
#include <vector>

namespace quorvane {

// START=auto|demand (the start type; auto also starts the service now),
// SAFE_MODE=0|1, AUTO_STOP_SECONDS=<whole seconds>, ADMIN_BYPASS=0|1,
// ADMIN_BYPASS_IPS=<IPv4 addresses, comma separated>. An empty value is a
// property not given and changes nothing. The settings become machine
// environment values, which the service reads. Every value is checked before
// anything changes: one that breaks its rule fails the whole command (exit 1)
// with a line naming it and the rule, on standard error and in the service
// log.
int RunConfigureCommand(const std::vector<std::wstring>& args);

}  // namespace quorvane
