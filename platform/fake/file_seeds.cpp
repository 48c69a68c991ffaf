#include "fake_state.h"

// The fake's files as tests seed and inspect them.
namespace platform::fake {
namespace {
using Guard = std::lock_guard<std::mutex>;
}  // namespace


void SeedLink(const std::wstring& path, const std::wstring& target, bool directory) {
  Guard guard(World().lock);
  const std::wstring key = Key(path);
  MakeDirectoriesLocked(World(), ParentKey(key));
  FakeFile& link = World().files[key];
  link = FakeFile{};
  link.directory = directory;
  link.reparse_point = true;
  link.link_target = target;
}

void SeedForeignDirectory(const std::wstring& path, const std::wstring& owner_sid, bool junction) {
  Guard guard(World().lock);
  const std::wstring key = Key(path);
  MakeDirectoriesLocked(World(), key);
  World().files[key].owner_sid = owner_sid;
  World().files[key].reparse_point = junction;
}

std::optional<std::wstring> PathOwner(const std::wstring& path) {
  Guard guard(World().lock);
  const auto found = World().files.find(Key(path));
  if (found == World().files.end()) return std::nullopt;
  return found->second.owner_sid;
}

void SetFileReadOnly(const std::wstring& path, bool read_only) {
  Guard guard(World().lock);
  World().files[Key(path)].read_only = read_only;
}

void SetFileHeldElsewhere(const std::wstring& path, int tries) {
  Guard guard(World().lock);
  World().files[Key(path)].held_elsewhere_for_tries = tries;
}

bool FileFlushed(const std::wstring& path) {
  Guard guard(World().lock);
  const auto found = World().files.find(Key(path));
  return found != World().files.end() && found->second.flushed;
}

void SeedDirectory(const std::wstring& path) {
  Guard guard(World().lock);
  MakeDirectoriesLocked(World(), Key(path));
}

void SeedFile(const std::wstring& path, const std::string& bytes) {
  Guard guard(World().lock);
  const std::wstring key = Key(path);
  MakeDirectoriesLocked(World(), ParentKey(key));
  World().files[key] = FakeFile{};
  World().files[key].bytes = bytes;
}

std::optional<std::string> FileContent(const std::wstring& path) {
  Guard guard(World().lock);
  const auto found = World().files.find(Key(path));
  if (found == World().files.end() || found->second.directory) return std::nullopt;
  return found->second.bytes;
}

bool DirectoryExists(const std::wstring& path) {
  Guard guard(World().lock);
  return DirectoryExistsLocked(World(), Key(path));
}

std::optional<std::vector<AccessGrant>> AppliedDacl(const std::wstring& path) {
  Guard guard(World().lock);
  const auto found = World().files.find(Key(path));
  if (found == World().files.end()) return std::nullopt;
  return found->second.dacl;
}

int OpenFileCount() {
  Guard guard(World().lock);
  return static_cast<int>(World().open_files.size());
}

PathAccess ProgramFilesAccess() {
  const std::wstring trusted_installer = L"S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464";
  PathAccess access;
  access.owner_sid = trusted_installer;
  access.entries = {{L"S-1-5-18", 0x1F01FF, true, false},
                    {L"S-1-5-32-544", 0x1F01FF, true, false},
                    {L"S-1-5-32-545", 0x1200A9, true, false},
                    {trusted_installer, 0x1F01FF, true, false},
                    {L"S-1-3-0", 0x10000000, true, true}};
  return access;
}

void SeedPathAccess(const std::wstring& path, const PathAccess& access) {
  Guard guard(World().lock);
  World().path_access[LowerAscii(path)] = access;
}

}  // namespace platform::fake
