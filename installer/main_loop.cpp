// The installer's windows and its message loop.
#include "installer/main_loop.h"

#include <commctrl.h>

#include "chrome/background_window.h"
#include "resources/resource.h"
#include "text/local_string.h"
#include "process/startup_state.h"
#include "process/system_library.h"
#include "wizard/setup_wizard.h"

int RunInstallerWindows() {
  CreateBackgroundWindow();
  // Loaded from System32 by its full path: comctl32 is no KnownDLL.
  typedef void(WINAPI * InitCommonControlsFn)();
  if (const auto init = reinterpret_cast<InitCommonControlsFn>(
          SystemDllFunction(kCommonControlsDll, "InitCommonControls")))
    init();
  // Without the wizard there is no way through setup: end now, and the exit clean-up runs.
  if (!CreateSetupWizard(g_backgroundWindow, kWelcomePage) || !g_backgroundWindow) return 0;
  CenterOnOwner(g_wizardSheet);
  ShowWindow(g_backgroundWindow, g_showBgw ? SW_SHOWMAXIMIZED : SW_SHOWMINIMIZED);
  ShowWindow(g_wizardSheet, SW_SHOWNORMAL);
  UpdateWindow(g_backgroundWindow);
  // The wizard sees every message first, so that Tab, Return and Esc work in it.
  MSG message;
  BOOL got;
  while ((got = GetMessageA(&message, nullptr, 0, 0)) > 0) {
    if (SendMessageA(g_wizardSheet, PSM_ISDIALOGMESSAGE, 0, reinterpret_cast<LPARAM>(&message)))
      continue;
    TranslateMessage(&message);
    DispatchMessageA(&message);
  }
  // A failing queue (-1) ends the installer like WM_QUIT, with exit code 0.
  return got == 0 ? int(message.wParam) : 0;
}
