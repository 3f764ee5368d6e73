#!/usr/bin/env bash
# The Windows build of vantrel as a command of this system, for the command-line tests: runs
# VANTREL_TOOL_EXE under the project's Wine session with the given arguments.
exec "$(dirname "$0")/wine_run.sh" "${VANTREL_TOOL_EXE:?VANTREL_TOOL_EXE names vantrel.exe}" "$@"
