// The tool's console and scratch folders on POSIX systems.
#include "cli/console.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>

namespace vt {
namespace {

// The signals that ask a process to end and that it can catch.
const int kEndingSignals[] = {SIGINT, SIGTERM, SIGHUP};
const int kEndingSignalCount = sizeof kEndingSignals / sizeof kEndingSignals[0];

void (*g_interruptHandler)();
struct sigaction g_previousActions[kEndingSignalCount];

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
  for (int i = 0; i < kEndingSignalCount; ++i)
    sigaction(kEndingSignals[i], &interrupt, &g_previousActions[i]);
}

void ReleaseInterrupt() {
  for (int i = 0; i < kEndingSignalCount; ++i)
    sigaction(kEndingSignals[i], &g_previousActions[i], nullptr);
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

FILE* CreateNewFile(const std::string& path, int* err) {
  // O_EXCL fails on any name that exists, a dangling link included, and never follows one.
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOCTTY, 0666);
  if (fd < 0) {
    *err = errno;
    return nullptr;
  }
  FILE* file = fdopen(fd, "wb");
  if (!file) {
    *err = errno;
    close(fd);
    unlink(path.c_str());
  }
  return file;
}

unsigned long ProcessId() { return static_cast<unsigned long>(getpid()); }

}  // namespace vt
