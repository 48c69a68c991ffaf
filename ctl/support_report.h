// "QuorvaneVpnCtl report": one JSON document for support, whether or not the
// service runs: its status reply, the passive start-up report, the safe-mode
// settings from each source, the registrations of the two services, the
// route journal and the log's last lines. No request is sent that carries a
// secret, and no profile value is read.
#pragma once

#include <string>

namespace quorvane_ctl {

std::string SupportReport();

// A Windows text as UTF-8 (the command line's arguments, names, values).
std::string Utf8(const std::wstring& wide);

}  // namespace quorvane_ctl
