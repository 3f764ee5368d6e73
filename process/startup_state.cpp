// Storage of the start-up values.
#include "process/startup_state.h"

HINSTANCE g_instance;
char g_tempPath[kPathChars];
char g_workDir[kPathChars];
char g_updateIniPath[kPathChars];
char g_languageIniPath[kPathChars];
HBITMAP g_packageBitmap;
char g_appName[kPathChars];
char g_appTitle[kPathChars];
char g_copyrightLine[kPathChars];
int g_showBgw;
int g_showSplash;

void ReadUpdateIni(const char* section, const char* key, char* value) {
  GetPrivateProfileStringA(section, key, "", value, kPathChars, g_updateIniPath);
}
