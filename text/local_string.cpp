// String lookup through Language.ini and the built-in string table.
#include "text/local_string.h"

#include <string.h>

#include "format/text_ops.h"
#include "resources/resource.h"
#include "process/runtime.h"
#include "process/startup_state.h"

char g_languageSection[6];

void SelectLanguageSection() { vt::FormatLanguageSection(GetUserDefaultLangID(), g_languageSection); }

int ReadLanguageText(int id, char* text, int size) {
  char key[16];
  vt::FormatIdKey(id, key);
  int got = GetPrivateProfileStringA(g_languageSection, key, "", text, size, g_languageIniPath);
  if (got > 0) vt::ReplaceAll(text, size_t(size), "\\n", "\n");
  return got;
}

int LoadLocalString(UINT id, char* text, int size) {
  // A null module is the file the process was started from, as for every string load here:
  // the stub's own, which g_instance also names, without loading its address each time.
  int found = LoadStringA(nullptr, id, text, size);
  if (found == 0) {
    text[0] = 0;
    return 0;
  }
  // Before start-up has built the path (a failed first extraction) there is no Language.ini.
  if (g_languageIniPath[0] == 0) return found;
  // Every caller's buffer is at most 1024 characters, so a stack buffer replaces an allocation
  // that could fail.
  char value[1024];
  if (size > int(sizeof value)) size = sizeof value;
  int got = ReadLanguageText(int(id), value, size);
  if (got > 0) {
    strcpy(text, value);
    found = got;
  }
  return found;
}

int LocalMessageBox(HWND owner, UINT textId, UINT captionId, UINT flags) {
  char text[1024];
  char caption[260];
  LoadLocalString(textId, text, sizeof text);
  LoadLocalString(captionId, caption, sizeof caption);
  return MessageBoxA(owner, text, caption, flags);
}

void FailWithMessage(HWND owner, UINT textId) {
  LocalMessageBox(owner, textId, IDS_CAPTION, MB_ICONSTOP);
  exit(0);
}

void SetLocalWindowText(HWND window, UINT id) {
  char text[255];
  if (LoadLocalString(id, text, sizeof text)) SetWindowTextA(window, text);
}
