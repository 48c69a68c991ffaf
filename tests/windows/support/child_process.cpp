#include "child_process.h"

#include <windows.h>

#include <thread>
#include <vector>

#include "unique_handle.h"

using platform::win32::UniqueHandle;

namespace {

void Drain(HANDLE pipe, std::string* into) {
  char buffer[4096];
  DWORD got = 0;
  while (ReadFile(pipe, buffer, sizeof(buffer), &got, nullptr) && got > 0) into->append(buffer, got);
}

bool MakeInheritablePipe(UniqueHandle* read_end, UniqueHandle* write_end) {
  SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
  if (!CreatePipe(read_end->receive(), write_end->receive(), &inherit, 0)) return false;
  return SetHandleInformation(read_end->get(), HANDLE_FLAG_INHERIT, 0) != FALSE;
}

}  // namespace

ChildResult RunChild(const std::wstring& program, const std::wstring& arguments, uint32_t timeout_ms,
                     const std::wstring& working_directory) {
  ChildResult result;
  UniqueHandle out_read, out_write, err_read, err_write;
  if (!MakeInheritablePipe(&out_read, &out_write) || !MakeInheritablePipe(&err_read, &err_write)) return result;

  STARTUPINFOW startup{};
  startup.cb = sizeof(startup);
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
  startup.hStdOutput = out_write.get();
  startup.hStdError = err_write.get();
  std::wstring command_line = L"\"" + program + L"\"" + (arguments.empty() ? L"" : L" " + arguments);
  std::vector<wchar_t> writable(command_line.begin(), command_line.end());
  writable.push_back(L'\0');
  PROCESS_INFORMATION info{};
  if (!CreateProcessW(program.c_str(), writable.data(), nullptr, nullptr, TRUE, 0, nullptr,
                      working_directory.empty() ? nullptr : working_directory.c_str(), &startup,
                      &info)) {
    return result;
  }
  UniqueHandle process(info.hProcess);
  UniqueHandle thread(info.hThread);
  // Our copies of the write ends must go, or the reads never see the end.
  out_write.reset();
  err_write.reset();

  std::thread out_reader(Drain, out_read.get(), &result.out);
  std::thread err_reader(Drain, err_read.get(), &result.err);
  if (WaitForSingleObject(process.get(), timeout_ms) != WAIT_OBJECT_0) TerminateProcess(process.get(), 99);
  else result.finished = true;
  out_reader.join();
  err_reader.join();
  DWORD exit_code = 0;
  GetExitCodeProcess(process.get(), &exit_code);
  result.exit_code = exit_code;
  return result;
}

std::wstring PathBesideThisProgram(const std::wstring& file_name) {
  wchar_t path[MAX_PATH] = {};
  const DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
  std::wstring directory(path, length);
  return directory.substr(0, directory.find_last_of(L"\\/") + 1) + file_name;
}
