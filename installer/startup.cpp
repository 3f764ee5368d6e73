// Start-up: WorkDir, setup files, single-instance and target checks, start-up values.
#include <string.h>
#include <windows.h>

#include "chrome/splash_window.h"
#include "format/file_format.h"
#include "format/text_ops.h"
#include "installer/extract_block.h"
#include "installer/main_loop.h"
#include "installer/work_dir.h"
#include "patch/dir_tree.h"
#include "resources/resource.h"
#include "text/local_string.h"
#include "process/runtime.h"
#include "process/startup_state.h"
#include "process/system_library.h"
#include "wizard/processing_dialog.h"

namespace {

const char kUpdateIni[] = "Update.ini";
const char kLanguageIni[] = "Language.ini";
// The name put in place of "%1" in the message about a running target application.
const char kTargetName[] = "Vantrel";

}  // namespace

// The engine linked here runs add operations, split bodies and bodies from another file. The
// tool that packs an installer looks for these bytes in the stub before it pairs it with a
// script that holds them; no code reads them, so they are marked used, which keeps them
// through link-time optimisation and the link.
extern const char kStubOpsMarker[];
__attribute__((used, section(".rdata$vtops"))) const char kStubOpsMarker[] = VT_FROM_MARKER;

namespace {

// A second installer of the same package ends silently; the mutex handle stays open, so the
// name stays taken while this one runs. The mutex is made without an owner: taking ownership
// and giving it back at once would leave it in the same state.
void CheckSingleInstance() {
  char name[kPathChars];
  ReadAppValue("ApplierMutex", name);
  if (name[0] == 0) return;
  CreateMutexA(nullptr, FALSE, name);
  if (GetLastError() == ERROR_ALREADY_EXISTS) exit(0);
}

void CheckTargetNotRunning() {
  char name[kPathChars];
  ReadAppValue("TargetMutex", name);
  if (name[0] == 0) return;
  HANDLE mutex = OpenMutexA(SYNCHRONIZE, FALSE, name);
  if (!mutex) return;
  CloseHandle(mutex);
  char text[kPathChars];
  LoadLocalString(IDS_TARGET_RUNNING, text, sizeof text);
  vt::ReplaceAll(text, sizeof text, "%1", kTargetName);
  MessageBoxA(nullptr, text, nullptr, MB_ICONWARNING);
  exit(0);
}

// A bitmap of the WorkDir, or null.
HBITMAP LoadBitmapFile(const char* name) {
  return static_cast<HBITMAP>(LoadImageA(nullptr, name, IMAGE_BITMAP, 0, 0, LR_LOADFROMFILE));
}

// Update.ini's [App] `key` as a number, 1 when it is missing.
int ReadAppSwitch(const char* key) { return GetPrivateProfileIntA("App", key, 1, g_updateIniPath); }

void ReadStartupValues() {
  g_packageBitmap = LoadBitmapFile("Package.bmp");
  ReadAppValue("AppName", g_appName);
  char setup[kPathChars];
  LoadLocalString(IDS_SETUP, setup, sizeof setup);
  strcpy(g_appTitle, g_appName);
  if (strlen(g_appTitle) + 1 + strlen(setup) < kPathChars) {
    lstrcatA(g_appTitle, " ");
    lstrcatA(g_appTitle, setup);
  }
  ReadUpdateIni("Author", "CopyRight", g_copyrightLine);
  g_showBgw = ReadAppSwitch("ShowBGW");
  g_showSplash = ReadAppSwitch("ShowSplash");
}

int ExtractPatchBlock() { return ExtractBlock(vt::kPatchDataBlock); }

// Block 2 unpacks while the splash shows; without the splash it waits until the patch runs.
void ShowSplashWhileUnpacking() {
  if (!g_showSplash) return;
  if (!SplashWindow(LoadBitmapFile("Splash.bmp"), ExtractPatchBlock))
    FailWithMessage(nullptr, IDS_DATA_ERROR);
}

int RunInstaller(HINSTANCE instance) {
  atexit(RemoveWorkDir);
  g_unpackPatchScript = ExtractPatchBlock;
  SelectLanguageSection();
  g_instance = instance;
  // A WorkDir too long for the setup files' paths cannot be used either.
  if (!CreateWorkDir() || !vt::JoinPath(g_workDir, kUpdateIni, g_updateIniPath) ||
      !vt::JoinPath(g_workDir, kLanguageIni, g_languageIniPath))
    FailWithMessage(nullptr, IDS_DATA_ERROR);
  if (!ExtractBlock(vt::kSetupDataBlock)) FailWithMessage(nullptr, IDS_DATA_ERROR);
  CheckSingleInstance();
  CheckTargetNotRunning();
  ReadStartupValues();
  ShowSplashWhileUnpacking();
  return RunInstallerWindows();
}

}  // namespace

// The process entry: no C runtime start-up runs before it. The DLL search is narrowed before
// anything can load a DLL; the installer's own file is held before anything can swap it.
extern "C" void __stdcall StubEntry() {
  RestrictDllSearch();
  OpenInstallerFile();
  exit(RunInstaller(GetModuleHandleA(nullptr)));
}
