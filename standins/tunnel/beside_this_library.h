// Where the stand-in tunnel libraries keep their files: beside the DLL itself.
#pragma once

#include <windows.h>

#include <string>

inline std::wstring PathBesideThisLibrary(const wchar_t* file_name) {
  HMODULE self = nullptr;
  GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                     reinterpret_cast<LPCWSTR>(&PathBesideThisLibrary), &self);
  wchar_t path[MAX_PATH] = {};
  const DWORD length = GetModuleFileNameW(self, path, MAX_PATH);
  std::wstring directory(path, length);
  return directory.substr(0, directory.find_last_of(L"\\/") + 1) + file_name;
}
