// record_launch: a program the installer's finish sequence starts in the tests. It appends one
// line to the file that VT_RECORD_FILE names: its working folder, its command line and the show
// command it was started with, tab-separated, so a test can see what was opened and how.
#include <windows.h>

#include <stdio.h>

int main() {
  char record[MAX_PATH], cwd[MAX_PATH];
  if (!GetEnvironmentVariableA("VT_RECORD_FILE", record, sizeof record)) return 1;
  GetCurrentDirectoryA(sizeof cwd, cwd);
  STARTUPINFOA startup = {};
  startup.cb = sizeof startup;
  GetStartupInfoA(&startup);
  int show = (startup.dwFlags & STARTF_USESHOWWINDOW) ? startup.wShowWindow : -1;
  char line[3 * MAX_PATH + 64];
  int length = snprintf(line, sizeof line, "%s\t%s\t%d\r\n", cwd, GetCommandLineA(), show);
  HANDLE file = CreateFileA(record, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                            OPEN_ALWAYS, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return 1;
  DWORD written = 0;
  WriteFile(file, line, DWORD(length), &written, nullptr);
  CloseHandle(file);
  return 0;
}
