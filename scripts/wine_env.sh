# Sourced by the scripts that run Windows programs: a private win32 Wine prefix inside the build
# tree, a virtual display when none is set, and a wineserver kept alive for the whole session.
# After sourcing, call wine_session_start; wine_session_stop ends what it started.
vt_root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
export WINEPREFIX=${VANTREL_WINEPREFIX:-$vt_root/build/wine/prefix}
export WINEARCH=win32
export WINEDEBUG=${WINEDEBUG:--all}
export WINEDLLOVERRIDES="winemenubuilder.exe=d;mscoree=d;mshtml=d"
vt_xvfb_pid=""

wine_prefix_init() {
  [ -f "$WINEPREFIX/system.reg" ] && [ -f "$WINEPREFIX/.vantrel-ready" ] && return 0
  mkdir -p "$(dirname "$WINEPREFIX")"
  wineboot -i >/dev/null 2>&1
  # No window manager on a bare display: unmanaged windows hide at once instead of after 2 s.
  wine reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f >/dev/null 2>&1
  # A crash must end the process, not wait in Wine's crash dialog.
  wine reg add 'HKCU\Software\Wine\WineDbg' /v ShowCrashDialog /t REG_DWORD /d 0 /f >/dev/null 2>&1
  wineserver -w
  touch "$WINEPREFIX/.vantrel-ready"
}

wine_session_start() {
  if [ -z "${DISPLAY:-}" ] || [ "${VANTREL_XVFB:-}" = 1 ]; then
    local n
    for n in $(seq 91 140); do
      [ -e /tmp/.X11-unix/X$n ] || [ -e /tmp/.X$n-lock ] && continue
      Xvfb :$n -screen 0 1024x768x24 -nolisten tcp >/dev/null 2>&1 &
      vt_xvfb_pid=$!
      export DISPLAY=:$n
      break
    done
    local i
    for i in $(seq 50); do [ -e /tmp/.X11-unix/X${DISPLAY#:} ] && break; sleep 0.1; done
  fi
  wine_prefix_init
  wineserver -p
  # Start the prefix's helper processes now, away from any caller's output pipes.
  wine cmd /c exit >/dev/null 2>&1 </dev/null || true
}

wine_session_stop() {
  wineserver -k 2>/dev/null || true
  wineserver -w 2>/dev/null || true
  if [ -n "$vt_xvfb_pid" ]; then
    kill "$vt_xvfb_pid" 2>/dev/null || true
    wait "$vt_xvfb_pid" 2>/dev/null || true
  fi
}
