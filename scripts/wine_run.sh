#!/usr/bin/env bash
# Runs a Windows program of the build under the project's Wine prefix (ctest's emulator).
# Expects the session of scripts/wine_env.sh (display, prefix) to be up.
# Wine's helper processes (services.exe, explorer.exe) inherit the output handles and outlive
# the program, so output goes through files: a pipe would never reach its end for the caller.
# Standard input is passed on when it is a file; a pipe or terminal is not.
source "$(dirname "$0")/wine_env.sh"
out=$(mktemp) err=$(mktemp)
trap 'rm -f "$out" "$err"' EXIT
input=/dev/null
[ -f /dev/stdin ] && input=/dev/stdin
rc=0
wine "$@" >"$out" 2>"$err" <"$input" || rc=$?
cat "$out"
cat "$err" >&2
exit $rc
