#include "common/folder_files.h"

#include <algorithm>

#include "common/wide_text.h"

namespace quorvane {
namespace {

constexpr size_t kScrubBytes = 4096;
constexpr uint32_t kErrorDirNotEmpty = 145;
constexpr wchar_t kLeftoverSuffix[] = L".tmp";  // a replacement in progress

std::string FileName(const ServiceFolder& folder, const std::wstring& name) {
  return WideToUtf8(folder.path + L"\\" + name);
}

std::string Failed(const char* what, const ServiceFolder& folder, const std::wstring& name, uint32_t error_code) {
  return std::string(what) + " " + FileName(folder, name) + " failed (error " + std::to_string(error_code) + ")";
}

}  // namespace

OpenResult OpenFolderFile(const ServiceFolder& folder, const std::wstring& name, platform::FileOpen how,
                          platform::FileHandle* file, std::string* message) {
  uint32_t error_code = 0;
  if (!platform::OpenFileAt(folder.handle, name, how, ProtectedGrants(), file, &error_code)) {
    if (error_code == platform::kErrorFileNotFound) return OpenResult::kMissing;
    *message = Failed("opening", folder, name, error_code);
    return OpenResult::kFailed;
  }
  platform::HandleFacts facts;
  OpenResult result = OpenResult::kRefused;
  if (!platform::ReadHandleFacts(*file, &facts, &error_code)) {
    *message = Failed("checking", folder, name, error_code);
    result = OpenResult::kFailed;
  } else if ((facts.attributes & platform::kFileAttributeReparsePoint) != 0) {
    *message = "file " + FileName(folder, name) + " is a junction or link; left untouched";
  } else if (facts.links != 1) {
    *message = "file " + FileName(folder, name) + " has another name elsewhere (a hard link); left untouched";
  } else {
    return OpenResult::kOpened;
  }
  // Made by this open, as a link never is: nothing else can name it yet.
  if (how == platform::FileOpen::kCreateNew) platform::DeleteOpenFile(*file, &error_code);
  file->Reset();
  return result;
}

bool ReadServiceFile(const std::wstring& leaf, const std::wstring& name, std::string* bytes, bool* present,
                     std::string* message) {
  *present = false;
  bytes->clear();
  ServiceFolder folder;
  const OpenResult opened = OpenServiceFolder(leaf, false, &folder, message);
  if (opened != OpenResult::kOpened) return opened == OpenResult::kMissing;
  platform::FileHandle file;
  const OpenResult file_opened = OpenFolderFile(folder, name, platform::FileOpen::kRead, &file, message);
  if (file_opened != OpenResult::kOpened) return file_opened == OpenResult::kMissing;
  *present = true;
  uint32_t error_code = 0;
  if (platform::ReadFileBytes(file, bytes, &error_code)) return true;
  *message = Failed("reading", folder, name, error_code);
  return false;
}

bool ServiceFileMayExist(const std::wstring& leaf, const std::wstring& name) {
  ServiceFolder folder;
  std::string message;
  const OpenResult opened = OpenServiceFolder(leaf, false, &folder, &message);
  if (opened != OpenResult::kOpened) return opened != OpenResult::kMissing;
  platform::FileHandle file;
  return OpenFolderFile(folder, name, platform::FileOpen::kRead, &file, &message) != OpenResult::kMissing;
}

bool ReplaceFolderFile(const ServiceFolder& folder, const std::wstring& name, const std::string& bytes,
                       ReplaceStep* failed, std::string* message) {
  const std::wstring temporary = name + kLeftoverSuffix;
  platform::FileHandle file;
  *failed = ReplaceStep::kOpen;
  if (!DeleteFolderFile(folder, temporary, true, message) ||
      OpenFolderFile(folder, temporary, platform::FileOpen::kCreateNew, &file, message) != OpenResult::kOpened) {
    return false;
  }
  uint32_t error_code = 0;
  // Flushed before the rename, which alone does not flush the data.
  if (!platform::WriteFileBytes(file, bytes, &error_code) || !platform::FlushFile(file, &error_code)) {
    *failed = ReplaceStep::kWrite;
    *message = Failed("writing", folder, temporary, error_code);
    platform::DeleteOpenFile(file, &error_code);
    return false;
  }
  if (!platform::RenameOpenFile(file, folder.handle, name, true, &error_code)) {
    *failed = ReplaceStep::kRename;
    *message = Failed("renaming", folder, temporary, error_code);
    platform::DeleteOpenFile(file, &error_code);
    return false;
  }
  // Flushed and renamed: a failed close changes neither.
  platform::CloseFile(&file, &error_code);
  *failed = ReplaceStep::kNone;
  return true;
}

bool DeleteFolderFile(const ServiceFolder& folder, const std::wstring& name, bool scrub, std::string* message) {
  platform::FileHandle file;
  OpenResult opened = OpenResult::kFailed;
  if (scrub) opened = OpenFolderFile(folder, name, platform::FileOpen::kOverwrite, &file, message);
  const bool scrubbing = opened == OpenResult::kOpened;
  if (opened == OpenResult::kFailed) opened = OpenFolderFile(folder, name, platform::FileOpen::kRemove, &file, message);
  if (opened != OpenResult::kOpened) return opened == OpenResult::kMissing;
  uint32_t error_code = 0;
  uint64_t size = 0;
  if (scrubbing && platform::ReadFileSize(file, &size, &error_code)) {
    // Written over in place: a truncation would free the clusters with the key
    // still in them.
    const size_t zeros = std::max<size_t>(static_cast<size_t>(size), kScrubBytes);
    if (platform::WriteFileBytes(file, std::string(zeros, '\0'), &error_code)) platform::FlushFile(file, &error_code);
  }
  if (!platform::DeleteOpenFile(file, &error_code)) {
    *message = Failed("deleting", folder, name, error_code);
    return false;
  }
  if (!platform::CloseFile(&file, &error_code)) {
    *message = Failed("closing", folder, name, error_code);
    return false;
  }
  return true;
}

bool RemoveServiceFolder(const std::wstring& leaf, const std::vector<std::wstring>& names, std::string* message) {
  {
    ServiceFolder folder;
    const OpenResult opened = OpenServiceFolder(leaf, false, &folder, message);
    if (opened == OpenResult::kMissing) return true;
    if (opened != OpenResult::kOpened) return false;
    for (const std::wstring& name : names) {
      if (!DeleteFolderFile(folder, name, true, message) ||
          !DeleteFolderFile(folder, name + kLeftoverSuffix, true, message)) {
        return false;
      }
    }
  }  // closed: a folder held open cannot be deleted
  ServiceFolder root;
  if (OpenServiceFolder(L"", false, &root, message) != OpenResult::kOpened) return false;
  uint32_t error_code = 0;
  if (platform::DeleteEmptyDirectoryAt(root.handle, leaf, &error_code)) return true;
  *message = "folder " + WideToUtf8(root.path + L"\\" + leaf) + " stays (error " + std::to_string(error_code) +
             (error_code == kErrorDirNotEmpty ? ": it holds other files)" : ")");
  return false;
}

}  // namespace quorvane
