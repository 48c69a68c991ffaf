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

// LoadLibraryW with the standard search order: the program's own folder first.
bool LoadLibraryByName(const std::wstring& name, LibraryHandle* library, uint32_t* error_code);
// False when |library| has no export of that name.
bool FindWideTextEntry(const LibraryHandle& library, const std::string& export_name, WideTextEntry* entry);

}  // namespace platform
