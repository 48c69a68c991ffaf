#!/usr/bin/env bash
# Builds every preset and runs every test tier: the native unit tests (plain,
# under AddressSanitizer + UBSan, and under ThreadSanitizer), then under Wine
# the Windows unit tests and the system tests of the real program, then each
# fuzz target for a short while.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."

scripts/bootstrap.sh
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
# Under Wine a pipe exchange of the bench sometimes stalls (a race in Wine's
# named pipes that is not pinned down yet): a stalled attempt is ended and the
# smoke tried again, up to three times, then reported.
for attempt in 1 2 3; do
  if timeout 180 scripts/bench.sh --smoke; then break; fi
  if [ "$attempt" -eq 3 ]; then
    # Reported, not fatal, while the race is open: the bench measures, it
    # does not gate the tests.
    echo "WARNING: bench smoke stalled three times (the known Wine pipe race; see README, Performance)" >&2
    wineserver -k >/dev/null 2>&1 </dev/null || true
    break
  fi
  echo "bench smoke attempt $attempt stalled or failed; ending its Wine processes and trying again"
  wineserver -k >/dev/null 2>&1 </dev/null || true
  wine_session_start
done

echo "== fuzz (smoke: ${QUORVANE_FUZZ_SECONDS:-30}s a target)"
scripts/fuzz.sh "${QUORVANE_FUZZ_SECONDS:-30}"
