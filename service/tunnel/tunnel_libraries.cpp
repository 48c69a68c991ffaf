#include "tunnel/tunnel_libraries.h"

#include "common/json_text.h"
#include "common/wide_text.h"
#include "platform/library.h"

namespace quorvane {
namespace {

std::string Where(const wchar_t* name) {
  std::wstring path;
  if (!platform::FindLibraryInSafeFolders(name, &path)) return "null";
  std::string quoted = "\"";
  AppendJsonEscaped(&quoted, WideToUtf8(path));
  return quoted + "\"";
}

}  // namespace

std::string TunnelLibrariesJson() {
  return "{\"tunnel.dll\":" + Where(kTunnelLibrary) + ",\"wireguard.dll\":" + Where(kDriverLibrary) + "}";
}

bool TunnelLibraryFound(std::string* message) {
  std::wstring path;
  if (platform::FindLibraryInSafeFolders(kTunnelLibrary, &path)) return true;
  *message = "tunnel.dll is missing: it must lie beside QuorvaneVpnService.exe or in System32";
  return false;
}

std::string MissingDriverLibraryNote() {
  std::wstring path;
  if (platform::FindLibraryInSafeFolders(kDriverLibrary, &path)) return "";
  return "; wireguard.dll is missing beside QuorvaneVpnService.exe and in System32";
}

}  // namespace quorvane
