// Which of the service's pipes QuorvaneVpnCtl talks to: the administrators'
// one when it runs elevated, the users' one otherwise.
#pragma once

#include <string>

namespace quorvane_ctl {

// One exchange: elevated, through the administrators' pipe (always an
// instance there, and the reports in full), falling back to the users' pipe
// when the service has no such pipe or refuses this token on it.
std::string SendAsThisUser(const std::string& request);

}  // namespace quorvane_ctl
