// The processing dialog: fills the run's settings, starts the patch worker and ends the run.
#include "wizard/processing_dialog.h"

#include <shlwapi.h>
#include <string.h>

#include "chrome/background_window.h"
#include "format/ansi_chars.h"
#include "patch/crc32.h"
#include "resources/resource.h"
#include "text/local_string.h"
#include "text/localise.h"
#include "wizard/registry_value.h"
#include "wizard/patch_worker.h"

char g_destinationDir[kPathChars];
char g_patchFileName[kPathChars];
int (*g_unpackPatchScript)();
const char kProductPath[] = "Orlenko\\Common\\Tools\\Vantrel";

namespace {

const char kLanguageDirKey[] =
    "Software\\Orlenko\\Common\\Tools\\Vantrel\\Kestrum\\Directories";

// Everything the run points to lives as long as the process.
char g_keptBackupDir[kPathChars + 1];  // room for the trailing backslash
char g_scriptPath[kPathChars];
char g_mainFile[kPathChars];
vt::RunState g_run;
vt::RunWindows g_runWindows;

void LoadLogMessage(void*, uint32_t id, char* text, uint32_t size) {
  LoadLocalString(id, text, int(size));
}

void WriteLanguageDir() {
  char path[kPathChars];
  // Without the program files directory the record would name a relative path: skip it.
  if (!ReadProgramFilesDir(path) || !PathAppendA(path, kProductPath) ||
      !PathAppendA(path, "Languages"))
    return;
  WriteRegistryValue(HKEY_CURRENT_USER, kLanguageDirKey, "LanguageDir", REG_SZ, path,
                     DWORD(strlen(path) + 1));
}

// A drive path ("C:\...") or a network path ("\\server\share..."). Anything else would
// resolve against the WorkDir, which the exit then deletes with what was installed there.
bool IsAbsolutePath(const char* path) {
  return (path[0] == '\\' && path[1] == '\\') ||
         (unsigned((path[0] | 0x20) - 'a') < 26 && path[1] == ':' && path[2] == '\\');
}

// The message for each end of a run that did not complete, from 0 down: an unfinished repair
// asks, as a failed main file does, to close the program and try again, and an unreadable
// script is a data error. String IDs below 256, one byte each.
const uint8_t kFailureMessages[] = {
    IDS_CANCELLED,         // kRunCancelled
    IDS_MAIN_FILE_FAILED,  // kRunMainFileFailed
    IDS_DATA_ERROR,        // kRunDataError
    IDS_CANNOT_WRITE,      // kRunDestinationUnwritable
    IDS_PATH_TOO_LONG,     // kRunDestinationTooLong
    IDS_DATA_ERROR,        // kRunScriptUnreadable
    IDS_MAIN_FILE_FAILED,  // kRunRepairIncomplete
};
static_assert(vt::kRunRepairIncomplete == 1 - int(sizeof kFailureMessages), "one per end");

UINT FailureMessage(int32_t state) {
  const uint32_t index = uint32_t(-state);
  return index < sizeof kFailureMessages ? kFailureMessages[index] : IDS_DATA_ERROR;
}

void StartRun(HWND dialog) {
  LocaliseChildWindows(dialog);
  ReadSoftwarePath(g_destinationDir);
  if (!IsAbsolutePath(g_destinationDir)) FailOverBackground(IDS_CANNOT_WRITE);
  char backupName[kPathChars];
  GetPrivateProfileStringA("Path", "BackupDirectory", "Vantrel.bak", backupName, kPathChars, g_updateIniPath);
  strcpy(g_keptBackupDir, g_destinationDir);
  PathAppendA(g_keptBackupDir, backupName);
  // The last byte may be the second byte of a double-byte character: look at characters.
  if (g_keptBackupDir[0] && !vt::EndsWithSeparator(g_keptBackupDir)) lstrcatA(g_keptBackupDir, "\\");
  strcpy(g_scriptPath, g_workDir);
  PathAppendA(g_scriptPath, g_patchFileName);
  ReadAppValue("MainFile", g_mainFile);
  g_run.destinationDir = g_destinationDir;
  g_run.keptBackupDir = g_keptBackupDir;
  g_run.scriptPath = g_scriptPath;
  g_run.mainFile = g_mainFile;
  g_run.loadMessage = LoadLogMessage;
  g_runWindows.dialog = dialog;
  g_runWindows.progressBar = GetDlgItem(dialog, IDC_PROGRESS);
  g_runWindows.fileLabel = GetDlgItem(dialog, IDC_PROCESSING_FILE);
  vt::ObserveWithWindows(&g_run, &g_runWindows);
  vt::StoreRunState(&g_run, vt::kRunInProgress);
  // Without the splash, block 2 is still packed; the dialog shows only once it is unpacked.
  if (!g_showSplash && !g_unpackPatchScript())
    FailOverBackground(IDS_DATA_ERROR);
  vt::BuildCrcTable();
  DWORD threadId;
  HANDLE worker = CreateThread(nullptr, 0, vt::PatchWorker, &g_run, 0, &threadId);
  if (!worker) {
    EndDialog(dialog, 0);
    FailOverBackground(IDS_DATA_ERROR);
  }
}

}  // namespace

INT_PTR CALLBACK ProcessingDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM) {
  switch (message) {
    case WM_INITDIALOG:
      StartRun(dialog);
      return TRUE;
    case WM_COMMAND:
      // The worker stops after its current entry and rolls back; its run-done ends the dialog.
      if (LOWORD(wParam) == IDCANCEL) vt::CancelRun(&g_run);
      return TRUE;
    case vt::kRunDoneMessage: {
      const int32_t state = int32_t(wParam);
      EndDialog(dialog, IDOK);
      if (state > 0) {
        WriteLanguageDir();
        return TRUE;
      }
      FailOverBackground(FailureMessage(state));
    }
  }
  return FALSE;
}
