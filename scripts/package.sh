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
# wixl writes a rollback or commit custom action as an immediate one (no
# in-script bit, no rollback or commit bit), which would run it at once in
# every transaction. Each is typed again as the source says: in the script,
# as the system account, on rollback (0x100) or at commit (0x200).
python3 - "$root/packaging/QuorvaneVpn.wxs" "$stage/CustomAction.idt" "$package" <<'PY'
import re, subprocess, sys
source, idt, package = sys.argv[1:4]
kinds = dict(re.findall(r'<CustomAction\s+Id="(\w+)"[^>]*?Execute="(rollback|commit)"', open(source).read(), re.S))
table = subprocess.run(["msiinfo", "export", package, "CustomAction"], check=True, capture_output=True, text=True).stdout
lines = table.split("\n")
for i, line in enumerate(lines[3:], start=3):
    fields = line.split("\t")
    if fields[0] in kinds:
        # An executable from an installed file (0x12), return ignored (0x40).
        fields[1] = str(0x12 | 0x40 | 0x400 | 0x800 | (0x100 if kinds[fields[0]] == "rollback" else 0x200))
        lines[i] = "\t".join(fields)
        del kinds[fields[0]]
if kinds:
    sys.exit("package: custom actions not found in the package: " + ", ".join(kinds))
open(idt, "w").write("\n".join(lines))
PY
(cd "$stage" && msibuild "$package" -i CustomAction.idt)
rm -rf "$stage"
echo "$package"
