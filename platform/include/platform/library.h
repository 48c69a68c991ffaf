// Loading a library at run time and finding an export in it.
#pragma once

#include <cstdint>
#include <string>

#include "platform/owned_handle.h"

namespace platform {

// Frees a loaded library; used by LibraryHandle.
void FreeLoadedLibrary(uintptr_t library);
using LibraryHandle = OwnedHandle<FreeLoadedLibrary>;

// An export that takes one zero-terminated wide text and returns a 32-bit
// boolean-like value. x64 Windows has one calling convention, so no attribute
// is needed.
using WideTextEntry = int32_t (*)(const wchar_t* text);

// Where Windows may find a library by name: only the program's own folder
// and System32. The standard order goes on to the Windows folder, the current
// folder and every PATH folder, where anyone who can write one would have a
// planted DLL run as the system account.
// LoadLibraryExW with LOAD_LIBRARY_SEARCH_APPLICATION_DIR | _SYSTEM32.
bool LoadLibraryFromSafeFolders(const std::wstring& name, LibraryHandle* library, uint32_t* error_code);

// The full path under which LoadLibraryFromSafeFolders would find |name|:
// the program's folder first, then System32. False when neither holds it.
bool FindLibraryInSafeFolders(const std::wstring& name, std::wstring* path);

// SetDefaultDllDirectories with the same two folders, for every later load of
// the process (the libraries that Windows' own DLLs load included).
bool RestrictLibrarySearch(uint32_t* error_code);
// False when |library| has no export of that name.
bool FindWideTextEntry(const LibraryHandle& library, const std::string& export_name, WideTextEntry* entry);

}  // namespace platform
