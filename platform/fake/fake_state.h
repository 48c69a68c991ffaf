// The fake world's state, shared by the fake implementations of the platform
// headers. Every access holds the lock: the service's threads share the fake.
#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "platform/fake/fake_windows.h"
#include "platform/process.h"

namespace platform::fake {

struct RegistryValue {
  RegistryType type = RegistryType::kString;
  std::wstring data;
};

constexpr wchar_t kDefaultModulePath[] = L"C:\\Program Files\\Quorvane\\QuorvaneVpnService.exe";

struct FakeWorld {
  std::mutex lock;
  std::map<std::string, uint32_t> pending_failures;
  std::vector<std::string> journal;

  std::wstring stdout_text;
  std::wstring stderr_text;
  ConsoleControlHandler console_handler = nullptr;
  std::wstring module_path = kDefaultModulePath;

  std::map<std::wstring, std::wstring> environment;       // by lower-case name
  std::map<std::wstring, RegistryValue> registry_values;  // by lower-case "root\subkey\name"
};

FakeWorld& World();

// With the lock held: records the call and reports whether an injected failure
// consumes it (filling |error_code|).
bool RecordCall(FakeWorld& world, const std::string& operation, const std::string& argument,
                uint32_t* error_code);

std::wstring LowerAscii(const std::wstring& text);
std::string Narrow(const std::wstring& text);

}  // namespace platform::fake
