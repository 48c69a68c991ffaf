#include "platform/library.h"

#include <windows.h>

namespace platform {

namespace {

constexpr DWORD kSafeFolders = LOAD_LIBRARY_SEARCH_APPLICATION_DIR | LOAD_LIBRARY_SEARCH_SYSTEM32;

}  // namespace

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
