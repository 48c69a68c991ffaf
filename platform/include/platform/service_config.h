// A registered service's configuration beyond its status: the whole
// registration changed in place, its start type, its description and what the
// service manager does when its process fails.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/service_control.h"

namespace platform {

// ChangeServiceConfigW with the registration's type, error control, binary
// path, dependencies and display name; the start type is left as it is.
// Fails with 1072 while the service is marked for deletion.
bool ScmUpdateRegistration(const ScHandle& service, const ServiceRegistration& registration, uint32_t* error_code);

// The start type the service is registered with (QueryServiceConfigW).
bool ScmQueryStartType(const ScHandle& service, uint32_t* start_type, uint32_t* error_code);

// The text the Services console shows (SERVICE_CONFIG_DESCRIPTION).
bool ScmSetDescription(const ScHandle& service, const std::wstring& description, uint32_t* error_code);

// After each failure of the service's process, a restart after the delay of
// that failure's place in |restart_delays_ms|; after those, nothing. The count
// starts again after |reset_seconds| without a failure
// (SERVICE_CONFIG_FAILURE_ACTIONS; the handle needs SERVICE_START too).
bool ScmSetRestartOnFailure(const ScHandle& service, uint32_t reset_seconds,
                            const std::vector<uint32_t>& restart_delays_ms, uint32_t* error_code);

}  // namespace platform
