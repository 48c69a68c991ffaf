#include "platform/environment.h"

#include <windows.h>

#include <string>
#include <vector>

namespace platform {

size_t ReadProcessEnvironment(const std::wstring& name, size_t buffer_chars, std::wstring* value) {
  value->clear();
  std::vector<wchar_t> buffer(buffer_chars + 1, L'\0');
  const DWORD result = GetEnvironmentVariableW(name.c_str(), buffer.data(), static_cast<DWORD>(buffer_chars));
  if (result > 0 && result < buffer_chars) value->assign(buffer.data(), result);
  return result;
}

bool ReadRegistryString(RegistryRoot root, const std::wstring& subkey, const std::wstring& value_name,
                        size_t buffer_bytes, std::wstring* value, uint32_t* error_code) {
  value->clear();
  const HKEY hive = root == RegistryRoot::kLocalMachine ? HKEY_LOCAL_MACHINE : HKEY_CURRENT_USER;
  std::vector<wchar_t> buffer(buffer_bytes / sizeof(wchar_t) + 1, L'\0');
  DWORD size = static_cast<DWORD>(buffer_bytes);
  // RRF_RT_REG_EXPAND_SZ without RRF_NOEXPAND makes RegGetValueW fail with
  // ERROR_INVALID_PARAMETER for every value, so expandable strings are read
  // unexpanded, as stored.
  const LSTATUS status = RegGetValueW(hive, subkey.c_str(), value_name.c_str(),
                                      RRF_RT_REG_SZ | RRF_RT_REG_EXPAND_SZ | RRF_NOEXPAND, nullptr,
                                      buffer.data(), &size);
  if (status != ERROR_SUCCESS) {
    *error_code = static_cast<uint32_t>(status);
    return false;
  }
  // The stored text ends at its first NUL (RegGetValueW guarantees one).
  const size_t chars = size / sizeof(wchar_t);
  size_t length = 0;
  while (length < chars && buffer[length] != L'\0') ++length;
  value->assign(buffer.data(), length);
  return true;
}

bool WriteRegistryString(RegistryRoot root, const std::wstring& subkey, const std::wstring& value_name,
                         const std::wstring& value, uint32_t* error_code) {
  const HKEY hive = root == RegistryRoot::kLocalMachine ? HKEY_LOCAL_MACHINE : HKEY_CURRENT_USER;
  const DWORD bytes = static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t));
  const LSTATUS status = RegSetKeyValueW(hive, subkey.c_str(), value_name.c_str(), REG_SZ, value.c_str(), bytes);
  if (status == ERROR_SUCCESS) return true;
  *error_code = static_cast<uint32_t>(status);
  return false;
}

bool WriteRegistryDword(RegistryRoot root, const std::wstring& subkey, const std::wstring& value_name, uint32_t value,
                        uint32_t* error_code) {
  const HKEY hive = root == RegistryRoot::kLocalMachine ? HKEY_LOCAL_MACHINE : HKEY_CURRENT_USER;
  const DWORD data = value;
  const LSTATUS status = RegSetKeyValueW(hive, subkey.c_str(), value_name.c_str(), REG_DWORD, &data, sizeof(data));
  if (status == ERROR_SUCCESS) return true;
  *error_code = static_cast<uint32_t>(status);
  return false;
}

bool DeleteRegistryValue(RegistryRoot root, const std::wstring& subkey, const std::wstring& value_name,
                         uint32_t* error_code) {
  const HKEY hive = root == RegistryRoot::kLocalMachine ? HKEY_LOCAL_MACHINE : HKEY_CURRENT_USER;
  const LSTATUS status = RegDeleteKeyValueW(hive, subkey.c_str(), value_name.c_str());
  if (status == ERROR_SUCCESS || status == ERROR_FILE_NOT_FOUND) return true;
  *error_code = static_cast<uint32_t>(status);
  return false;
}

bool DeleteRegistryKey(RegistryRoot root, const std::wstring& subkey, uint32_t* error_code) {
  const HKEY hive = root == RegistryRoot::kLocalMachine ? HKEY_LOCAL_MACHINE : HKEY_CURRENT_USER;
  LSTATUS status = RegDeleteTreeW(hive, subkey.c_str());
  if (status == ERROR_SUCCESS) status = RegDeleteKeyW(hive, subkey.c_str());
  if (status == ERROR_SUCCESS || status == ERROR_FILE_NOT_FOUND) return true;
  *error_code = static_cast<uint32_t>(status);
  return false;
}

}  // namespace platform
