// The service's pipe against an ordinary process that wants its name, and the
// clients (the plugin's and QuorvaneVpnCtl) against a pipe that is not the
// service's.
#include <gtest/gtest.h>
#include <windows.h>

#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "child_process.h"
#include "pipe_client.h"
#include "service_probe.h"
#include "temp_directory.h"
#include "test/owned_test_pipe.h"
#include "unique_handle.h"

namespace {

using platform::win32::UniqueHandle;
using quorvane_windows_vpn::SendPipeRequest;

constexpr char kStatus[] = "{\"v\":1,\"op\":\"status\"}";
// The squatter here is this test program itself, which the refusal names.
const std::string kUntrusted = "{\"ok\":false,\"error\":\"pipe_server_untrusted\",\"message\":\"held by process " +
                               std::to_string(GetCurrentProcessId()) + " (windows_system_tests.exe)\"}";

bool StartsWith(const std::string& text, const std::string& prefix) { return text.rfind(prefix, 0) == 0; }

std::string Send(const std::string& request) { return SendWhenFree(request); }

TEST(PipeSecurity, AProcessThatWantsTheName_NeverGetsItWhileTheServiceServes) {
  BackgroundChild service;
  ASSERT_TRUE(service.Start(PathBesideThisProgram(L"QuorvaneVpnService.exe"), L"--console"));
  for (int i = 0; i < 300 && !StartsWith(Send(kStatus), "{\"ok\":true"); ++i) Sleep(100);
  UniqueHandle stop(CreateEventW(nullptr, TRUE, FALSE, L"Local\\QuorvaneSquatterStop"));
  BackgroundChild squatter;
  ASSERT_TRUE(squatter.Start(PathBesideThisProgram(L"pipe_squatter.exe"), L""));
  int served = 0;
  for (int i = 0; i < 300; ++i) {
    const std::string reply = Send(kStatus);
    if (StartsWith(reply, "{\"ok\":true,\"phase\":\"disconnected\",\"tunnel_running\":false,")) {
      ++served;
    } else {
      ADD_FAILURE() << "request " << i << ": " << reply;
    }
  }
  SetEvent(stop.get());
  const ChildResult squatted = squatter.Wait(30000);
  ASSERT_TRUE(squatted.finished);
  EXPECT_EQ(squatted.out.substr(0, squatted.out.find_first_of("\r\n")), "took 0 served 0");
  EXPECT_EQ(served, 300);
}

// With no service, a pipe of the service's name made by an ordinary process
// (its own account owns it) gets no byte of the request, and no client
// believes it.
TEST(PipeSecurity, WithoutTheService_ClientsRefuseAPipeTheServiceDoesNotOwn) {
  // One instance for each client, so that neither finds the other's busy.
  std::string received;
  std::mutex received_lock;
  std::vector<std::thread> servers;
  for (int client = 0; client < 2; ++client) {
    HANDLE pipe = quorvane_windows_vpn::CreateOwnedTestPipe(L"\\\\.\\pipe\\QuorvaneVpn", L"", 2);
    ASSERT_NE(pipe, INVALID_HANDLE_VALUE) << GetLastError();
    servers.emplace_back([pipe, &received, &received_lock] {
      UniqueHandle owned(pipe);
      if (!ConnectNamedPipe(pipe, nullptr) && GetLastError() != ERROR_PIPE_CONNECTED) return;
      std::vector<char> buffer(65536);
      DWORD got = 0;
      if (ReadFile(pipe, buffer.data(), static_cast<DWORD>(buffer.size()), &got, nullptr)) {
        std::lock_guard<std::mutex> guard(received_lock);
        received.append(buffer.data(), got);
      }
      const char forged[] = "{\"ok\":true,\"phase\":\"connected\"}";
      DWORD written = 0;
      WriteFile(pipe, forged, sizeof(forged) - 1, &written, nullptr);
      DisconnectNamedPipe(pipe);
    });
  }

  EXPECT_EQ(SendPipeRequest("{\"v\":1,\"op\":\"connect\",\"client_private_key\":\"secret\"}"), kUntrusted);
  ScopedTempDirectory folder(L"pipe security");
  const std::wstring profile = folder.path() + L"\\profile.json";
  {
    UniqueHandle file(CreateFileW(profile.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
    const char text[] = "{\"node_id\":\"n\",\"client_private_key\":\"c2VjcmV0\",\"endpoint_port\":51820}";
    DWORD written = 0;
    ASSERT_TRUE(WriteFile(file.get(), text, sizeof(text) - 1, &written, nullptr));
  }
  const ChildResult ctl =
      RunChild(PathBesideThisProgram(L"QuorvaneVpnCtl.exe"), L"--json connect \"" + profile + L"\"", 30000);
  ASSERT_TRUE(ctl.finished);
  EXPECT_EQ(ctl.out.substr(0, ctl.out.find_first_of("\r\n")), kUntrusted);
  EXPECT_EQ(ctl.exit_code, 1u);
  for (std::thread& server : servers) server.join();
  EXPECT_EQ(received, "") << "not one byte of a request reached the pipe";
}

}  // namespace
