// UTC time as the service reports it: "%Y-%m-%dT%H:%M:%SZ", whole seconds.
#pragma once

#include <cstdint>
#include <string>

namespace quorvane {

// |seconds_since_epoch| is whole seconds since 1970-01-01T00:00:00Z.
std::string UtcTimeText(int64_t seconds_since_epoch);
std::string CurrentUtcTimeText();

}  // namespace quorvane
