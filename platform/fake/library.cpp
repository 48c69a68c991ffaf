#include "platform/library.h"

#include "fake_state.h"

namespace platform {
namespace {

using Guard = std::lock_guard<std::mutex>;

constexpr uint32_t kErrorModNotFound = 126;

}  // namespace

bool RestrictLibrarySearch(uint32_t* error_code) {
  fake::FakeWorld& world = fake::World();
  Guard guard(world.lock);
  return !fake::RecordCall(world, "RestrictLibrarySearch", "", error_code);
}

// Only a library in the program's folder or System32 is found; one in a PATH
// folder or the current folder would be found by the standard search alone.
bool LoadLibraryFromSafeFolders(const std::wstring& name, LibraryHandle* library, uint32_t* error_code) {
  fake::FakeWorld& world = fake::World();
  Guard guard(world.lock);
  if (fake::RecordCall(world, "LoadLibraryFromSafeFolders", fake::Narrow(name), error_code)) return false;
  const std::wstring key = fake::LowerAscii(name);
  const auto found = world.libraries.find(key);
  if (found == world.libraries.end() || (found->second.folder != fake::LibraryFolder::kProgram &&
                                         found->second.folder != fake::LibraryFolder::kSystem32)) {
    *error_code = kErrorModNotFound;
    return false;
  }
  const uintptr_t handle = fake::NewHandle(world);
  world.loaded_libraries[handle] = key;
  *library = LibraryHandle(handle);
  return true;
}

bool FindWideTextEntry(const LibraryHandle& library, const std::string& export_name, WideTextEntry* entry) {
  fake::FakeWorld& world = fake::World();
  Guard guard(world.lock);
  uint32_t error_code = 0;
  if (fake::RecordCall(world, "FindWideTextEntry", export_name, &error_code)) return false;
  const auto loaded = world.loaded_libraries.find(library.get());
  if (loaded == world.loaded_libraries.end()) return false;
  const fake::FakeLibrary& found = world.libraries.at(loaded->second);
  if (found.export_name != export_name || found.entry == nullptr) return false;
  *entry = found.entry;
  return true;
}

// The program's folder is that of the fake's own module path.
bool FindLibraryInSafeFolders(const std::wstring& name, std::wstring* path) {
  fake::FakeWorld& world = fake::World();
  Guard guard(world.lock);
  uint32_t ignored = 0;
  fake::RecordCall(world, "FindLibraryInSafeFolders", fake::Narrow(name), &ignored);
  const auto found = world.libraries.find(fake::LowerAscii(name));
  if (found == world.libraries.end()) return false;
  if (found->second.folder == fake::LibraryFolder::kProgram) {
    *path = world.module_path.substr(0, world.module_path.find_last_of(L'\\') + 1) + name;
    return true;
  }
  if (found->second.folder != fake::LibraryFolder::kSystem32) return false;
  *path = L"C:\\Windows\\System32\\" + name;
  return true;
}

void FreeLoadedLibrary(uintptr_t library) {
  fake::FakeWorld& world = fake::World();
  Guard guard(world.lock);
  uint32_t ignored = 0;
  fake::RecordCall(world, "FreeLoadedLibrary", "", &ignored);
  world.loaded_libraries.erase(library);
}

}  // namespace platform

namespace platform::fake {

void SeedLibrary(const std::wstring& name, const std::string& export_name, WideTextEntry entry,
                 LibraryFolder folder) {
  Guard guard(World().lock);
  World().libraries[LowerAscii(name)] = FakeLibrary{export_name, entry, folder};
}

void RemoveLibrary(const std::wstring& name) {
  Guard guard(World().lock);
  World().libraries.erase(LowerAscii(name));
}

int LoadedLibraryCount() {
  Guard guard(World().lock);
  return static_cast<int>(World().loaded_libraries.size());
}

}  // namespace platform::fake
