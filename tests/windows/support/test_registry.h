// Registry values that a test sets for the length of one test.
#pragma once

#include <windows.h>

#include <string>

// Sets |name| under HKLM or HKCU |subkey| and deletes it again when destroyed,
// so that no test leaves a setting behind in the prefix.
class ScopedRegistryValue {
 public:
  ScopedRegistryValue(HKEY hive, const std::wstring& subkey, const std::wstring& name, const std::wstring& data,
                      DWORD type = REG_SZ);
  ScopedRegistryValue(HKEY hive, const std::wstring& subkey, const std::wstring& name, DWORD data);
  ScopedRegistryValue(const ScopedRegistryValue&) = delete;
  ScopedRegistryValue& operator=(const ScopedRegistryValue&) = delete;
  ~ScopedRegistryValue();
  bool ok() const { return ok_; }

 private:
  HKEY hive_;
  std::wstring subkey_;
  std::wstring name_;
  bool ok_ = false;
};

// Sets a process environment variable for the length of one test.
class ScopedEnvironmentValue {
 public:
  ScopedEnvironmentValue(const std::wstring& name, const std::wstring& value);
  ScopedEnvironmentValue(const ScopedEnvironmentValue&) = delete;
  ScopedEnvironmentValue& operator=(const ScopedEnvironmentValue&) = delete;
  ~ScopedEnvironmentValue();

 private:
  std::wstring name_;
};
