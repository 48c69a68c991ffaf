// A "tunnel.dll" that lacks the WireGuardTunnelService export, so that tests
// can see the tunnel entry refuse it.
#include <windows.h>

extern "C" __declspec(dllexport) BOOL SomethingElse(const wchar_t*) { return TRUE; }
