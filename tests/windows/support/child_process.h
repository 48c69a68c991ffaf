// Starts a program of ours as a child process and collects what it printed.
#pragma once

#include <windows.h>

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "unique_handle.h"

struct ChildResult {
  bool finished = false;  // false: could not start, or killed at the time limit
  uint32_t exit_code = 0;
  std::string out;  // raw bytes of standard output
  std::string err;  // raw bytes of standard error
};

// A child that runs while the test goes on; its output is read as it comes.
class BackgroundChild {
 public:
  BackgroundChild() = default;
  BackgroundChild(const BackgroundChild&) = delete;
  BackgroundChild& operator=(const BackgroundChild&) = delete;
  // Ends the child if it still runs.
  ~BackgroundChild();

  // Runs |program| (a full path) with |arguments| appended to its quoted path
  // as the command line, in |working_directory| (ours when empty).
  bool Start(const std::wstring& program, const std::wstring& arguments,
             const std::wstring& working_directory = L"");
  // Waits at most |timeout_ms| for the child to end; the result says whether it did.
  ChildResult Wait(uint32_t timeout_ms);
  // What it printed so far.
  std::string Out();
  std::string Err();

 private:
  struct Streams {
    std::mutex lock;
    std::string out;
    std::string err;
  };
  platform::win32::UniqueHandle process_;
  std::shared_ptr<Streams> streams_ = std::make_shared<Streams>();
  std::thread out_reader_;
  std::thread err_reader_;
};

// Runs a child to its end, or ends it at |timeout_ms|.
ChildResult RunChild(const std::wstring& program, const std::wstring& arguments, uint32_t timeout_ms,
                     const std::wstring& working_directory = L"");

// Full path of a file beside the running test program.
std::wstring PathBesideThisProgram(const std::wstring& file_name);
