#include "platform/library.h"

#include <windows.h>

namespace platform {

namespace {

constexpr DWORD kSafeFolders = LOAD_LIBRARY_SEARCH_APPLICATION_DIR | LOAD_LIBRARY_SEARCH_SYSTEM32;

bool IsFile(const std::wstring& path) {
  const DWORD attributes = GetFileAttributesW(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

}  // namespace

bool FindLibraryInSafeFolders(const std::wstring& name, std::wstring* path) {
  wchar_t buffer[MAX_PATH] = {};
  const DWORD length = GetModuleFileNameW(nullptr, buffer, MAX_PATH);
  if (length > 0 && length < MAX_PATH) {
    std::wstring program(buffer, length);
    const std::wstring beside = program.substr(0, program.find_last_of(L"\\/") + 1) + name;
    if (IsFile(beside)) {
      *path = beside;
      return true;
    }
  }
  const UINT system_length = GetSystemDirectoryW(buffer, MAX_PATH);
  if (system_length == 0 || system_length >= MAX_PATH) return false;
  const std::wstring in_system = std::wstring(buffer, system_length) + L"\\" + name;
  if (!IsFile(in_system)) return false;
  *path = in_system;
  return true;
}

bool RestrictLibrarySearch(uint32_t* error_code) {
  if (SetDefaultDllDirectories(kSafeFolders)) return true;
  *error_code = GetLastError();
  return false;
}

bool LoadLibraryFromSafeFolders(const std::wstring& name, LibraryHandle* library, uint32_t* error_code) {
  const HMODULE module = LoadLibraryExW(name.c_str(), nullptr, kSafeFolders);
  if (module == nullptr) {
    *error_code = GetLastError();
    return false;
  }
  *library = LibraryHandle(reinterpret_cast<uintptr_t>(module));
  return true;
}

bool FindWideTextEntry(const LibraryHandle& library, const std::string& export_name, WideTextEntry* entry) {
  const FARPROC address = GetProcAddress(reinterpret_cast<HMODULE>(library.get()), export_name.c_str());
  if (address == nullptr) return false;
  // GetProcAddress returns a generic function pointer; the export's real type
  // is the caller's contract with the library.
  *entry = reinterpret_cast<WideTextEntry>(reinterpret_cast<void*>(address));
  return true;
}

void FreeLoadedLibrary(uintptr_t library) {
  if (library != 0) FreeLibrary(reinterpret_cast<HMODULE>(library));
}

}  // namespace platform
