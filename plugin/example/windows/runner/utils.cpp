#include "utils.h"

#include <windows.h>
#include <shellapi.h>

#include <cstdio>
#include <iostream>
#include <io.h>

void CreateAndAttachConsole() {
  if (!::AllocConsole()) return;
  FILE* unused = nullptr;
  if (freopen_s(&unused, "CONOUT$", "w", stdout) == 0) _dup2(_fileno(stdout), 1);
  if (freopen_s(&unused, "CONOUT$", "w", stderr) == 0) _dup2(_fileno(stdout), 2);
  std::ios::sync_with_stdio();
}

std::vector<std::string> GetCommandLineArguments() {
  int count = 0;
  wchar_t** arguments = ::CommandLineToArgvW(::GetCommandLineW(), &count);
  if (arguments == nullptr) return {};
  std::vector<std::string> result;
  for (int i = 1; i < count; ++i) result.push_back(Utf8FromUtf16(arguments[i]));  // the program is left out
  ::LocalFree(arguments);
  return result;
}

std::string Utf8FromUtf16(const wchar_t* utf16) {
  if (utf16 == nullptr) return std::string();
  const int length = ::WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, utf16, -1, nullptr, 0, nullptr, nullptr);
  if (length <= 1) return std::string();  // the count includes the terminator
  std::string utf8(static_cast<size_t>(length - 1), '\0');
  if (::WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, utf16, -1, utf8.data(), length, nullptr, nullptr) == 0) {
    return std::string();
  }
  return utf8;
}
