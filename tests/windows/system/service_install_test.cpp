// The real QuorvaneVpnService.exe installed as a service in Wine's service
// control manager, started and stopped with sc.exe, and removed again.
#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <string>
#include <vector>

#include "child_process.h"
#include "service_probe.h"
#include "pipe_client.h"

namespace {

constexpr uint32_t kTimeoutMs = 60000;
constexpr wchar_t kServiceKey[] = L"System\\CurrentControlSet\\Services\\QuorvaneVpnTunnel";

std::wstring Program() { return PathBesideThisProgram(L"QuorvaneVpnService.exe"); }

ChildResult Sc(const std::wstring& arguments) { return RunChild(L"C:\\windows\\system32\\sc.exe", arguments, kTimeoutMs); }

DWORD ServiceState() { return ::ServiceState(L"QuorvaneVpnTunnel"); }

constexpr wchar_t kEventSourceKey[] = L"System\\CurrentControlSet\\Services\\EventLog\\Application\\QuorvaneVpn";

std::wstring EventMessageFile() {
  wchar_t buffer[1024] = {};
  DWORD size = sizeof(buffer);
  if (RegGetValueW(HKEY_LOCAL_MACHINE, kEventSourceKey, L"EventMessageFile", RRF_RT_REG_SZ, nullptr, buffer, &size) !=
      ERROR_SUCCESS) {
    return L"<none>";
  }
  return buffer;
}

// The "FileVersion" text of a program's version resource.
std::wstring FileVersion(const std::wstring& path) {
  DWORD ignored = 0;
  std::vector<char> block(GetFileVersionInfoSizeW(path.c_str(), &ignored));
  wchar_t* text = nullptr;
  UINT length = 0;
  if (block.empty() || !GetFileVersionInfoW(path.c_str(), 0, static_cast<DWORD>(block.size()), block.data()) ||
      !VerQueryValueW(block.data(), L"\\StringFileInfo\\040904b0\\FileVersion", reinterpret_cast<void**>(&text),
                      &length)) {
    return L"<none>";
  }
  return std::wstring(text, length > 0 ? length - 1 : 0);
}

bool RegistryDword(const wchar_t* name, DWORD* value) {
  DWORD size = sizeof(*value);
  return RegGetValueW(HKEY_LOCAL_MACHINE, kServiceKey, name, RRF_RT_REG_DWORD, nullptr, value, &size) ==
         ERROR_SUCCESS;
}

std::wstring RegistryText(const wchar_t* name, DWORD type_flags) {
  wchar_t buffer[1024] = {};
  DWORD size = sizeof(buffer);
  if (RegGetValueW(HKEY_LOCAL_MACHINE, kServiceKey, name, type_flags | RRF_NOEXPAND, nullptr, buffer, &size) !=
      ERROR_SUCCESS) {
    return L"<none>";
  }
  return std::wstring(buffer, size / sizeof(wchar_t));
}

class ServiceInstallOnWine : public testing::Test {
 protected:
  void TearDown() override { RunChild(Program(), L"--uninstall", kTimeoutMs); }
};

TEST_F(ServiceInstallOnWine, InstallRegistersTheControlServiceAndRemovesItAgain) {
  const ChildResult installed = RunChild(Program(), L"--install", kTimeoutMs);
  ASSERT_TRUE(installed.finished);
  EXPECT_EQ(installed.exit_code, 0u);
  EXPECT_EQ(installed.out, "service installed\n");
  // Made by the install, before any user could make them.
  wchar_t program_data[MAX_PATH] = {};
  const std::wstring root(program_data, GetEnvironmentVariableW(L"ProgramData", program_data, MAX_PATH));
  for (const wchar_t* folder : {L"", L"\\tunnels", L"\\state", L"\\logs"}) {
    const DWORD attributes = GetFileAttributesW((root + L"\\Quorvane" + folder).c_str());
    EXPECT_NE(attributes, INVALID_FILE_ATTRIBUTES) << folder;
    EXPECT_NE(attributes & FILE_ATTRIBUTE_DIRECTORY, 0u) << folder;
  }
  const ChildResult again = RunChild(Program(), L"--install", kTimeoutMs);
  EXPECT_EQ(again.out, "service installed\n");
  EXPECT_EQ(again.exit_code, 0u);

  DWORD type = 0, start = 0, error_control = 0;
  ASSERT_TRUE(RegistryDword(L"Type", &type));
  ASSERT_TRUE(RegistryDword(L"Start", &start));
  ASSERT_TRUE(RegistryDword(L"ErrorControl", &error_control));
  EXPECT_EQ(type, 16u);
  EXPECT_EQ(start, 3u);
  EXPECT_EQ(error_control, 1u);
  const std::wstring image = RegistryText(L"ImagePath", RRF_RT_REG_SZ | RRF_RT_REG_EXPAND_SZ);
  EXPECT_EQ(image, L"\"" + Program() + L"\" --run-as-service" + std::wstring(1, L'\0'));
  EXPECT_EQ(RegistryText(L"DependOnService", RRF_RT_REG_MULTI_SZ), std::wstring(L"Nsi\0TcpIp\0\0", 11));
  EXPECT_EQ(RegistryText(L"Description", RRF_RT_REG_SZ),
            std::wstring(L"Brings the Quorvane VPN tunnel up and down for the desktop app and guards the PC's routes.") +
                L'\0');
  EXPECT_EQ(EventMessageFile(), Program()) << "the event source, its messages in the program";
  for (const wchar_t* program : {L"QuorvaneVpnService", L"QuorvaneVpnCtl", L"QuorvaneVpnSetup"}) {
    EXPECT_EQ(FileVersion(PathBesideThisProgram(std::wstring(program) + L".exe")), QUORVANE_VERSION_W)
        << "the version resource";
  }
  for (const wchar_t* program : {L"QuorvaneVpnService", L"QuorvaneVpnCtl"}) {
    const ChildResult version = RunChild(PathBesideThisProgram(std::wstring(program) + L".exe"), L"--version", kTimeoutMs);
    EXPECT_EQ(version.exit_code, 0u);
    std::wstring printed(version.out.begin(), version.out.end());
    printed.erase(std::remove(printed.begin(), printed.end(), L'\r'), printed.end());  // a console program's text mode
    EXPECT_EQ(printed, std::wstring(program) + L" " QUORVANE_VERSION_W L"\n");
  }

  const ChildResult removed = RunChild(Program(), L"--uninstall", kTimeoutMs);
  EXPECT_EQ(removed.out, "service uninstalled\n");
  EXPECT_EQ(removed.exit_code, 0u);
  EXPECT_TRUE(Within(10000, [] { return ServiceState() == 0; }));
  EXPECT_EQ(EventMessageFile(), L"<none>") << "the event source goes with the service";
  const ChildResult nothing = RunChild(Program(), L"--uninstall", kTimeoutMs);
  EXPECT_EQ(nothing.out, "service uninstalled\n");
  EXPECT_EQ(nothing.exit_code, 0u);
}

TEST_F(ServiceInstallOnWine, ScStartServesThePipeAndScStopEndsIt) {
  ASSERT_EQ(RunChild(Program(), L"--install", kTimeoutMs).exit_code, 0u);
  for (int round = 0; round < 3; ++round) {
    ASSERT_TRUE(Sc(L"start QuorvaneVpnTunnel").finished);
    ASSERT_TRUE(Within(30000, [] { return ServiceState() == SERVICE_RUNNING; }));
    std::string reply;
    ASSERT_TRUE(Within(30000, [&] {
      reply = quorvane_windows_vpn::SendPipeRequest("{\"v\":1,\"op\":\"status\"}");
      return reply.rfind("{\"ok\":true,\"phase\":\"disconnected\"", 0) == 0;
    })) << reply;

    // The second round stops while a client holds the pipe without writing,
    // the third while one has sent a request and never reads the reply.
    HANDLE holder = INVALID_HANDLE_VALUE;
    if (round >= 1) {
      ASSERT_TRUE(Within(10000, [&] {
        holder = CreateFileW(L"\\\\.\\pipe\\QuorvaneVpn", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0,
                             nullptr);
        return holder != INVALID_HANDLE_VALUE;
      }));
    }
    if (round == 2) {
      DWORD written = 0;
      ASSERT_TRUE(WriteFile(holder, "{\"v\":1,\"op\":\"status\"}", 20, &written, nullptr));
    }
    ASSERT_TRUE(Sc(L"stop QuorvaneVpnTunnel").finished);
    EXPECT_TRUE(Within(15000, [] { return ServiceState() == SERVICE_STOPPED; })) << "round " << round;
    if (holder != INVALID_HANDLE_VALUE) CloseHandle(holder);
    EXPECT_EQ(quorvane_windows_vpn::SendPipeRequest("{\"v\":1,\"op\":\"status\"}"),
              quorvane_windows_vpn::kPipeUnavailableReply);
  }
}

}  // namespace
