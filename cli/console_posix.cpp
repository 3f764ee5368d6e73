// The tool's console and scratch folders on POSIX systems.
#include "cli/console.h"

#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>

namespace vt {
namespace {

void (*g_interruptHandler)();
struct sigaction g_previousInterrupt;

void OnSignal(int) {
  if (g_interruptHandler) g_interruptHandler();
}

}  // namespace

void PrepareConsole() {}

bool IsTerminal(int stream) { return isatty(stream) != 0; }

void CatchInterrupt(void (*handler)()) {
  g_interruptHandler = handler;
  struct sigaction interrupt = {};
  interrupt.sa_handler = OnSignal;
  interrupt.sa_flags = SA_RESTART;  // file reads and writes carry on; the run checks its state
  sigemptyset(&interrupt.sa_mask);
  sigaction(SIGINT, &interrupt, &g_previousInterrupt);
}

void ReleaseInterrupt() {
  sigaction(SIGINT, &g_previousInterrupt, nullptr);
  g_interruptHandler = nullptr;
}

bool MakeScratchDir(const char* prefix, std::string* path) {
  std::error_code ec;
  std::string pattern =
      (std::filesystem::temp_directory_path(ec) / (std::string(prefix) + "XXXXXX")).string();
  if (ec || !mkdtemp(&pattern[0])) return false;
  *path = pattern;
  return true;
}

}  // namespace vt
