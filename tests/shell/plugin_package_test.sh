#!/usr/bin/env bash
# The Flutter package as Flutter's tool reads it: the package name from
# pubspec.yaml names the CMake target "<name>_plugin" and the header
# "<name>/<plugin class in snake case>.h" in the generated registrant; they
# must be what plugin/windows builds. And QuorvaneVpnCtl, a product program,
# compiles without the stand-in of Flutter's wrapper on its include path.
#   plugin_package_test.sh <compile_commands.json of the windows build>
set -uo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
commands="$1"
failed=0
check() {
  if [ "$2" = "$3" ]; then echo "ok: $1 ($2)"; else echo "FAILED: $1: '$2' is not '$3'"; failed=1; fi
}
name="$(sed -n 's/^name: *//p' "$root/plugin/pubspec.yaml")"
class="$(sed -n 's/^ *pluginClass: *//p' "$root/plugin/pubspec.yaml")"
# Flutter's snake case: an underscore before every capital ("CApi" is "c_api").
snake="$(echo "$class" | sed -E 's/([A-Z])/_\1/g; s/^_//' | tr 'A-Z' 'a-z')"
target="$(sed -n 's/^set(PLUGIN_NAME "\(.*\)")$/\1/p' "$root/plugin/windows/CMakeLists.txt")"
check "the CMake target Flutter links" "$target" "${name}_plugin"
header="$root/plugin/windows/include/$name/$snake.h"
check "the header Flutter includes exists" "$([ -f "$header" ] && echo yes || echo "no $header")" yes
ctl_flags="$(grep -A3 '"file": ".*ctl/main.cpp"' "$commands" | head -n 4; grep -B3 '"file": ".*ctl/main.cpp"' "$commands")"
check "QuorvaneVpnCtl was compiled" "$([ -n "$ctl_flags" ] && echo yes || echo no)" yes
check "QuorvaneVpnCtl without the Flutter stand-in" "$(grep -c 'standins/flutter' <<<"$ctl_flags")" 0
exit "$failed"
