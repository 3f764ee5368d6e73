// The full-screen background window behind the wizard, whose destruction ends the installer.
#ifndef VANTREL_CHROME_BACKGROUND_WINDOW_H
#define VANTREL_CHROME_BACKGROUND_WINDOW_H

#include <windows.h>

// The background window, owner of the wizard and of every later dialog; set once by start-up.
extern HWND g_backgroundWindow;

// Window procedure of the background window. Its destruction posts WM_QUIT with code 0.
LRESULT CALLBACK BackgroundWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

#endif  // VANTREL_CHROME_BACKGROUND_WINDOW_H
