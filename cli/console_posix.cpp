// The tool's console on POSIX systems.
#include "cli/console.h"

#include <signal.h>
#include <unistd.h>

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

}  // namespace vt
