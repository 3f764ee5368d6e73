// The Destination page: shows the fixed destination and starts the run on Next.
#include "wizard/wizard_pages.h"

#include <commctrl.h>
#include <shlwapi.h>

#include "chrome/background_window.h"
#include "resources/resource.h"
#include "text/local_string.h"
#include "text/localise.h"
#include "process/startup_state.h"
#include "wizard/processing_dialog.h"
#include "wizard/registry_value.h"
#include "wizard/setup_wizard.h"

namespace {

// Set when the Destination page is left by Next; Back leaves it clear and starts nothing.
bool g_leaveByNext;
// Set once the run has started. A second Next (a double click, queued while the first one's
// dialog runs) must neither start a second run on the same RunState nor move the sheet.
bool g_runStarted;

// Stores the destination, then runs the patch with the wizard hidden. Returns only after a
// successful run; every other end of the run ends the process inside the dialog.
void InstallFromDestinationPage(HWND page) {
  GetWindowTextA(GetDlgItem(page, IDC_DESTINATION_DIR), g_destinationDir, kPathChars);
  WritePrivateProfileStringA("Path", "SoftWarePath", g_destinationDir, g_updateIniPath);
  LoadStringA(nullptr, IDS_PATCH_FILE, g_patchFileName, kPathChars);
  ShowWindow(g_wizardSheet, SW_HIDE);
  // Without the dialog there was no run: the Results page would show a stale log.
  if (DialogBoxParamA(g_instance, MAKEINTRESOURCEA(IDD_PROCESSING), g_backgroundWindow,
                      ProcessingDialogProc, 0) != IDOK)
    FailOverBackground(IDS_DATA_ERROR);
  ShowWindow(g_wizardSheet, SW_SHOW);
}

}  // namespace

void ShowDefaultDestination(HWND page) {
  ReadProgramFilesDir(g_destinationDir);
  PathAppendA(g_destinationDir, kProductPath);
  SetWindowTextA(GetDlgItem(page, IDC_DESTINATION_DIR), g_destinationDir);
}

void OnDestinationNotify(HWND page, UINT code) {
  if (code == UINT(PSN_WIZNEXT)) {
    g_leaveByNext = true;
    if (g_runStarted) SetWindowLongPtrA(page, DWLP_MSGRESULT, -1);
  }
  if (code == UINT(PSN_KILLACTIVE) && g_leaveByNext && !g_runStarted) {
    g_runStarted = true;
    InstallFromDestinationPage(page);
    // Messages to this page during the run (a refused Next) left their answer in the slot.
    SetWindowLongPtrA(page, DWLP_MSGRESULT, 0);
  }
}
