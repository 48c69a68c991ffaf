#include "child_process.h"

#include <vector>

using platform::win32::UniqueHandle;

namespace {

bool MakeInheritablePipe(UniqueHandle* read_end, UniqueHandle* write_end) {
  SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
  if (!CreatePipe(read_end->receive(), write_end->receive(), &inherit, 0)) return false;
  return SetHandleInformation(read_end->get(), HANDLE_FLAG_INHERIT, 0) != FALSE;
}

}  // namespace

BackgroundChild::~BackgroundChild() {
  if (process_.valid() && WaitForSingleObject(process_.get(), 0) != WAIT_OBJECT_0) {
    TerminateProcess(process_.get(), 99);
  }
  if (out_reader_.joinable()) out_reader_.join();
  if (err_reader_.joinable()) err_reader_.join();
}

bool BackgroundChild::Start(const std::wstring& program, const std::wstring& arguments,
                            const std::wstring& working_directory) {
  UniqueHandle out_read, out_write, err_read, err_write;
  if (!MakeInheritablePipe(&out_read, &out_write) || !MakeInheritablePipe(&err_read, &err_write)) return false;
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
                      working_directory.empty() ? nullptr : working_directory.c_str(), &startup, &info)) {
    return false;
  }
  process_.reset(info.hProcess);
  CloseHandle(info.hThread);
  // Our copies of the write ends must go, or the reads never see the end.
  out_write.reset();
  err_write.reset();
  const auto drain = [](HANDLE pipe, std::shared_ptr<Streams> streams, std::string Streams::*into) {
    UniqueHandle owned(pipe);
    char buffer[4096];
    DWORD got = 0;
    while (ReadFile(owned.get(), buffer, sizeof(buffer), &got, nullptr) && got > 0) {
      std::lock_guard<std::mutex> guard(streams->lock);
      ((*streams).*into).append(buffer, got);
    }
  };
  out_reader_ = std::thread(drain, out_read.release(), streams_, &Streams::out);
  err_reader_ = std::thread(drain, err_read.release(), streams_, &Streams::err);
  return true;
}

ChildResult BackgroundChild::Wait(uint32_t timeout_ms) {
  ChildResult result;
  if (!process_.valid()) return result;
  result.finished = WaitForSingleObject(process_.get(), timeout_ms) == WAIT_OBJECT_0;
  if (!result.finished) return result;
  if (out_reader_.joinable()) out_reader_.join();
  if (err_reader_.joinable()) err_reader_.join();
  DWORD exit_code = 0;
  GetExitCodeProcess(process_.get(), &exit_code);
  result.exit_code = exit_code;
  result.out = Out();
  result.err = Err();
  return result;
}

std::string BackgroundChild::Out() {
  std::lock_guard<std::mutex> guard(streams_->lock);
  return streams_->out;
}

std::string BackgroundChild::Err() {
  std::lock_guard<std::mutex> guard(streams_->lock);
  return streams_->err;
}

ChildResult RunChild(const std::wstring& program, const std::wstring& arguments, uint32_t timeout_ms,
                     const std::wstring& working_directory) {
  BackgroundChild child;
  if (!child.Start(program, arguments, working_directory)) return ChildResult();
  return child.Wait(timeout_ms);  // ended by the destructor when it did not finish
}

std::wstring PathBesideThisProgram(const std::wstring& file_name) {
  wchar_t path[MAX_PATH] = {};
  const DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
  std::wstring directory(path, length);
  return directory.substr(0, directory.find_last_of(L"\\/") + 1) + file_name;
}
