// What the tool needs from its console: whether an output is a terminal, Ctrl+C and the signals
// that end a process. One file per platform implements it.
#ifndef VANTREL_CLI_CONSOLE_H
#define VANTREL_CLI_CONSOLE_H

#include <atomic>

namespace vt {

// Puts standard output and error in the state the tool writes them in: bytes as they are, so
// its output is the same on every system.
void PrepareConsole();

// Whether standard output (1) or standard error (2) is a terminal, so progress may redraw.
bool IsTerminal(int stream);

// Calls `handler` (from any thread or a signal handler) when the user presses Ctrl+C or the
// process is asked to end (POSIX: SIGINT, SIGTERM, SIGHUP; Windows: Ctrl+C, Ctrl+Break),
// instead of ending the process, until ReleaseInterrupt. The handler may only store to atomics.
void CatchInterrupt(void (*handler)());
void ReleaseInterrupt();

// While one lives, Ctrl+C and the signals that end a process set its flag instead (one at a
// time: it holds the process's interrupt handler).
class StopOnInterrupt {
 public:
  StopOnInterrupt();
  ~StopOnInterrupt();
  StopOnInterrupt(const StopOnInterrupt&) = delete;
  StopOnInterrupt& operator=(const StopOnInterrupt&) = delete;
  const std::atomic<bool>* flag() const;
};

}  // namespace vt

#endif  // VANTREL_CLI_CONSOLE_H
