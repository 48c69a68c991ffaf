#!/usr/bin/env bash
# Runs one Windows program under Wine in the project's prefix. CTest uses this
# as the cross-compiling emulator; it passes the program's exit code through.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/wine-session.sh"
wine_prefix_ready
exec wine "$@"
