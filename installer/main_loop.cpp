// The installer's windows and its message loop.
#include "installer/main_loop.h"

#include "chrome/background_window.h"
#include "chrome/splash_window.h"
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
  // A failing queue ends the installer like WM_QUIT, with exit code 0.
  return RunMessageLoop(g_wizardSheet);
}
