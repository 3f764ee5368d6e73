// The tool's console and scratch folders on Windows.
#include "cli/console.h"

#include <windows.h>
#include <errno.h>
#include <fcntl.h>
#include <io.h>
#include <stdio.h>
#include <sys/stat.h>

namespace vt {
namespace {

void (*g_interruptHandler)();

// Runs on a thread of its own that the system starts for the console event.
BOOL WINAPI OnConsoleEvent(DWORD event) {
  if ((event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT) && g_interruptHandler) {
    g_interruptHandler();
    return TRUE;
  }
  return FALSE;
}

}  // namespace

// The C runtime's text mode would turn each "\n" into CR LF.
void PrepareConsole() {
  _setmode(_fileno(stdout), _O_BINARY);
  _setmode(_fileno(stderr), _O_BINARY);
}

bool IsTerminal(int stream) { return _isatty(stream) != 0; }

void CatchInterrupt(void (*handler)()) {
  g_interruptHandler = handler;
  SetConsoleCtrlHandler(OnConsoleEvent, TRUE);
}

void ReleaseInterrupt() {
  SetConsoleCtrlHandler(OnConsoleEvent, FALSE);
  g_interruptHandler = nullptr;
}

bool MakeScratchDir(const char* prefix, std::string* path) {
  char temp[MAX_PATH + 1];
  DWORD length = GetTempPathA(sizeof temp, temp);
  if (length == 0 || length > MAX_PATH) return false;
  // CreateDirectoryA fails when the name exists, so a folder it makes is this call's alone.
  DWORD seed = GetTickCount() ^ (GetCurrentProcessId() << 16);
  for (int attempt = 0; attempt < 1000; attempt++) {
    char name[MAX_PATH + 32];
    wsprintfA(name, "%s%s%08lx", temp, prefix, (unsigned long)(seed + attempt * 7919u));
    if (CreateDirectoryA(name, nullptr)) {
      *path = name;
      return true;
    }
    if (GetLastError() != ERROR_ALREADY_EXISTS) return false;
  }
  return false;
}

FILE* CreateNewFile(const std::string& path, int* err) {
  // CREATE_NEW semantics: fails on any name that exists, a link or junction included.
  const int fd = _open(path.c_str(), _O_WRONLY | _O_CREAT | _O_EXCL | _O_BINARY | _O_NOINHERIT,
                       _S_IREAD | _S_IWRITE);
  if (fd < 0) {
    *err = errno;
    return nullptr;
  }
  FILE* file = _fdopen(fd, "wb");
  if (!file) {
    *err = errno;
    _close(fd);
    DeleteFileA(path.c_str());
  }
  return file;
}

unsigned long ProcessId() { return GetCurrentProcessId(); }

}  // namespace vt
