#include "common/folder_files.h"

#include <algorithm>

#include "common/wide_text.h"
#include "platform/process.h"

namespace quorvane {
namespace {

constexpr size_t kScrubBytes = 4096;
constexpr uint32_t kErrorDirNotEmpty = 145;
constexpr wchar_t kLeftoverSuffix[] = L".tmp";  // a replacement in progress

// Written over in place, 4 KiB at least, and flushed: a truncation would
// free the clusters with the key still in them.
void Scrub(const platform::FileHandle& file) {
  uint32_t error_code = 0;
  uint64_t size = 0;
  if (!platform::ReadFileSize(file, &size, &error_code)) return;
  const size_t zeros = std::max<size_t>(static_cast<size_t>(size), kScrubBytes);
  if (platform::WriteFileBytes(file, std::string(zeros, '\0'), &error_code)) platform::FlushFile(file, &error_code);
}

std::string FileName(const ServiceFolder& folder, const std::wstring& name) {
  return WideToUtf8(folder.path + L"\\" + name);
}

std::string Failed(const char* what, const ServiceFolder& folder, const std::wstring& name, uint32_t error_code) {
  return std::string(what) + " " + FileName(folder, name) + " failed (error " + std::to_string(error_code) + ")";
}

constexpr uint32_t kErrorAccessDenied = 5;
constexpr uint32_t kErrorSharingViolation = 32;

std::string HeldNote(uint32_t error_code) {
  return error_code == kErrorSharingViolation ? ": another program holds it" : "";
}

// Clears the read-only attribute of an existing |name|, which the plain
// rename could not replace otherwise.
void ClearEarlierReadOnly(const ServiceFolder& folder, const std::wstring& name) {
  std::string ignored;
  platform::FileHandle file;
  if (OpenFolderFile(folder, name, platform::FileOpen::kRemove, &file, &ignored) != OpenResult::kOpened) return;
  uint32_t error_code = 0;
  platform::ClearReadOnly(file, &error_code);
}

// Renames |file| over |name|, trying again for a moment while another program
// holds the target.
bool RenameOver(const ServiceFolder& folder, const platform::FileHandle& file, const std::wstring& name,
                uint32_t* error_code) {
  for (int tried = 1; !platform::RenameOpenFile(file, folder.handle, name, true, error_code); ++tried) {
    if ((*error_code != kErrorAccessDenied && *error_code != kErrorSharingViolation) || tried >= kHeldTries) {
      return false;
    }
    platform::SleepMilliseconds(kHeldRetryMs);
  }
  return true;
}

}  // namespace

OpenResult OpenFolderFile(const ServiceFolder& folder, const std::wstring& name, platform::FileOpen how,
                          platform::FileHandle* file, std::string* message) {
  uint32_t error_code = 0;
  for (int tried = 1; !platform::OpenFileAt(folder.handle, name, how, ProtectedGrants(), file, &error_code); ++tried) {
    if (error_code == platform::kErrorFileNotFound) return OpenResult::kMissing;
    if (error_code != kErrorSharingViolation || tried >= kHeldTries) {
      *message = Failed("opening", folder, name, error_code) + HeldNote(error_code);
      return OpenResult::kFailed;
    }
    platform::SleepMilliseconds(kHeldRetryMs);
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

bool ReplaceFolderFile(const ServiceFolder& folder, const std::wstring& name, const std::string& bytes, bool scrub,
                       ReplaceStep* failed, std::string* message) {
  const std::wstring temporary = name + kLeftoverSuffix;
  platform::FileHandle file;
  *failed = ReplaceStep::kOpen;
  if (!DeleteFolderFile(folder, temporary, scrub, message) ||
      OpenFolderFile(folder, temporary, platform::FileOpen::kCreateNew, &file, message) != OpenResult::kOpened) {
    return false;
  }
  uint32_t error_code = 0;
  // Flushed before the rename, which alone does not flush the data.
  if (!platform::WriteFileBytes(file, bytes, &error_code) || !platform::FlushFile(file, &error_code)) {
    *failed = ReplaceStep::kWrite;
    *message = Failed("writing", folder, temporary, error_code);
    file.Reset();
    std::string left;
    DeleteFolderFile(folder, temporary, scrub, &left);
    return false;
  }
  ClearEarlierReadOnly(folder, name);
  // The earlier file, held while it is replaced and scrubbed only then: a
  // replacement that fails leaves it whole. Where the system cannot replace
  // a file that is held (the plain rename), it is let go and left unscrubbed.
  platform::FileHandle earlier;
  std::string ignored;
  if (scrub) OpenFolderFile(folder, name, platform::FileOpen::kScrub, &earlier, &ignored);
  bool renamed = RenameOver(folder, file, name, &error_code);
  const bool held = error_code == kErrorAccessDenied || error_code == kErrorSharingViolation;
  if (!renamed && held && earlier.valid()) {
    earlier.Reset();
    renamed = RenameOver(folder, file, name, &error_code);
  }
  if (!renamed) {
    *failed = ReplaceStep::kRename;
    *message = Failed("renaming", folder, temporary, error_code) +
               (error_code == kErrorAccessDenied || error_code == kErrorSharingViolation
                    ? ": another program holds " + FileName(folder, name)
                    : "");
    file.Reset();
    DeleteFolderFile(folder, temporary, scrub, &ignored);
    return false;
  }
  if (earlier.valid()) Scrub(earlier);
  // Flushed and renamed: a failed close changes neither.
  platform::CloseFile(&file, &error_code);
  *failed = ReplaceStep::kNone;
  return true;
}

bool DeleteFolderFile(const ServiceFolder& folder, const std::wstring& name, bool scrub, std::string* message) {
  platform::FileHandle file;
  OpenResult opened = OpenFolderFile(folder, name, platform::FileOpen::kRemove, &file, message);
  if (opened != OpenResult::kOpened) return opened == OpenResult::kMissing;
  uint32_t error_code = 0;
  // Read-only (restored from a backup, "attrib +r"): cleared, or it could be
  // neither scrubbed nor, on some systems, deleted.
  platform::ClearReadOnly(file, &error_code);
  if (scrub) {
    // The unshared open for writing would collide with this handle: let go
    // of it first, and take it again where writing is refused.
    file.Reset();
    std::string ignored;
    if (OpenFolderFile(folder, name, platform::FileOpen::kOverwrite, &file, &ignored) == OpenResult::kOpened) {
      Scrub(file);
    } else {
      opened = OpenFolderFile(folder, name, platform::FileOpen::kRemove, &file, message);
      if (opened != OpenResult::kOpened) return opened == OpenResult::kMissing;
    }
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
