// The Licence page: the licence text and the box that lets Next through.
#include "wizard/wizard_pages.h"

#include "resources/resource.h"
#include "wizard/setup_wizard.h"

INT_PTR CALLBACK LicencePageProc(HWND page, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_COMMAND) {
    if (LOWORD(wParam) == IDC_ACCEPT_LICENCE)
      PostWizardButtons(page, PageButtons(page, kLicencePage));
    return TRUE;
  }
  return PageProc(page, message, wParam, lParam);
}
