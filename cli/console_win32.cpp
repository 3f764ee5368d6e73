// The tool's console on Windows.
#include "cli/console.h"

#include <windows.h>
#include <fcntl.h>
#include <io.h>
#include <stdio.h>

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

}  // namespace vt
