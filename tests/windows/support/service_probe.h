// What the system tests ask of the running service: an exchange that is sent
// again while the service is still making its pipe, beside the service
// manager's probe.
#pragma once

#include <gtest/gtest.h>
#include <windows.h>

#include <string>

#include "child_process.h"
#include "pipe_client.h"
#include "scm_probe.h"

// The client waits for a busy pipe itself, but a service that is starting
// has no pipe yet: the request is sent again here (10 s at most).
inline std::string SendWhenFree(const std::string& request) {
  std::string reply;
  for (int i = 0; i < 1000; ++i) {
    reply = quorvane_windows_vpn::SendPipeRequest(request);
    if (reply != quorvane_windows_vpn::kPipeUnavailableReply) break;
    Sleep(10);
  }
  return reply;
}

// The stand-in tunnel's switches are files beside it (and so beside the test
// program): |text| written into |name|, or the file removed for none.
inline void SetStandinSwitch(const wchar_t* name, const char* text) {
  const std::wstring path = PathBesideThisProgram(name);
  DeleteFileW(path.c_str());
  if (text == nullptr) return;
  const HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  DWORD written = 0;
  WriteFile(file, text, static_cast<DWORD>(std::string(text).size()), &written, nullptr);
  CloseHandle(file);
}

// A suite against one QuorvaneVpnService.exe --console beside the test
// program: started before the suite's first test, and ended after its last,
// with a disconnect first so that no tunnel is left behind.
class ConsoleServiceSuite : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    service_ = new BackgroundChild();
    ASSERT_TRUE(service_->Start(PathBesideThisProgram(L"QuorvaneVpnService.exe"), L"--console"));
    ASSERT_TRUE(Within(30000, [] { return SendWhenFree("{\"v\":1,\"op\":\"status\"}").rfind("{\"ok\":true", 0) == 0; }))
        << service_->Err();
  }
  static void TearDownTestSuite() {
    quorvane_windows_vpn::SendPipeRequest("{\"v\":1,\"op\":\"disconnect\",\"reason\":\"test over\"}");
    delete service_;
    service_ = nullptr;
  }
  static inline BackgroundChild* service_ = nullptr;
};
