// The running program's own file, so the tool can find what is installed beside it.
#ifndef VANTREL_CLI_SELF_PATH_H
#define VANTREL_CLI_SELF_PATH_H

#include <string>

namespace vt {

// The absolute path of the running executable, links resolved where the system does so; empty
// when the system cannot tell. One file per platform implements it.
std::string ProgramPath();

// The characters that separate folders in a path, the one the system writes first.
extern const char kPathSeparators[];

}  // namespace vt

#endif  // VANTREL_CLI_SELF_PATH_H
