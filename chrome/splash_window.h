// The splash window: a bitmap centred on the screen, on top, while start-up work runs.
#ifndef VANTREL_CHROME_SPLASH_WINDOW_H
#define VANTREL_CHROME_SPLASH_WINDOW_H

#include <windows.h>

// Copies the whole `bitmap` to (x, y) of `dc`; draws nothing without a bitmap.
void DrawBitmapAt(HDC dc, int x, int y, HBITMAP bitmap);

// Runs the thread's message loop until WM_QUIT and returns its exit code; a failing queue (-1)
// returns 0. With a `sheet`, a property sheet sees every message first, so that Tab, Return
// and Esc work in it.
int RunMessageLoop(HWND sheet);

typedef int (*SplashWork)();

// Shows `bitmap` centred on the desktop as a topmost tool window, runs `work` once it has been
// painted and returns the work's result after the splash has gone: at least 1.5 s after the
// work started, or right after a longer work. Returns 0 when the splash was closed before the
// work ran. Without a bitmap nothing is shown and the work runs at once.
int SplashWindow(HBITMAP bitmap, SplashWork work);

#endif  // VANTREL_CHROME_SPLASH_WINDOW_H
