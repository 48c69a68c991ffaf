// This test program is also "this program" for the tunnel manager: the
// service manager starts it with "/service <conf>", and it then runs the
// tunnel entry as QuorvaneVpnService.exe would.
#include <gtest/gtest.h>
#include <windows.h>

#include <shellapi.h>

#include "tunnel/tunnel_service_entry.h"

int main(int argc, char** argv) {
  int wide_count = 0;
  wchar_t** wide = CommandLineToArgvW(GetCommandLineW(), &wide_count);
  if (wide != nullptr && wide_count >= 3 && std::wstring(wide[1]) == L"/service") {
    const std::wstring path = wide[2];
    LocalFree(wide);
    return quorvane::RunTunnelService(path);
  }
  LocalFree(wide);
  testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
