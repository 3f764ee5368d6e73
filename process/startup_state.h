// Values that start-up (installer/) sets once and the text lookup, the chrome and the wizard
// read. They live at the bottom of the Win32 side so that every window reads them downwards.
#ifndef VANTREL_PROCESS_STARTUP_STATE_H
#define VANTREL_PROCESS_STARTUP_STATE_H

#include <windows.h>

#include "format/file_format.h"

const int kPathChars = int(vt::kMaxPath) + 1;  // MAX_PATH, NUL included

extern HINSTANCE g_instance;
extern char g_tempPath[kPathChars];         // system temp folder, with its trailing backslash
extern char g_workDir[kPathChars];          // this process's "VTA" folder; empty until made
extern char g_updateIniPath[kPathChars];    // WorkDir\Update.ini, the working copy
extern char g_languageIniPath[kPathChars];  // WorkDir\Language.ini; the file may be absent
extern HBITMAP g_packageBitmap;             // Package.bmp, or null
extern char g_appName[kPathChars];
extern char g_appTitle[kPathChars];  // AppName, a blank and string 203
extern char g_copyrightLine[kPathChars];
extern int g_showBgw;
extern int g_showSplash;

// Reads `key` of `section` of the WorkDir's Update.ini into `value` (kPathChars); empty when
// the file has no such key. The one reader of Update.ini's texts but for the one key with a
// default of its own, [Path] BackupDirectory.
void ReadUpdateIni(const char* section, const char* key, char* value);

#endif  // VANTREL_PROCESS_STARTUP_STATE_H
