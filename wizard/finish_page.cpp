// The Finish page: Read Me and launch choices, and the finish sequence.
#include "wizard/wizard_pages.h"

#include <commctrl.h>

#include "chrome/background_window.h"
#include "resources/resource.h"
#include "text/local_string.h"
#include "text/localise.h"
#include "process/startup_state.h"
#include "wizard/setup_wizard.h"

namespace {

// Opens `file` through the shell, owned by the background window, then gives it time to start.
void OpenWithShell(const char* file, const char* parameters, const char* directory, int show) {
  ShellExecuteA(g_backgroundWindow, "open", file, parameters, directory, show);
  Sleep(800);
}

}  // namespace

void RunFinishSequence(HWND page) {
  static bool finishing;
  if (finishing) return;
  finishing = true;
  char command[kPathChars], parameter[kPathChars], caption[kPathChars];
  char question[360 + 1 + 2 * kPathChars];
  char directory[kPathChars], file[kPathChars];
  ReadUpdateIni("ShellExec", "Command", command);
  ReadUpdateIni("ShellExec", "Parameter", parameter);
  LoadLocalString(IDS_CAPTION, caption, sizeof caption);
  LoadLocalString(IDS_CONFIRM_COMMAND, question, 360);
  lstrcatA(question, "\n");
  lstrcatA(question, command);
  lstrcatA(question, " ");
  lstrcatA(question, parameter);
  ShowWindow(g_backgroundWindow, SW_HIDE);
  ShowWindow(GetParent(page), SW_HIDE);
  if (command[0] && MessageBoxA(page, question, caption, MB_ICONQUESTION | MB_YESNO) == IDYES) {
    ReadSoftwarePath(directory);
    OpenWithShell(command, parameter, directory,
                  GetPrivateProfileIntA("ShellExec", "ShowWindow", 0, g_updateIniPath));
  }
  if (IsDlgButtonChecked(page, IDC_VIEW_README)) {
    LoadStringA(nullptr, IDS_README_FILE, file, sizeof file);
    OpenWithShell(file, nullptr, g_workDir, SW_SHOWDEFAULT);
  }
  if (IsDlgButtonChecked(page, IDC_LAUNCH_APP)) {
    ReadSoftwarePath(directory);
    ReadAppValue("MainFile", file);
    OpenWithShell(file, nullptr, directory, SW_SHOWDEFAULT);
  }
  Sleep(5000);
  // Ends the main loop as the background window's destruction would, once the sheet has
  // finished handling this notification.
  PostQuitMessage(0);
}

void InitFinishPage(HWND page) {
  // What CheckDlgButton sends, to the control at hand.
  const HWND launch = GetDlgItem(page, IDC_LAUNCH_APP);
  InsertAppName(launch);
  SendMessageA(launch, BM_SETCHECK, BST_CHECKED, 0);
}
