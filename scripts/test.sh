#!/usr/bin/env bash
# Builds every preset and runs every test tier: the native unit tests (plain,
# under AddressSanitizer + UBSan, and under ThreadSanitizer), then under Wine
# the Windows unit tests and the system tests of the real program, then the
# bench in smoke mode, then each fuzz target for a short while.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."

scripts/bootstrap.sh
scripts/dart-grammar.sh
jobs="$(nproc)"

for preset in native native-asan native-tsan; do
  echo "== $preset"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" --parallel "$jobs"
  ctest --preset "$preset" --parallel "$jobs"
done

echo "== windows"
source scripts/wine-session.sh
trap wine_session_stop EXIT
wine_session_start
cmake --preset windows >/dev/null
cmake --build --preset windows --parallel "$jobs"
ctest --preset windows

echo "== bench (smoke)"
scripts/bench.sh --smoke

echo "== fuzz (smoke: ${QUORVANE_FUZZ_SECONDS:-30}s a target)"
scripts/fuzz.sh "${QUORVANE_FUZZ_SECONDS:-30}"
