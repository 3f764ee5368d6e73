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
  INT_PTR result = HandlePageMessage(page, message, wParam, lParam, kLicencePage);
  if (message == WM_INITDIALOG) LoadPageText(page, IDC_LICENCE_TEXT, IDS_LICENSE_FILE);
  return result;
}
