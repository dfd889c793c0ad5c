# Sourced by the scripts: the project's build folder, Wine prefix and display helpers.
# TESSAREL_BUILD_DIR moves the whole build (trees, binaries, prefix) elsewhere, so that two
# builds on one machine never share a prefix.
top=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
export PROJECT_TOP="$top"
export BUILD_DIR="${TESSAREL_BUILD_DIR:-$top/build}"
export WINEPREFIX="$BUILD_DIR/wineprefix"
export WINEARCH=win64
export WINEDEBUG=${WINEDEBUG:--all}
export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-mscoree,mshtml=}"
# `wine` (and wine-stable, which Wine's own tools call) through the 64-bit loader: see
# scripts/winebin/wine.
case ":$PATH:" in *":$top/scripts/winebin:"*) ;; *) export PATH="$top/scripts/winebin:$PATH" ;; esac
# Where 32-bit programs run, and the 32-bit system folder of the prefix (its regsvr32, cscript).
export TESSAREL_SYSWOW64='C:\windows\syswow64'

# Starts (or reuses) the project's virtual display and exports DISPLAY. A display is needed for
# windows and for DDE. Prints the PID of an Xvfb it started itself into $BUILD_DIR/xvfb.pid.
tessarel_ensure_display() {
  local f="$BUILD_DIR/xvfb.display"
  if [ -f "$f" ]; then
    local d; d=$(cat "$f")
    if xdpyinfo -display "$d" >/dev/null 2>&1; then export DISPLAY="$d"; return 0; fi
  fi
  if [ -n "${DISPLAY:-}" ] && xdpyinfo >/dev/null 2>&1; then return 0; fi
  mkdir -p "$BUILD_DIR"
  local n
  for n in $(seq 91 160); do
    [ -e "/tmp/.X11-unix/X$n" ] || [ -e "/tmp/.X$n-lock" ] && continue
    setsid Xvfb ":$n" -screen 0 1280x1024x24 -nolisten tcp >/dev/null 2>&1 < /dev/null &
    local pid=$!
    local i
    for i in $(seq 1 50); do
      if xdpyinfo -display ":$n" >/dev/null 2>&1; then
        echo ":$n" > "$f"; echo "$pid" > "$BUILD_DIR/xvfb.pid"
        export DISPLAY=":$n"; return 0
      fi
      kill -0 "$pid" 2>/dev/null || break
      sleep 0.1
    done
  done
  echo "no virtual display could be started (is xvfb installed? run scripts/setup)" >&2
  return 1
}

tessarel_stop_display() {
  if [ -f "$BUILD_DIR/xvfb.pid" ]; then
    kill "$(cat "$BUILD_DIR/xvfb.pid")" 2>/dev/null || true
    rm -f "$BUILD_DIR/xvfb.pid" "$BUILD_DIR/xvfb.display"
  fi
}

# A persistent wineserver, detached, so that no test process owns it (ctest hangs at its end
# otherwise). Stopped by PID.
tessarel_start_wineserver() {
  wineserver -k >/dev/null 2>&1 || true
  setsid wineserver -f -p >/dev/null 2>&1 < /dev/null &
  echo $! > "$BUILD_DIR/wineserver.pid"
  sleep 0.3
  # Wine's session processes (services, explorer, rpcss) start with the first Wine program and
  # inherit its output; started here with /dev/null they never hold a test's pipe open.
  wine cmd /c exit </dev/null >/dev/null 2>&1 || true
}

tessarel_stop_wineserver() {
  wineserver -k >/dev/null 2>&1 || true
  if [ -f "$BUILD_DIR/wineserver.pid" ]; then
    kill "$(cat "$BUILD_DIR/wineserver.pid")" 2>/dev/null || true
    rm -f "$BUILD_DIR/wineserver.pid"
  fi
}
