// The WireGuard library's two DLLs: tunnel.dll, which the tunnel entry loads,
// and wireguard.dll, the driver library that tunnel.dll loads in its turn.
// Both must lie where the restricted search finds them: beside the program or
// in System32.
#pragma once

#include <string>

namespace quorvane {

constexpr wchar_t kTunnelLibrary[] = L"tunnel.dll";
constexpr wchar_t kDriverLibrary[] = L"wireguard.dll";

// {"tunnel.dll":"<where>" or null,"wireguard.dll":...}, for the reports.
std::string TunnelLibrariesJson();

// False, with a message naming it, when tunnel.dll is nowhere to be loaded.
bool TunnelLibraryFound(std::string* message);

// Said beside a failed start's exit code when wireguard.dll is missing
// (older builds of the library load another driver DLL, so it refuses nothing
// by itself); empty when it is there.
std::string MissingDriverLibraryNote();

}  // namespace quorvane
