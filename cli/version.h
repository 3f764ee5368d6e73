// The tool's version, set once in the top CMakeLists.txt, and what `vantrel --version` prints.
#ifndef VANTREL_CLI_VERSION_H
#define VANTREL_CLI_VERSION_H

namespace vt {

// "MAJOR.MINOR.PATCH", the project's version.
const char* VantrelVersion();

// Prints "vantrel VERSION" and the stub that build and pack take without --stub: its path,
// where that came from, its size and SHA-256, or why there is none. Returns kExitOk: the version
// is known even when no stub is.
int PrintVersion();

}  // namespace vt

#endif  // VANTREL_CLI_VERSION_H
