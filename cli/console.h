// What the tool needs from its console and the system beyond files: whether an output is a
// terminal, Ctrl+C, and private scratch folders. One file per platform implements it.
#ifndef VANTREL_CLI_CONSOLE_H
#define VANTREL_CLI_CONSOLE_H

#include <string>

namespace vt {

// Puts standard output and error in the state the tool writes them in: bytes as they are, so
// its output is the same on every system.
void PrepareConsole();

// Whether standard output (1) or standard error (2) is a terminal, so progress may redraw.
bool IsTerminal(int stream);

// Calls `handler` (from any thread) when the user presses Ctrl+C, instead of ending the
// process, until ReleaseInterrupt. The handler may only store to atomics.
void CatchInterrupt(void (*handler)());
void ReleaseInterrupt();

// Makes a new folder only this call created, under the system's temporary folder, named
// `prefix` and a unique suffix. False when none could be made.
bool MakeScratchDir(const char* prefix, std::string* path);

}  // namespace vt

#endif  // VANTREL_CLI_CONSOLE_H
