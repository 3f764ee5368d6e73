// The full-screen background window behind the wizard, whose destruction ends the installer.
#ifndef VANTREL_CHROME_BACKGROUND_WINDOW_H
#define VANTREL_CHROME_BACKGROUND_WINDOW_H

#include <windows.h>

// The background window, owner of the wizard and of every later dialog; set once, by
// CreateBackgroundWindow.
extern HWND g_backgroundWindow;

// The sheet window as the wizard's creation callback reported it: the one window that the
// background window owns while the background window takes input.
extern HWND g_wizardSheet;

// Creates the background window (maximised, not yet shown, About in its system menu) as
// g_backgroundWindow and returns it, or null when it cannot be created. Its destruction posts
// WM_QUIT with code 0.
HWND CreateBackgroundWindow();

// FailWithMessage with the background window as the message's owner.
[[noreturn]] void FailOverBackground(UINT textId);

#endif  // VANTREL_CHROME_BACKGROUND_WINDOW_H
