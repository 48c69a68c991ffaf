// A folder of its own for one test, removed with everything in it afterwards.
#pragma once

#include <string>

class ScopedTempDirectory {
 public:
  // |name| is made unique with the process id; it may hold spaces.
  explicit ScopedTempDirectory(const std::wstring& name);
  ScopedTempDirectory(const ScopedTempDirectory&) = delete;
  ScopedTempDirectory& operator=(const ScopedTempDirectory&) = delete;
  ~ScopedTempDirectory();
  const std::wstring& path() const { return path_; }

 private:
  std::wstring path_;
};

// The whole content of a file, or |missing| when it cannot be read.
std::string ReadFileBytes(const std::wstring& path, const std::string& missing = "<missing>");
bool PathExists(const std::wstring& path);
