// The About box's dialog procedure.
#include "chrome/about_box.h"

#include "resources/resource.h"
#include "text/local_string.h"
#include "text/localise.h"
#include "process/startup_state.h"

namespace {

INT_PTR CALLBACK AboutBoxProc(HWND dialog, UINT message, WPARAM wParam, LPARAM) {
  switch (message) {
    case WM_INITDIALOG:
      LocaliseChildWindows(dialog);
      SetLocalWindowText(dialog, IDS_ABOUT_TITLE);
      return TRUE;
    case WM_COMMAND:
      if (LOWORD(wParam) == IDOK || LOWORD(wParam) == IDCANCEL) {
        EndDialog(dialog, 0);
        return TRUE;
      }
      break;
  }
  return FALSE;
}

}  // namespace

void ShowAboutBox(HWND owner) {
  DialogBoxParamA(g_instance, MAKEINTRESOURCEA(IDD_ABOUT), owner, AboutBoxProc, 0);
}
