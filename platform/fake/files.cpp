#include "platform/files.h"

#include "fake_state.h"

namespace platform {
namespace {

using fake::FakeWorld;
using Guard = std::lock_guard<std::mutex>;

constexpr uint32_t kErrorInvalidHandle = 6;
constexpr uint32_t kFileAttributeNormal = 0x80;
constexpr uint32_t kErrorSharingViolation = 32;
constexpr uint32_t kErrorFileExists = 80;

std::wstring Key(const std::wstring& path) {
  std::wstring key = fake::LowerAscii(path);
  for (wchar_t& c : key) {
    if (c == L'/') c = L'\\';
  }
  while (key.size() > 3 && key.back() == L'\\') key.pop_back();
  return key;
}

std::wstring ParentKey(const std::wstring& key) {
  const size_t slash = key.find_last_of(L'\\');
  return slash == std::wstring::npos ? std::wstring() : key.substr(0, slash);
}

bool IsDriveRoot(const std::wstring& key) { return key.size() == 2 && key[1] == L':'; }

bool DirectoryExistsLocked(FakeWorld& world, const std::wstring& key) {
  if (IsDriveRoot(key)) return true;
  const auto found = world.files.find(key);
  return found != world.files.end() && found->second.directory;
}

// A file may be made where its parent directory exists.
bool CheckParent(FakeWorld& world, const std::wstring& key, uint32_t* error_code) {
  if (DirectoryExistsLocked(world, ParentKey(key))) return true;
  *error_code = kErrorPathNotFound;
  return false;
}

void MakeDirectoriesLocked(FakeWorld& world, const std::wstring& key) {
  if (key.empty() || IsDriveRoot(key)) return;
  MakeDirectoriesLocked(world, ParentKey(key));
  world.files[key].directory = true;
}

}  // namespace

bool CreateDirectories(const std::wstring& path, uint32_t* error_code) {
  FakeWorld& world = fake::World();
  Guard guard(world.lock);
  if (fake::RecordCall(world, "CreateDirectories", fake::Narrow(path), error_code)) return false;
  const std::wstring key = Key(path);
  for (std::wstring at = key; !at.empty() && !IsDriveRoot(at); at = ParentKey(at)) {
    const auto found = world.files.find(at);
    if (found != world.files.end() && !found->second.directory) {
      *error_code = kErrorAlreadyExists;
      return false;
    }
  }
  MakeDirectoriesLocked(world, key);
  return true;
}

bool GetPathAttributes(const std::wstring& path, uint32_t* attributes, uint32_t* error_code) {
  FakeWorld& world = fake::World();
  Guard guard(world.lock);
  if (fake::RecordCall(world, "GetPathAttributes", fake::Narrow(path), error_code)) return false;
  const std::wstring key = Key(path);
  if (DirectoryExistsLocked(world, key)) {
    *attributes = kFileAttributeDirectory;
    const auto found = world.files.find(key);
    if (found != world.files.end() && found->second.reparse_point) *attributes |= kFileAttributeReparsePoint;
    return true;
  }
  if (world.files.count(key) == 0) {
    *error_code = DirectoryExistsLocked(world, ParentKey(key)) ? kErrorFileNotFound : kErrorPathNotFound;
    return false;
  }
  *attributes = kFileAttributeNormal;
  return true;
}

bool OpenFileForWrite(const std::wstring& path, FileHandle* file, uint32_t* error_code) {
  FakeWorld& world = fake::World();
  Guard guard(world.lock);
  if (fake::RecordCall(world, "OpenFileForWrite", fake::Narrow(path), error_code)) return false;
  const std::wstring key = Key(path);
  if (!CheckParent(world, key, error_code)) return false;
  fake::FakeFile& target = world.files[key];
  if (target.directory) {
    *error_code = fake::kErrorAccessDenied;
    return false;
  }
  if (target.exclusive) {
    *error_code = kErrorSharingViolation;
    return false;
  }
  target.bytes.clear();
  target.flushed = false;
  const uintptr_t handle = fake::NewHandle(world);
  world.open_files[handle] = key;
  *file = FileHandle(handle);
  return true;
}

bool WriteFileBytes(const FileHandle& file, const std::string& bytes, uint32_t* error_code) {
  FakeWorld& world = fake::World();
  Guard guard(world.lock);
  if (fake::RecordCall(world, "WriteFileBytes", std::to_string(bytes.size()), error_code)) return false;
  const auto open = world.open_files.find(file.get());
  if (open == world.open_files.end()) {
    *error_code = kErrorInvalidHandle;
    return false;
  }
  world.files[open->second].bytes += bytes;
  world.files[open->second].flushed = false;
  return true;
}

bool CloseFile(FileHandle* file, uint32_t* error_code) {
  if (!file->valid()) return true;
  const uintptr_t handle = file->Release();
  FakeWorld& world = fake::World();
  Guard guard(world.lock);
  // The handle is gone whether or not the close reports a failure.
  const bool failed = fake::RecordCall(world, "CloseFile", "", error_code);
  const auto open = world.open_files.find(handle);
  if (open != world.open_files.end()) {
    const auto closed = world.files.find(open->second);
    if (closed != world.files.end()) closed->second.exclusive = false;
    world.open_files.erase(open);
  }
  return !failed;
}

void CloseFileQuietly(uintptr_t file) {
  FileHandle owned(file);
  uint32_t ignored = 0;
  CloseFile(&owned, &ignored);
}

bool MoveFileWithFlags(const std::wstring& from, const std::wstring& to, uint32_t flags, uint32_t* error_code) {
  FakeWorld& world = fake::World();
  Guard guard(world.lock);
  if (fake::RecordCall(world, "MoveFileWithFlags",
                       fake::Narrow(from) + " " + fake::Narrow(to) + " " + std::to_string(flags), error_code)) {
    return false;
  }
  const std::wstring from_key = Key(from);
  const std::wstring to_key = Key(to);
  const auto source = world.files.find(from_key);
  if (source == world.files.end() || source->second.directory) {
    *error_code = kErrorFileNotFound;
    return false;
  }
  if (!CheckParent(world, to_key, error_code)) return false;
  const auto target = world.files.find(to_key);
  if (target != world.files.end() && (target->second.directory || (flags & kMoveFileReplaceExisting) == 0)) {
    *error_code = kErrorAlreadyExists;
    return false;
  }
  // The moved file keeps its own security descriptor, as on Windows.
  fake::FakeFile moved = source->second;
  world.files.erase(source);
  world.files[to_key] = moved;
  return true;
}

bool DeleteFilePath(const std::wstring& path, uint32_t* error_code) {
  FakeWorld& world = fake::World();
  Guard guard(world.lock);
  if (fake::RecordCall(world, "DeleteFilePath", fake::Narrow(path), error_code)) return false;
  const auto found = world.files.find(Key(path));
  if (found == world.files.end()) {
    *error_code = kErrorFileNotFound;
    return false;
  }
  if (found->second.directory) {
    *error_code = fake::kErrorAccessDenied;
    return false;
  }
  world.files.erase(found);
  return true;
}

bool SetProtectedDacl(const std::wstring& path, const std::vector<AccessGrant>& grants, uint32_t* error_code) {
  FakeWorld& world = fake::World();
  Guard guard(world.lock);
  if (fake::RecordCall(world, "SetProtectedDacl", fake::Narrow(path), error_code)) return false;
  const auto found = world.files.find(Key(path));
  if (found == world.files.end()) {
    *error_code = kErrorFileNotFound;
    return false;
  }
  found->second.dacl = grants;
  return true;
}

bool CreateProtectedDirectory(const std::wstring& path, const std::vector<AccessGrant>& grants,
                              const std::wstring& owner_sid, uint32_t* error_code) {
  FakeWorld& world = fake::World();
  Guard guard(world.lock);
  if (fake::RecordCall(world, "CreateProtectedDirectory", fake::Narrow(path) + " " + fake::Narrow(owner_sid),
                       error_code)) {
    return false;
  }
  const std::wstring key = Key(path);
  if (!CheckParent(world, key, error_code)) return false;
  if (IsDriveRoot(key) || world.files.count(key) > 0) {
    *error_code = kErrorAlreadyExists;
    return false;
  }
  fake::FakeFile& made = world.files[key];
  made.directory = true;
  made.dacl = grants;
  made.owner_sid = owner_sid;
  return true;
}

bool ReadPathFacts(const std::wstring& path, PathFacts* facts, uint32_t* error_code) {
  FakeWorld& world = fake::World();
  Guard guard(world.lock);
  if (fake::RecordCall(world, "ReadPathFacts", fake::Narrow(path), error_code)) return false;
  const std::wstring key = Key(path);
  const auto found = world.files.find(key);
  if (found == world.files.end()) {
    *error_code = DirectoryExistsLocked(world, ParentKey(key)) ? kErrorFileNotFound : kErrorPathNotFound;
    return false;
  }
  facts->attributes = found->second.directory ? kFileAttributeDirectory : kFileAttributeNormal;
  if (found->second.reparse_point) facts->attributes |= kFileAttributeReparsePoint;
  facts->owner_sid = found->second.owner_sid;
  return true;
}

bool ReadPathAccess(const std::wstring& path, PathAccess* access, uint32_t* error_code) {
  FakeWorld& world = fake::World();
  Guard guard(world.lock);
  if (fake::RecordCall(world, "ReadPathAccess", fake::Narrow(path), error_code)) return false;
  const auto found = world.path_access.find(Key(path));
  *access = found != world.path_access.end() ? found->second : fake::ProgramFilesAccess();
  return true;
}

bool CreateProtectedFile(const std::wstring& path, const std::vector<AccessGrant>& grants, FileHandle* file,
                         uint32_t* error_code) {
  FakeWorld& world = fake::World();
  Guard guard(world.lock);
  if (fake::RecordCall(world, "CreateProtectedFile", fake::Narrow(path), error_code)) return false;
  const std::wstring key = Key(path);
  if (!CheckParent(world, key, error_code)) return false;
  if (world.files.count(key) > 0) {
    *error_code = kErrorFileExists;
    return false;
  }
  fake::FakeFile& made = world.files[key];
  made.dacl = grants;
  made.owner_sid = world.process_user_sid;
  made.exclusive = true;
  const uintptr_t handle = fake::NewHandle(world);
  world.open_files[handle] = key;
  *file = FileHandle(handle);
  return true;
}

bool AppendToProtectedFile(const std::wstring& path, const std::vector<AccessGrant>& grants, const std::string& bytes,
                           uint64_t* size, uint32_t* error_code) {
  FakeWorld& world = fake::World();
  Guard guard(world.lock);
  if (fake::RecordCall(world, "AppendToProtectedFile", fake::Narrow(path), error_code)) return false;
  const std::wstring key = Key(path);
  if (!CheckParent(world, key, error_code)) return false;
  const bool made = world.files.count(key) == 0;
  fake::FakeFile& file = world.files[key];
  if (file.directory) {
    *error_code = fake::kErrorAccessDenied;
    return false;
  }
  if (made) {
    file.dacl = grants;
    file.owner_sid = world.process_user_sid;
  }
  file.bytes += bytes;
  *size = file.bytes.size();
  return true;
}

bool ReadWholeFile(const std::wstring& path, std::string* bytes, uint32_t* error_code) {
  FakeWorld& world = fake::World();
  Guard guard(world.lock);
  if (fake::RecordCall(world, "ReadWholeFile", fake::Narrow(path), error_code)) return false;
  const std::wstring key = Key(path);
  const auto found = world.files.find(key);
  if (found == world.files.end() || found->second.directory) {
    *error_code = found != world.files.end() ? fake::kErrorAccessDenied
                  : DirectoryExistsLocked(world, ParentKey(key)) ? kErrorFileNotFound
                                                                  : kErrorPathNotFound;
    return false;
  }
  *bytes = found->second.bytes;
  return true;
}

bool FlushFile(const FileHandle& file, uint32_t* error_code) {
  FakeWorld& world = fake::World();
  Guard guard(world.lock);
  if (fake::RecordCall(world, "FlushFile", "", error_code)) return false;
  const auto open = world.open_files.find(file.get());
  if (open == world.open_files.end()) {
    *error_code = kErrorInvalidHandle;
    return false;
  }
  world.files[open->second].flushed = true;
  return true;
}

}  // namespace platform

namespace platform::fake {

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
  World().files[key] = FakeFile{bytes, false, std::nullopt};
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
