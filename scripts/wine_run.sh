#!/usr/bin/env bash
# Runs a Windows program of the build under the project's Wine prefix (ctest's emulator).
# Expects the session of scripts/wine_env.sh (display, prefix) to be up.
# Wine's helper processes (services.exe, explorer.exe) inherit the output handles and outlive
# the program, so output goes through a file: a pipe would never reach its end for the caller.
source "$(dirname "$0")/wine_env.sh"
out=$(mktemp)
trap 'rm -f "$out"' EXIT
rc=0
wine "$@" >"$out" 2>&1 </dev/null || rc=$?
cat "$out"
exit $rc
