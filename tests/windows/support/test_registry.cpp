#include "test_registry.h"

ScopedRegistryValue::ScopedRegistryValue(HKEY hive, const std::wstring& subkey, const std::wstring& name,
                                         const std::wstring& data, DWORD type)
    : hive_(hive), subkey_(subkey), name_(name) {
  const DWORD bytes = static_cast<DWORD>((data.size() + 1) * sizeof(wchar_t));
  ok_ = RegSetKeyValueW(hive, subkey.c_str(), name.c_str(), type, data.c_str(), bytes) == ERROR_SUCCESS;
}

ScopedRegistryValue::ScopedRegistryValue(HKEY hive, const std::wstring& subkey, const std::wstring& name,
                                         DWORD data)
    : hive_(hive), subkey_(subkey), name_(name) {
  ok_ = RegSetKeyValueW(hive, subkey.c_str(), name.c_str(), REG_DWORD, &data, sizeof(data)) == ERROR_SUCCESS;
}

ScopedRegistryValue::~ScopedRegistryValue() { RegDeleteKeyValueW(hive_, subkey_.c_str(), name_.c_str()); }

ScopedEnvironmentValue::ScopedEnvironmentValue(const std::wstring& name, const std::wstring& value) : name_(name) {
  SetEnvironmentVariableW(name.c_str(), value.c_str());
}

ScopedEnvironmentValue::~ScopedEnvironmentValue() { SetEnvironmentVariableW(name_.c_str(), nullptr); }
