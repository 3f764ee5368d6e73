// The Licence page: the licence text and the box that lets Next through.
#include "wizard/wizard_pages.h"

#include "resources/resource.h"
#include "wizard/setup_wizard.h"

void OnLicenceCommand(HWND page, WPARAM wParam) {
  if (LOWORD(wParam) == IDC_ACCEPT_LICENCE)
    PostWizardButtons(page, PageButtons(page, kLicencePage));
}
