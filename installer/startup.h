// The installer's start-up sequence.
#ifndef VANTREL_INSTALLER_STARTUP_H
#define VANTREL_INSTALLER_STARTUP_H

#include <windows.h>

// Shows a message by string IDs with caption 200, a stop icon and the given owner, then ends
// the process with exit code 0 through the runtime's exit, so the WorkDir is removed.
[[noreturn]] void FailWithMessage(HWND owner, UINT textId);

#endif  // VANTREL_INSTALLER_STARTUP_H
