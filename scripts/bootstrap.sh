#!/usr/bin/env bash
# Installs every Debian package that building and testing need. Idempotent:
# installs only what is missing, and touches apt only then. Run as root.
set -euo pipefail

packages=(
  cmake ninja-build g++        # native build
  googletest                   # GoogleTest sources, built by each preset
  g++-mingw-w64-x86-64-posix   # Windows cross build (posix threads for std::thread)
  wine wine64                  # runs the Windows programs and their tests
  iproute2                     # network namespaces for the route system test and the lab
  wireguard-tools wireguard-go # the lab: a real WireGuard tunnel between two namespaces
  socat                        # the lab server's echo service and its client
  xvfb                         # a display for the plugin's window tests under Wine
  clang libclang-rt-14-dev     # libFuzzer targets
  nlohmann-json3-dev           # the strict JSON parser the fuzz targets check replies with
  libtree-sitter-dev           # the Dart syntax check (the grammar comes from npm)
  python3                      # checks that QuorvaneVpnCtl's report is valid JSON
  wixl                         # builds the Windows Installer package (scripts/package.sh)
  msitools                     # msiinfo and msibuild: scripts/package.sh types rollback and commit actions
)

missing=()
for package in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$package")
  fi
done
# npm fetches the Dart grammar; a machine whose Node came from elsewhere has it.
command -v npm >/dev/null || missing+=(npm)
[ ${#missing[@]} -eq 0 ] && exit 0

if [ "$(id -u)" -ne 0 ]; then
  echo "bootstrap: root is needed to install: ${missing[*]}" >&2
  exit 1
fi
echo "bootstrap: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
