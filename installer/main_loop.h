// The installer's long-lived windows and its message loop.
#ifndef VANTREL_INSTALLER_MAIN_LOOP_H
#define VANTREL_INSTALLER_MAIN_LOOP_H

#include <windows.h>

// Creates and shows the background window and the wizard, then runs the message loop until the
// background window is destroyed. Returns the WM_QUIT code.
int RunInstallerWindows();

#endif  // VANTREL_INSTALLER_MAIN_LOOP_H
