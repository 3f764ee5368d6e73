// What the tool needs from its console and the system beyond plain file reads: whether an
// output is a terminal, Ctrl+C and the signals that end a process, private scratch folders and
// files created anew. One file per platform implements it.
#ifndef VANTREL_CLI_CONSOLE_H
#define VANTREL_CLI_CONSOLE_H

#include <stdio.h>

#include <string>

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

// Makes a new folder only this call created, under the system's temporary folder, named
// `prefix` and a unique suffix. False when none could be made.
bool MakeScratchDir(const char* prefix, std::string* path);

// Creates `path` for binary writing only when nothing is there, not even a link, which is left
// alone. Null with *err set (an errno value, EEXIST when the name is taken) otherwise.
FILE* CreateNewFile(const std::string& path, int* err);

// This process's id, to make names that other processes do not pick.
unsigned long ProcessId();

}  // namespace vt

#endif  // VANTREL_CLI_CONSOLE_H
