#include "platform/files.h"

#include <algorithm>

#include "fake_state.h"

namespace platform {
namespace {

using fake::FakeWorld;
using Guard = std::lock_guard<std::mutex>;

constexpr uint32_t kErrorInvalidHandle = 6;
constexpr uint32_t kFileAttributeNormal = 0x80;
constexpr uint32_t kErrorSharingViolation = 32;
constexpr uint32_t kErrorCantResolveFilename = 1921;
constexpr uint32_t kErrorDirNotEmpty = 145;
constexpr int kLinkHopsBound = 31;  // as Windows' bound on reparse hops

}  // namespace
}  // namespace platform

// Path keys, shared with the seeding calls (file_seeds.cpp).
namespace platform::fake {

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

void MakeDirectoriesLocked(FakeWorld& world, const std::wstring& key) {
  if (key.empty() || IsDriveRoot(key)) return;
  MakeDirectoriesLocked(world, ParentKey(key));
  world.files[key].directory = true;
}

}  // namespace platform::fake

namespace platform {
namespace {

using fake::DirectoryExistsLocked;
using fake::IsDriveRoot;
using fake::Key;
using fake::MakeDirectoriesLocked;
using fake::ParentKey;

// Where a path leads when every junction or link on the way is followed, the
// last component too only when |follow_last|, as a path-based open does.
bool ResolveLocked(FakeWorld& world, std::wstring key, bool follow_last, std::wstring* resolved,
                   uint32_t* error_code) {
  for (int hops = 0; hops <= kLinkHopsBound; ++hops) {
    bool redirected = false;
    for (size_t at = key.find(L'\\'); !redirected; at = key.find(L'\\', at + 1)) {
      const bool last = at == std::wstring::npos;
      if (last && !follow_last) break;
      const std::wstring prefix = last ? key : key.substr(0, at);
      const auto found = world.files.find(prefix);
      if (found != world.files.end() && found->second.reparse_point && !found->second.link_target.empty()) {
        key = Key(found->second.link_target) + (last ? L"" : key.substr(at));
        redirected = true;
      }
      if (last) break;
    }
    if (!redirected) {
      *resolved = key;
      return true;
    }
  }
  *error_code = kErrorCantResolveFilename;
  return false;
}

const fake::FakeOpenFile* OpenLocked(FakeWorld& world, const FileHandle& handle, uint32_t* error_code) {
  const auto open = world.open_files.find(handle.get());
  if (open != world.open_files.end()) return &open->second;
  *error_code = kErrorInvalidHandle;
  return nullptr;
}

FileHandle NewOpenFile(FakeWorld& world, const std::wstring& key, bool append) {
  const uintptr_t handle = fake::NewHandle(world);
  world.open_files[handle] = fake::FakeOpenFile{key, append, 0};
  return FileHandle(handle);
}

}  // namespace

bool CreateDirectories(const std::wstring& path, uint32_t* error_code) {
  FakeWorld& world = fake::World();
  Guard guard(world.lock);
  if (fake::RecordCall(world, "CreateDirectories", fake::Narrow(path), error_code)) return false;
  std::wstring key;
  if (!ResolveLocked(world, Key(path), true, &key, error_code)) return false;
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

bool WriteFileBytes(const FileHandle& file, const std::string& bytes, uint32_t* error_code) {
  FakeWorld& world = fake::World();
  Guard guard(world.lock);
  if (fake::RecordCall(world, "WriteFileBytes", std::to_string(bytes.size()), error_code)) return false;
  const auto open = world.open_files.find(file.get());
  if (open == world.open_files.end()) {
    *error_code = kErrorInvalidHandle;
    return false;
  }
  fake::FakeFile& target = world.files[open->second.key];
  if (open->second.append) open->second.position = target.bytes.size();
  std::string& content = target.bytes;
  if (content.size() < open->second.position + bytes.size()) content.resize(open->second.position + bytes.size());
  content.replace(open->second.position, bytes.size(), bytes);
  open->second.position += bytes.size();
  target.flushed = false;
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
    const std::wstring key = open->second.key;
    world.open_files.erase(open);
    const auto closed = world.files.find(key);
    const bool still_open = std::any_of(world.open_files.begin(), world.open_files.end(),
                                        [&](const auto& other) { return other.second.key == key; });
    if (closed != world.files.end() && !still_open) {
      closed->second.exclusive = false;
      if (closed->second.delete_on_close) world.files.erase(closed);
    }
  }
  return !failed;
}

void CloseFileQuietly(uintptr_t file) {
  FileHandle owned(file);
  uint32_t ignored = 0;
  CloseFile(&owned, &ignored);
}

bool ReadPathAccess(const std::wstring& path, PathAccess* access, uint32_t* error_code) {
  FakeWorld& world = fake::World();
  Guard guard(world.lock);
  if (fake::RecordCall(world, "ReadPathAccess", fake::Narrow(path), error_code)) return false;
  const auto found = world.path_access.find(Key(path));
  *access = found != world.path_access.end() ? found->second : fake::ProgramFilesAccess();
  return true;
}

// What was seeded for the path, else the list this process set (protected),
// else a list inherited from the parent, as a folder made by someone else has.
bool ReadHandleAccess(const FileHandle& handle, PathAccess* access, uint32_t* error_code) {
  FakeWorld& world = fake::World();
  Guard guard(world.lock);
  if (fake::RecordCall(world, "ReadHandleAccess", "", error_code)) return false;
  const fake::FakeOpenFile* open = OpenLocked(world, handle, error_code);
  if (open == nullptr) return false;
  const auto seeded = world.path_access.find(open->key);
  const fake::FakeFile& file = world.files[open->key];
  if (seeded != world.path_access.end()) {
    *access = seeded->second;
  } else if (file.dacl) {
    *access = PathAccess{file.owner_sid, true, true, {}};
    for (const AccessGrant& grant : *file.dacl) access->entries.push_back({grant.trustee_sid, grant.access_mask});
  } else {
    *access = fake::ProgramFilesAccess();
    access->owner_sid = file.owner_sid;
  }
  return true;
}

bool OpenDirectoryAt(const FileHandle& parent, const std::wstring& name, bool change, FileHandle* directory,
                     uint32_t* error_code) {
  directory->Reset();  // closed before the world is locked: a close locks it too
  FakeWorld& world = fake::World();
  Guard guard(world.lock);
  if (fake::RecordCall(world, "OpenDirectoryAt", fake::Narrow(name) + (change ? " change" : ""), error_code)) {
    return false;
  }
  std::wstring key;
  if (parent.valid()) {
    const fake::FakeOpenFile* root = OpenLocked(world, parent, error_code);
    if (root == nullptr) return false;
    key = root->key + L"\\" + Key(name);
  } else if (!ResolveLocked(world, Key(name), true, &key, error_code)) {
    return false;
  }
  if (!DirectoryExistsLocked(world, key)) {
    const auto found = world.files.find(key);
    *error_code = found != world.files.end()                  ? kErrorDirectory
                  : DirectoryExistsLocked(world, ParentKey(key)) ? kErrorFileNotFound
                                                                  : kErrorPathNotFound;
    return false;
  }
  *directory = NewOpenFile(world, key, false);
  return true;
}

bool CreateDirectoryAt(const FileHandle& parent, const std::wstring& name, const std::vector<AccessGrant>& grants,
                       const std::wstring& owner_sid, FileHandle* directory, uint32_t* error_code) {
  directory->Reset();  // closed before the world is locked: a close locks it too
  FakeWorld& world = fake::World();
  Guard guard(world.lock);
  if (fake::RecordCall(world, "CreateDirectoryAt", fake::Narrow(name) + " " + fake::Narrow(owner_sid), error_code)) {
    return false;
  }
  const fake::FakeOpenFile* root = OpenLocked(world, parent, error_code);
  if (root == nullptr) return false;
  const std::wstring key = root->key + L"\\" + Key(name);
  if (world.files.count(key) > 0) {
    *error_code = kErrorAlreadyExists;
    return false;
  }
  fake::FakeFile& made = world.files[key];
  made.directory = true;
  made.dacl = grants;
  made.owner_sid = owner_sid;
  *directory = NewOpenFile(world, key, false);
  return true;
}

bool OpenFileAt(const FileHandle& directory, const std::wstring& name, FileOpen how,
                const std::vector<AccessGrant>& grants, FileHandle* file, uint32_t* error_code) {
  file->Reset();  // closed before the world is locked: a close locks it too
  FakeWorld& world = fake::World();
  Guard guard(world.lock);
  if (fake::RecordCall(world, "OpenFileAt", fake::Narrow(name) + " " + std::to_string(static_cast<int>(how)),
                       error_code)) {
    return false;
  }
  const fake::FakeOpenFile* root = OpenLocked(world, directory, error_code);
  if (root == nullptr) return false;
  if (name.empty() || name.find_first_of(L"\\/:") != std::wstring::npos) {
    *error_code = kErrorInvalidName;
    return false;
  }
  const std::wstring key = root->key + L"\\" + Key(name);
  auto found = world.files.find(key);
  const bool exists = found != world.files.end();
  if (exists && found->second.directory) {
    *error_code = fake::kErrorAccessDenied;
    return false;
  }
  if (exists && found->second.held_elsewhere_for_tries != 0) {
    if (found->second.held_elsewhere_for_tries > 0) --found->second.held_elsewhere_for_tries;
    *error_code = kErrorSharingViolation;
    return false;
  }
  // Windows opens a read-only file for reading, deleting and its attributes only.
  if (exists && found->second.read_only &&
      (how == FileOpen::kOverwrite || how == FileOpen::kAppend || how == FileOpen::kScrub)) {
    *error_code = fake::kErrorAccessDenied;
    return false;
  }
  // An unshared open collides with any handle open on the file, this
  // process's own included.
  const bool unshared = how == FileOpen::kOverwrite || how == FileOpen::kCreateNew;
  if (exists && unshared &&
      std::any_of(world.open_files.begin(), world.open_files.end(),
                  [&key](const auto& other) { return other.second.key == key; })) {
    *error_code = kErrorSharingViolation;
    return false;
  }
  if (exists && (found->second.exclusive || found->second.delete_on_close)) {
    *error_code = found->second.exclusive ? kErrorSharingViolation : fake::kErrorAccessDenied;
    return false;
  }
  if (how == FileOpen::kCreateNew && exists) {
    *error_code = kErrorAlreadyExists;
    return false;
  }
  if (!exists && how != FileOpen::kAppend && how != FileOpen::kCreateNew) {
    *error_code = kErrorFileNotFound;
    return false;
  }
  if (!exists) {
    fake::FakeFile& made = world.files[key];
    made.dacl = grants;
    made.owner_sid = world.process_user_sid;
  }
  world.files[key].exclusive = how == FileOpen::kOverwrite || how == FileOpen::kCreateNew;
  *file = NewOpenFile(world, key, how == FileOpen::kAppend);
  return true;
}

bool DeleteEmptyDirectoryAt(const FileHandle& parent, const std::wstring& name, uint32_t* error_code) {
  FakeWorld& world = fake::World();
  Guard guard(world.lock);
  if (fake::RecordCall(world, "DeleteEmptyDirectoryAt", fake::Narrow(name), error_code)) return false;
  const fake::FakeOpenFile* root = OpenLocked(world, parent, error_code);
  if (root == nullptr) return false;
  const std::wstring key = root->key + L"\\" + Key(name);
  const auto found = world.files.find(key);
  if (found == world.files.end() || !found->second.directory) {
    *error_code = found == world.files.end() ? kErrorFileNotFound : kErrorDirectory;
    return false;
  }
  const auto child = world.files.lower_bound(key + L"\\");
  const bool empty = child == world.files.end() || child->first.rfind(key + L"\\", 0) != 0;
  const bool open = std::any_of(world.open_files.begin(), world.open_files.end(),
                                [&](const auto& other) { return other.second.key == key; });
  if (!empty || open) {
    *error_code = !empty ? kErrorDirNotEmpty : kErrorSharingViolation;
    return false;
  }
  world.files.erase(found);
  return true;
}

bool ReadHandleFacts(const FileHandle& handle, HandleFacts* facts, uint32_t* error_code) {
  FakeWorld& world = fake::World();
  Guard guard(world.lock);
  if (fake::RecordCall(world, "ReadHandleFacts", "", error_code)) return false;
  const fake::FakeOpenFile* open = OpenLocked(world, handle, error_code);
  if (open == nullptr) return false;
  const auto found = world.files.find(open->key);
  const fake::FakeFile entry = found != world.files.end() ? found->second : fake::FakeFile{};
  facts->attributes = entry.directory || IsDriveRoot(open->key) ? kFileAttributeDirectory : kFileAttributeNormal;
  if (entry.reparse_point) facts->attributes |= kFileAttributeReparsePoint;
  if (entry.read_only) facts->attributes |= kFileAttributeReadOnly;
  facts->links = 1;
  facts->owner_sid = entry.owner_sid;
  facts->final_path = open->key;
  return true;
}

bool ReadFileBytes(const FileHandle& file, std::string* bytes, uint32_t* error_code) {
  FakeWorld& world = fake::World();
  Guard guard(world.lock);
  if (fake::RecordCall(world, "ReadFileBytes", "", error_code)) return false;
  const fake::FakeOpenFile* open = OpenLocked(world, file, error_code);
  if (open == nullptr) return false;
  *bytes = world.files[open->key].bytes;
  return true;
}

bool ReadFileSize(const FileHandle& file, uint64_t* size, uint32_t* error_code) {
  FakeWorld& world = fake::World();
  Guard guard(world.lock);
  if (fake::RecordCall(world, "ReadFileSize", "", error_code)) return false;
  const fake::FakeOpenFile* open = OpenLocked(world, file, error_code);
  if (open == nullptr) return false;
  *size = world.files[open->key].bytes.size();
  return true;
}

bool FlushFile(const FileHandle& file, uint32_t* error_code) {
  FakeWorld& world = fake::World();
  Guard guard(world.lock);
  if (fake::RecordCall(world, "FlushFile", "", error_code)) return false;
  const fake::FakeOpenFile* open = OpenLocked(world, file, error_code);
  if (open == nullptr) return false;
  world.files[open->key].flushed = true;
  return true;
}

bool ClearReadOnly(const FileHandle& file, uint32_t* error_code) {
  FakeWorld& world = fake::World();
  Guard guard(world.lock);
  if (fake::RecordCall(world, "ClearReadOnly", "", error_code)) return false;
  const fake::FakeOpenFile* open = OpenLocked(world, file, error_code);
  if (open == nullptr) return false;
  world.files[open->key].read_only = false;
  return true;
}

bool DeleteOpenFile(const FileHandle& file, uint32_t* error_code) {
  FakeWorld& world = fake::World();
  Guard guard(world.lock);
  if (fake::RecordCall(world, "DeleteOpenFile", "", error_code)) return false;
  const fake::FakeOpenFile* open = OpenLocked(world, file, error_code);
  if (open == nullptr) return false;
  world.files[open->key].delete_on_close = true;
  return true;
}

bool RenameOpenFile(const FileHandle& file, const FileHandle& directory, const std::wstring& name, bool replace,
                    uint32_t* error_code) {
  FakeWorld& world = fake::World();
  Guard guard(world.lock);
  if (fake::RecordCall(world, "RenameOpenFile", fake::Narrow(name) + (replace ? " replace" : ""), error_code)) {
    return false;
  }
  const fake::FakeOpenFile* open = OpenLocked(world, file, error_code);
  const fake::FakeOpenFile* root = open != nullptr ? OpenLocked(world, directory, error_code) : nullptr;
  if (root == nullptr) return false;
  const std::wstring from = open->key;
  const std::wstring to = root->key + L"\\" + Key(name);
  const auto target = world.files.find(to);
  if (target != world.files.end() && (target->second.directory || !replace)) {
    *error_code = target->second.directory ? fake::kErrorAccessDenied : kErrorAlreadyExists;
    return false;
  }
  // The rename with POSIX semantics replaces a read-only target too, but not
  // one another program holds without delete sharing.
  if (target != world.files.end() && target->second.held_elsewhere_for_tries != 0) {
    if (target->second.held_elsewhere_for_tries > 0) --target->second.held_elsewhere_for_tries;
    *error_code = fake::kErrorAccessDenied;
    return false;
  }
  // A replaced target that is still open lives on, nameless, for its handles
  // (POSIX semantics), and goes with the last of them.
  if (target != world.files.end() &&
      std::any_of(world.open_files.begin(), world.open_files.end(),
                  [&](const auto& other) { return other.second.key == to; })) {
    const std::wstring orphan = to + L"|replaced|" + std::to_wstring(fake::NewHandle(world));
    world.files[orphan] = target->second;
    world.files[orphan].delete_on_close = true;
    for (auto& other : world.open_files) {
      if (other.second.key == to) other.second.key = orphan;
    }
  }
  // The moved file keeps its own security descriptor, as on Windows.
  const fake::FakeFile moved = world.files[from];
  world.files.erase(from);
  world.files[to] = moved;
  for (auto& other : world.open_files) {
    if (other.second.key == from) other.second.key = to;
  }
  return true;
}

bool SetProtectedDaclOn(const FileHandle& handle, const std::vector<AccessGrant>& grants, uint32_t* error_code) {
  FakeWorld& world = fake::World();
  Guard guard(world.lock);
  if (fake::RecordCall(world, "SetProtectedDaclOn", "", error_code)) return false;
  const fake::FakeOpenFile* open = OpenLocked(world, handle, error_code);
  if (open == nullptr) return false;
  world.files[open->key].dacl = grants;
  return true;
}

}  // namespace platform
