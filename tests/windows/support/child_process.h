// Starts a program of ours as a child process and collects what it printed.
#pragma once

#include <cstdint>
#include <string>

struct ChildResult {
  bool finished = false;  // false: could not start, or killed at the time limit
  uint32_t exit_code = 0;
  std::string out;  // raw bytes of standard output
  std::string err;  // raw bytes of standard error
};

// Runs |program| (a full path) with |arguments| appended to its quoted path as
// the command line, and waits at most |timeout_ms|. The child works in
// |working_directory|, or in ours when that is empty.
ChildResult RunChild(const std::wstring& program, const std::wstring& arguments, uint32_t timeout_ms,
                     const std::wstring& working_directory = L"");

// Full path of a file beside the running test program.
std::wstring PathBesideThisProgram(const std::wstring& file_name);
