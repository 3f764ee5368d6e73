// The Guide page: the package's user guide, shown even when it is missing.
#include "wizard/wizard_pages.h"

#include "resources/resource.h"
#include "wizard/setup_wizard.h"

INT_PTR CALLBACK GuidePageProc(HWND page, UINT message, WPARAM wParam, LPARAM lParam) {
  INT_PTR result = HandlePageMessage(page, message, wParam, lParam, kGuidePage);
  if (message == WM_INITDIALOG) LoadPageText(page, IDC_GUIDE_TEXT, IDS_GUIDE_FILE);
  return result;
}
