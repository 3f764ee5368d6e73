// Control texts from Language.ini, and the AppName in place of "%p".
#include "text/localise.h"

#include "format/text_ops.h"
#include "text/local_string.h"
#include "process/startup_state.h"

namespace {

const int kControlTextChars = 1024;
const int kAppNameTextChars = 512;

}  // namespace

void LocaliseChildWindows(HWND window) { EnumChildWindows(window, LocaliseControl, 0); }

BOOL CALLBACK LocaliseControl(HWND control, LPARAM) {
  char text[kControlTextChars];
  // A child window's identifier, as GetDlgCtrlID reads it.
  if (ReadLanguageText(int(GetWindowLongA(control, GWL_ID)), text, sizeof text) > 0) {
    SetWindowTextA(control, text);
    UseGuiFont(control);
  }
  return TRUE;
}

void UseGuiFont(HWND window) {
  SendMessageA(window, WM_SETFONT, WPARAM(GetStockObject(DEFAULT_GUI_FONT)), FALSE);
}

void InsertAppName(HWND window) {
  char text[kAppNameTextChars];
  GetWindowTextA(window, text, sizeof text);
  // ReplaceAll stops before an overflow and never searches an AppName it put in, so no "%p"
  // forms from an AppName and its neighbours.
  vt::ReplaceAll(text, sizeof text, "%p", g_appName);
  SetWindowTextA(window, text);
}
