// The Welcome page: greets the user with AppName.
#include "wizard/wizard_pages.h"

#include "resources/resource.h"
#include "text/localise.h"
#include "wizard/setup_wizard.h"

INT_PTR CALLBACK WelcomePageProc(HWND page, UINT message, WPARAM wParam, LPARAM lParam) {
  INT_PTR result = HandlePageMessage(page, message, wParam, lParam, kWelcomePage);
  if (message == WM_INITDIALOG) InsertAppName(GetDlgItem(page, IDC_WELCOME_TEXT));
  return result;
}
