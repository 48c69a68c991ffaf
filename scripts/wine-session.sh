# Wine session helpers; source this file. One prefix per checkout, inside build/.
#   wine_prefix_ready   create the prefix once (crash dialog off), safe to call in parallel
#   wine_session_start  prefix ready, a display (Xvfb, unless DISPLAY is set), and a persistent
#                       wineserver so each program starts fast
#   wine_session_stop   end the wineserver, everything still running in the prefix, and our Xvfb

QUORVANE_ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
export WINEPREFIX="${WINEPREFIX:-$QUORVANE_ROOT/build/wine-prefix}"
export WINEARCH=win64
export WINEDEBUG="${WINEDEBUG:--all}"
# No Mono or Gecko: nothing here needs them, and their installers would prompt.
export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-mscoree,mshtml=}"

wine_prefix_ready() {
  mkdir -p "$(dirname "$WINEPREFIX")"
  (
    flock 9
    if [ ! -f "$WINEPREFIX/.quorvane-ready" ]; then
      wineboot -i >/dev/null 2>&1 </dev/null
      # A crash must end the program, not wait for a click that never comes.
      wine reg add 'HKCU\Software\Wine\WineDbg' /v ShowCrashDialog /t REG_DWORD /d 0 /f >/dev/null 2>&1 </dev/null
      wineserver -w
      touch "$WINEPREFIX/.quorvane-ready"
    fi
    # The checkout is a volume of its own, Q:, as the program's folder under
    # C:\Program Files is on Windows: the service refuses to run from a
    # folder that anyone may rename or replace, or from below one, and Wine
    # shows a checkout under /tmp (mode 1777, whose sticky bit it does not
    # know) as such. Z: would still reach the checkout by its Unix path.
    ln -sfn "$QUORVANE_ROOT" "$WINEPREFIX/dosdevices/q:"
  ) 9>"$WINEPREFIX.lock"
}

# Top-level windows need a display; without one Wine makes message-only windows alone.
wine_display_start() {
  [ -n "${DISPLAY:-}" ] && return 0
  command -v Xvfb >/dev/null || return 0
  local n i
  # A display number that nobody holds, and an Xvfb that really came up on it.
  for n in $(seq 90 150); do
    [ -e "/tmp/.X$n-lock" ] || [ -e "/tmp/.X11-unix/X$n" ] && continue
    Xvfb ":$n" -screen 0 1024x768x24 -nolisten tcp >/dev/null 2>&1 </dev/null &
    QUORVANE_XVFB_PID=$!
    for i in $(seq 50); do
      [ -S "/tmp/.X11-unix/X$n" ] && break
      kill -0 "$QUORVANE_XVFB_PID" 2>/dev/null || break
      sleep 0.1
    done
    if [ -S "/tmp/.X11-unix/X$n" ]; then
      export DISPLAY=":$n"
      return 0
    fi
    kill "$QUORVANE_XVFB_PID" 2>/dev/null || true
    QUORVANE_XVFB_PID=""
  done
  echo "wine-session: no display could be started" >&2
  return 1
}

wine_session_start() {
  wine_prefix_ready
  wine_display_start
  # Detached from our streams: a leftover server holding a pipe open would
  # keep a caller that reads our output waiting for ever. A server that is
  # already running for this prefix (exit code 2) serves just as well.
  wineserver -p >/dev/null 2>&1 </dev/null || [ $? -eq 2 ]
  # The first program of a session also starts Wine's own services (services.exe,
  # rpcss, plugplay, ...), which live as long as the server and inherit that
  # program's streams. Start them here, detached, and not from a test whose
  # output CTest reads until every holder of the pipe has gone.
  wine cmd /c exit 0 >/dev/null 2>&1 </dev/null
}

wine_session_stop() {
  wineserver -k >/dev/null 2>&1 </dev/null || true
  if [ -n "${QUORVANE_XVFB_PID:-}" ]; then
    kill "$QUORVANE_XVFB_PID" 2>/dev/null || true
    QUORVANE_XVFB_PID=""
  fi
}
