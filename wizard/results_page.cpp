// The Results page: the run's ResultLog; only forward from here.
#include "wizard/wizard_pages.h"

#include "resources/resource.h"
#include "wizard/processing_dialog.h"
#include "wizard/setup_wizard.h"

INT_PTR CALLBACK ResultsPageProc(HWND page, UINT message, WPARAM wParam, LPARAM lParam) {
  INT_PTR result = HandlePageMessage(page, message, wParam, lParam, kResultsPage);
  if (message == WM_INITDIALOG) LoadPageText(page, IDC_RESULTS_LOG, IDS_LOG_FILE, g_destinationDir);
  return result;
}
