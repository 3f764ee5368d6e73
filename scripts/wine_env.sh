# Sourced by the scripts that run Windows programs: a private Wine prefix inside the build tree,
# a virtual display when none is set, and a wineserver kept alive for the whole session.
# After sourcing, call wine_session_start; wine_session_stop ends what it started.
#
# Two tiers: win32 (the default; the product's 32-bit programs under Wine's 32-bit loader) and
# win64 (the 64-bit build under Wine's 64-bit loader, for machines whose kernel runs no 32-bit
# programs). VANTREL_WINE_TIER chooses; each tier has a prefix of its own.
vt_root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
vt_build_root=${VANTREL_BUILD_ROOT:-$vt_root/build}
export VANTREL_WINE_TIER=${VANTREL_WINE_TIER:-win32}
case $VANTREL_WINE_TIER in
  win32)
    export WINEARCH=win32
    export WINEPREFIX=${VANTREL_WINEPREFIX:-$vt_build_root/wine/prefix}
    vt_wine_loader=/usr/lib/wine/wine ;;
  win64)
    export WINEARCH=win64
    export WINEPREFIX=${VANTREL_WINEPREFIX:-$vt_build_root/wine64/prefix}
    vt_wine_loader=/usr/lib/wine/wine64
    # Debian's wine and wine-stable (which winepath, wineboot and the rest exec) start the 32-bit
    # loader whenever it is installed: put the 64-bit one first on PATH under both names.
    export WINELOADER=$vt_wine_loader
    vt_shims=$vt_build_root/wine64/bin
    if [ ! -x "$vt_shims/wine-stable" ]; then
      mkdir -p "$vt_shims"
      printf '#!/bin/sh\nexec %s "$@"\n' "$vt_wine_loader" >"$vt_shims/wine"
      chmod 755 "$vt_shims/wine"
      cp "$vt_shims/wine" "$vt_shims/wine-stable"
    fi
    case ":$PATH:" in *":$vt_shims:"*) ;; *) export PATH=$vt_shims:$PATH ;; esac ;;
  *) echo "wine_env.sh: unknown tier '$VANTREL_WINE_TIER' (win32 or win64)" >&2; return 2 ;;
esac
export WINEDEBUG=${WINEDEBUG:--all}
export WINEDLLOVERRIDES="winemenubuilder.exe=d;mscoree=d;mshtml=d"
vt_xvfb_pid=""

# Whether this machine runs the tier's Wine, found by running its loader. Prints why not.
wine_tier_runs() {
  local loader=/usr/lib/wine/wine out
  [ "${1:-$VANTREL_WINE_TIER}" = win64 ] && loader=/usr/lib/wine/wine64
  if [ ! -x "$loader" ]; then echo "$loader is not installed"; return 1; fi
  if ! out=$("$loader" --version 2>&1 </dev/null); then
    echo "$loader does not start (${out##*$'\n'})"
    return 1
  fi
}

wine_prefix_init() {
  [ -f "$WINEPREFIX/system.reg" ] && [ -f "$WINEPREFIX/.vantrel-ready" ] && return 0
  mkdir -p "$(dirname "$WINEPREFIX")"
  wine wineboot.exe -i >/dev/null 2>&1
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
