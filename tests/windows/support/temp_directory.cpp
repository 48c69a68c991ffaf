#include "temp_directory.h"

#include <windows.h>

#include <filesystem>
#include <fstream>
#include <iterator>

ScopedTempDirectory::ScopedTempDirectory(const std::wstring& name) {
  wchar_t temp[MAX_PATH + 1] = {};
  GetTempPathW(MAX_PATH, temp);
  path_ = std::wstring(temp) + name + L" " + std::to_wstring(GetCurrentProcessId());
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
  std::filesystem::create_directories(path_, ignored);
}

ScopedTempDirectory::~ScopedTempDirectory() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

std::string ReadFileBytes(const std::wstring& path, const std::string& missing) {
  std::ifstream file(std::filesystem::path(path), std::ios::binary);
  if (!file) return missing;
  return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

bool PathExists(const std::wstring& path) { return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }
