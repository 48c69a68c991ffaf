#!/usr/bin/env bash
# Builds the Windows Installer package QuorvaneVpn-<version>-x64.msi with wixl
# (Debian's wixl, which scripts/bootstrap.sh installs) from the windows build.
#   scripts/package.sh [--tunnel-dlls DIR] [--version X.Y.Z] [--out DIR]
# --tunnel-dlls: the folder with the WireGuard library's tunnel.dll and
#   wireguard.dll, as a release ships them. Without it the package carries our
#   stand-ins, and its product name and file name say "stand-in tunnel".
# --version: instead of the project's version (CMakeLists.txt), for a test.
# The last line printed is the package's path.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
dlls="" version="" out="$root/build/package"
while [ $# -gt 0 ]; do
  case "$1" in
    --tunnel-dlls) dlls="$(realpath "$2")"; shift 2 ;;
    --version) version="$2"; shift 2 ;;
    --out) out="$(realpath -m "$2")"; shift 2 ;;
    *) echo "package: unknown option $1" >&2; exit 2 ;;
  esac
done
[ -n "$version" ] || version="$(sed -n 's/^project(Quorvane VERSION \([0-9.]*\) .*/\1/p' "$root/CMakeLists.txt")"
if ! [[ "$version" =~ ^[0-9]+\.[0-9]+\.[0-9]+$ ]]; then
  echo "package: version '$version' is not X.Y.Z" >&2
  exit 2
fi
command -v wixl >/dev/null || { echo "package: wixl is missing (run scripts/bootstrap.sh)" >&2; exit 1; }

bin="$root/build/windows/bin"
targets=(QuorvaneVpnService QuorvaneVpnSetup QuorvaneVpnCtl)
[ -n "$dlls" ] || targets+=(tunnel_standin wireguard_standin)
cd "$root"
[ -f build/windows/build.ninja ] || cmake --preset windows >/dev/null
cmake --build --preset windows --target "${targets[@]}" >/dev/null

product="Quorvane VPN" suffix=""
if [ -z "$dlls" ]; then
  dlls="$bin" product="Quorvane VPN (stand-in tunnel)" suffix="-standin-tunnel"
fi
for dll in tunnel.dll wireguard.dll; do
  [ -f "$dlls/$dll" ] || { echo "package: $dlls/$dll is missing" >&2; exit 1; }
done

stage="$out/stage-$version"
rm -rf "$stage"
mkdir -p "$stage"
cp "$bin/QuorvaneVpnService.exe" "$bin/QuorvaneVpnSetup.exe" "$bin/QuorvaneVpnCtl.exe" "$dlls/tunnel.dll" "$dlls/wireguard.dll" "$stage/"
package="$out/QuorvaneVpn-$version-x64$suffix.msi"
# wixl finds the files beside the source.
cp "$root/packaging/QuorvaneVpn.wxs" "$stage/"
(cd "$stage" && wixl -a x64 -D Version="$version" -D ProductName="$product" -o "$package" QuorvaneVpn.wxs) \
  2> >(grep -v "has no property named 'Platform'\|^$" >&2)
rm -rf "$stage"
echo "$package"
