// Loading a library at run time and finding an export in it.
#pragma once

#include <cstdint>
#include <string>

namespace platform {

// Owner of a loaded library: move-only, freed when it goes.
class LibraryHandle {
 public:
  LibraryHandle() = default;
  explicit LibraryHandle(uintptr_t value) : value_(value) {}
  LibraryHandle(const LibraryHandle&) = delete;
  LibraryHandle& operator=(const LibraryHandle&) = delete;
  LibraryHandle(LibraryHandle&& other) noexcept : value_(other.value_) { other.value_ = 0; }
  LibraryHandle& operator=(LibraryHandle&& other) noexcept;
  ~LibraryHandle() { Reset(); }

  uintptr_t get() const { return value_; }
  bool valid() const { return value_ != 0; }
  void Reset();

 private:
  uintptr_t value_ = 0;
};

// An export that takes one zero-terminated wide text and returns a 32-bit
// boolean-like value. x64 Windows has one calling convention, so no attribute
// is needed.
using WideTextEntry = int32_t (*)(const wchar_t* text);

// LoadLibraryW with the standard search order: the program's own folder first.
bool LoadLibraryByName(const std::wstring& name, LibraryHandle* library, uint32_t* error_code);
// False when |library| has no export of that name.
bool FindWideTextEntry(const LibraryHandle& library, const std::string& export_name, WideTextEntry* entry);
// Used by LibraryHandle; freeing a null handle does nothing.
void FreeLoadedLibrary(uintptr_t library);

inline LibraryHandle& LibraryHandle::operator=(LibraryHandle&& other) noexcept {
  if (this != &other) {
    Reset();
    value_ = other.value_;
    other.value_ = 0;
  }
  return *this;
}

inline void LibraryHandle::Reset() {
  if (value_ != 0) FreeLoadedLibrary(value_);
  value_ = 0;
}

}  // namespace platform
