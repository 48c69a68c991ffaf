// The process-wide start-up record, cleared at every process start.
#pragma once

#include <string>

namespace quorvane {

// Clears the record and stores |start_time_utc| as the service start time.
void ResetStartupRecord(const std::string& start_time_utc);
std::string ServiceStartTime();

}  // namespace quorvane
