// Control of the in-memory Windows that native tests run on: seed its state,
// make the next call of an operation fail, and read the journal of calls made.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/environment.h"

namespace platform::fake {

// Windows error codes that the fake reports, under their Windows names.
constexpr uint32_t kErrorFileNotFound = 2;
constexpr uint32_t kErrorAccessDenied = 5;
constexpr uint32_t kErrorInsufficientBuffer = 122;
constexpr uint32_t kErrorMoreData = 234;
constexpr uint32_t kErrorUnsupportedType = 1630;

// Back to an empty world: no environment, no registry values, no console output,
// no handler, no pending failures, an empty journal.
void Reset();

// The next call of |operation| (the platform function's name, e.g.
// "ReadRegistryString") fails with |error_code| without looking at the world.
void FailNextCall(const std::string& operation, uint32_t error_code);

// Every platform call made since the last Reset, as "Operation argument" lines.
std::vector<std::string> Journal();

// Console and process.
std::wstring StdoutText();
std::wstring StderrText();
bool HasConsoleControlHandler();
// Delivers a console control event to the installed handler, as the console's
// control thread would. Returns the handler's answer (false with none installed).
bool RaiseConsoleEvent(uint32_t event);
void SetOwnModulePath(const std::wstring& path);

// Environment and registry. Names compare without regard to case, as on Windows.
void SetProcessEnvironment(const std::wstring& name, const std::wstring& value);
enum class RegistryType { kString, kExpandString, kDword };
void SetRegistryValue(RegistryRoot root, const std::wstring& subkey, const std::wstring& value_name,
                      const std::wstring& data, RegistryType type = RegistryType::kString);

}  // namespace platform::fake
