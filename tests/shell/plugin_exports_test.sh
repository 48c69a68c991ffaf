#!/usr/bin/env bash
# The plugin DLL exports exactly its registration function, under its plain name.
#   plugin_exports_test.sh <quorvane_windows_vpn_plugin.dll>
set -euo pipefail
exports="$(x86_64-w64-mingw32-objdump -p "$1" | sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' | sed -n 's/^\s*\[ *[0-9]*\] //p')"
echo "exports: ${exports:-<none>}"
[ "$exports" = "QuorvaneWindowsVpnPluginCApiRegisterWithRegistrar" ]
