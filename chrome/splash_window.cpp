// The splash window: its class and procedure; the message loop that it and the wizard run.
#include "chrome/splash_window.h"

#include <commctrl.h>

#include "process/startup_state.h"

namespace {

const char kSplashClass[] = "Splash";
// One timer: it first starts the work, then, set again with a new period, closes the splash.
const UINT_PTR kSplashTimer = 1;
const UINT kCloseAfterMs = 1500;

HBITMAP g_splashBitmap;
SplashWork g_splashWork;
int g_workResult;
bool g_workStarted;

void OnPaint(HWND window) {
  PAINTSTRUCT paint;
  HDC dc = BeginPaint(window, &paint);
  DrawBitmapAt(dc, 0, 0, g_splashBitmap);
  EndPaint(window, &paint);
}

// The close timer starts before the work, so a short work keeps the splash up for 1.5 s in
// all and a long one closes it as soon as it returns.
void OnTimer(HWND window) {
  if (g_workStarted) {
    DestroyWindow(window);
    return;
  }
  g_workStarted = true;
  // Setting a timer that exists replaces it: the start timer becomes the close timer.
  SetTimer(window, kSplashTimer, kCloseAfterMs, nullptr);
  g_workResult = g_splashWork();
}

LRESULT CALLBACK SplashWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_CREATE:
      // Fires once the queue is empty after the first paint: the bitmap shows before the work.
      SetTimer(window, kSplashTimer, 1, nullptr);
      return 0;
    case WM_PAINT:
      OnPaint(window);
      return 0;
    case WM_TIMER:
      OnTimer(window);
      return 0;
    case WM_DESTROY:
      PostQuitMessage(g_workResult);
      return 0;
  }
  return DefWindowProcA(window, message, wParam, lParam);
}

// Null when the window cannot be made.
HWND CreateSplash(HBITMAP bitmap) {
  WNDCLASSA windowClass = {};
  windowClass.style = CS_HREDRAW | CS_VREDRAW;
  windowClass.lpfnWndProc = SplashWindowProc;
  windowClass.hInstance = g_instance;
  windowClass.lpszClassName = kSplashClass;
  RegisterClassA(&windowClass);
  BITMAP size;
  GetObjectA(bitmap, sizeof size, &size);
  RECT desktop;
  GetWindowRect(GetDesktopWindow(), &desktop);
  // Arithmetic shifts: a bitmap larger than the screen gets negative, rounded-down positions.
  const int x = desktop.left + ((desktop.right - desktop.left - size.bmWidth) >> 1);
  const int y = desktop.top + ((desktop.bottom - desktop.top - size.bmHeight) >> 1);
  return CreateWindowExA(WS_EX_TOOLWINDOW | WS_EX_TOPMOST, kSplashClass, nullptr,
                         WS_POPUP | WS_VISIBLE, x, y, size.bmWidth, size.bmHeight, nullptr,
                         nullptr, windowClass.hInstance, nullptr);
}

}  // namespace

void DrawBitmapAt(HDC dc, int x, int y, HBITMAP bitmap) {
  if (!bitmap) return;
  HDC memory = CreateCompatibleDC(dc);
  SelectObject(memory, bitmap);
  BITMAP size;
  GetObjectA(bitmap, sizeof size, &size);
  BitBlt(dc, x, y, size.bmWidth, size.bmHeight, memory, 0, 0, SRCCOPY);
  DeleteDC(memory);
}

int SplashWindow(HBITMAP bitmap, SplashWork work) {
  g_splashBitmap = bitmap;
  g_splashWork = work;
  // Without a bitmap there is nothing to show and no size for a window: the work runs at once.
  HWND window = bitmap ? CreateSplash(bitmap) : nullptr;
  if (!window) return work();
  UpdateWindow(window);
  // A failing queue counts as failed work, so start-up ends the usual way.
  return RunMessageLoop(nullptr);
}

int RunMessageLoop(HWND sheet) {
  MSG message;
  BOOL got;
  while ((got = GetMessageA(&message, nullptr, 0, 0)) > 0) {
    if (sheet &&
        SendMessageA(sheet, PSM_ISDIALOGMESSAGE, 0, reinterpret_cast<LPARAM>(&message)))
      continue;
    TranslateMessage(&message);
    DispatchMessageA(&message);
  }
  return got == 0 ? int(message.wParam) : 0;
}
