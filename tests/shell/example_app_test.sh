#!/usr/bin/env bash
# The example application as Flutter's tool would build it, with a lone copy
# of the plugin package: its Windows
# project configured with CMake, with the tool's ephemeral folder filled from
# our Flutter stand-in (the wrapper's headers, the stand-in engine in place of
# the wrapper's sources, an empty engine library, a tool backend that does
# nothing). The plugin is built inside it, its stand-in tests stay out even
# when Flutter's include_<package>_tests asks for them, and the runner is the
# real one: its plain Win32 parts compile; the rest needs the real engine.
#   example_app_test.sh
set -uo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
failed=0
check() {
  if [ "$2" = "$3" ]; then echo "ok: $1"; else echo "FAILED: $1: '$2' is not '$3'"; failed=1; fi
}

cp -r "$root/plugin/example" "$work/example"
ephemeral="$work/example/windows/flutter/ephemeral"
mkdir -p "$ephemeral/cpp_client_wrapper/include" "$ephemeral/.plugin_symlinks" \
  "$work/flutter/packages/flutter_tools/bin"
# A copy of the package alone, as an app's own repository or a hosted package
# holds it: nothing outside plugin/ may be needed.
cp -r "$root/plugin" "$work/quorvane_windows_vpn"
ln -s "$work/quorvane_windows_vpn" "$ephemeral/.plugin_symlinks/quorvane_windows_vpn"
cat >"$ephemeral/generated_config.cmake" <<CONFIG
set(FLUTTER_ROOT "$work/flutter")
set(PROJECT_DIR "$work/example")
set(FLUTTER_VERSION "0.1.0")
set(FLUTTER_VERSION_MAJOR 0)
set(FLUTTER_VERSION_MINOR 1)
set(FLUTTER_VERSION_PATCH 0)
set(FLUTTER_VERSION_BUILD 0)
set(FLUTTER_TARGET_PLATFORM windows-x64)
list(APPEND FLUTTER_TOOL_ENVIRONMENT "FLUTTER_ROOT=$work/flutter" "PROJECT_DIR=$work/example")
CONFIG
printf '#!/bin/sh\nexit 0\n' >"$work/flutter/packages/flutter_tools/bin/tool_backend.bat"
chmod +x "$work/flutter/packages/flutter_tools/bin/tool_backend.bat"
cp "$root/standins/flutter/include/flutter_plugin_registrar.h" "$ephemeral/"
for header in flutter_export.h flutter_windows.h flutter_messenger.h flutter_texture_registrar.h; do
  : >"$ephemeral/$header"
done
: >"$ephemeral/flutter_windows.dll"
: >"$ephemeral/icudtl.dat"
x86_64-w64-mingw32-ar rc "$ephemeral/flutter_windows.dll.lib"
cp -r "$root/standins/flutter/include/flutter" "$ephemeral/cpp_client_wrapper/include/"
cp "$root/standins/flutter/src/standin_engine.cpp" "$ephemeral/cpp_client_wrapper/plugin_registrar.cc"
for source in core_implementations.cc standard_codec.cc flutter_engine.cc flutter_view_controller.cc; do
  : >"$ephemeral/cpp_client_wrapper/$source"
done

cmake -S "$work/example/windows" -B "$work/build" -G Ninja \
  -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake" -Dinclude_quorvane_windows_vpn_tests=ON \
  >"$work/configure.log" 2>&1
configured=$?
[ "$configured" -eq 0 ] || cat "$work/configure.log"
check "the example's Windows project configures" "$configured" 0
targets="$(cmake --build "$work/build" --target help 2>/dev/null)"
check "it builds the runner" "$(grep -c '^quorvane_vpn_example:' <<<"$targets")" 1
check "it builds the plugin" "$(grep -c '^quorvane_windows_vpn_plugin:' <<<"$targets")" 1
check "Flutter's test switch leaves the stand-in tests out" "$(grep -c 'quorvane_windows_vpn_test' <<<"$targets")" 0
cmake --build "$work/build" --target quorvane_windows_vpn_plugin >"$work/build.log" 2>&1
built=$?
[ "$built" -eq 0 ] || tail -n 30 "$work/build.log"
check "the plugin builds inside the application" "$built" 0

runner="$root/plugin/example/windows/runner"
# The runner's plain Win32 parts compile (the rest needs the real engine's wrapper).
for source in win32_window.cpp utils.cpp; do
  x86_64-w64-mingw32-g++-posix -std=c++17 -Wall -Wextra -Wshadow -Werror -DUNICODE -D_UNICODE -DNOMINMAX \
    -D_WIN32_WINNT=0x0A00 -fsyntax-only "$runner/$source"
  check "the runner's $source compiles" "$?" 0
done
check "wWinMain claims the single instance" "$(grep -c 'ClaimSingleInstance(Win32Window::kWindowClassName' "$runner/main.cpp")" 1
check "wWinMain runs the Flutter window" "$(grep -c 'window.Create(kWindowTitle, origin, size)' "$runner/main.cpp")" 1
check "the window passes messages to the plugins" "$(grep -c 'HandleTopLevelWindowProc' "$runner/flutter_window.cpp")" 1
exit "$failed"
