// The installer's windows and its message loop.
#include "installer/main_loop.h"

#include <commctrl.h>

#include "chrome/background_window.h"
#include "resources/resource.h"
#include "text/local_string.h"
#include "text/startup_state.h"
#include "text/system_library.h"
#include "wizard/setup_wizard.h"

HWND g_setupWizard;

namespace {

const char kBackgroundClass[] = "VantrelBackground";
const int kAboutMenuChars = 100;

HWND CreateBackgroundWindow() {
  WNDCLASSA windowClass = {};
  windowClass.style = CS_HREDRAW | CS_VREDRAW;
  windowClass.lpfnWndProc = BackgroundWindowProc;
  windowClass.hInstance = g_instance;
  windowClass.hIcon = LoadIconA(g_instance, MAKEINTRESOURCEA(IDI_INSTALLER));
  windowClass.hCursor = LoadCursorA(nullptr, IDC_ARROW);
  windowClass.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
  windowClass.lpszClassName = kBackgroundClass;
  RegisterClassA(&windowClass);
  return CreateWindowExA(0, kBackgroundClass, g_appTitle, WS_OVERLAPPEDWINDOW | WS_MAXIMIZE,
                         CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, nullptr,
                         CreateMenu(), g_instance, nullptr);
}

void AddAboutItem(HWND window) {
  char text[kAboutMenuChars];
  LoadLocalString(IDS_ABOUT_MENU, text, sizeof text);
  HMENU menu = GetSystemMenu(window, FALSE);
  AppendMenuA(menu, MF_SEPARATOR, 0, nullptr);
  AppendMenuA(menu, MF_STRING, IDM_ABOUT, text);
}

}  // namespace

int RunInstallerWindows() {
  g_backgroundWindow = CreateBackgroundWindow();
  AddAboutItem(g_backgroundWindow);
  // Loaded from System32 by its full path: comctl32 is no KnownDLL.
  typedef void(WINAPI * InitCommonControlsFn)();
  if (const auto init = reinterpret_cast<InitCommonControlsFn>(
          SystemDllFunction(kCommonControlsDll, "InitCommonControls")))
    init();
  g_setupWizard = CreateSetupWizard(g_backgroundWindow, kWelcomePage);
  // Without the wizard there is no way through setup: end now, and the exit clean-up runs.
  if (!g_backgroundWindow || !g_setupWizard) return 0;
  CenterOnOwner(g_setupWizard);
  ShowWindow(g_backgroundWindow, g_showBgw ? SW_SHOWMAXIMIZED : SW_SHOWMINIMIZED);
  ShowWindow(g_setupWizard, SW_SHOWNORMAL);
  UpdateWindow(g_backgroundWindow);
  // The wizard sees every message first, so that Tab, Return and Esc work in it.
  MSG message;
  BOOL got;
  while ((got = GetMessageA(&message, nullptr, 0, 0)) > 0) {
    if (g_setupWizard &&
        SendMessageA(g_setupWizard, PSM_ISDIALOGMESSAGE, 0, reinterpret_cast<LPARAM>(&message)))
      continue;
    TranslateMessage(&message);
    DispatchMessageA(&message);
  }
  // A failing queue (-1) ends the installer like WM_QUIT, with exit code 0.
  return got == 0 ? int(message.wParam) : 0;
}
