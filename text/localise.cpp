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
  char key[16];
  char text[kControlTextChars];
  vt::FormatIdKey(GetDlgCtrlID(control), key);
  GetPrivateProfileStringA(g_languageSection, key, "", text, sizeof text, g_languageIniPath);
  if (text[0]) {
    vt::ReplaceAll(text, sizeof text, "\\n", "\n");
    SetWindowTextA(control, text);
    SendMessageA(control, WM_SETFONT, WPARAM(GetStockObject(DEFAULT_GUI_FONT)), FALSE);
  }
  return TRUE;
}

void InsertAppName(HWND window) {
  char text[kAppNameTextChars];
  GetWindowTextA(window, text, sizeof text);
  // ReplaceAll stops before an overflow and never searches an AppName it put in, so no "%p"
  // forms from an AppName and its neighbours.
  vt::ReplaceAll(text, sizeof text, "%p", g_appName);
  SetWindowTextA(window, text);
}
