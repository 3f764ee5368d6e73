// Where `vantrel build` and `vantrel pack` take the stub from when no --stub is given.
#ifndef VANTREL_CLI_STUB_LOCATE_H
#define VANTREL_CLI_STUB_LOCATE_H

#include <string>

namespace vt {

// The stub's file name in an installation, below the prefix that holds bin/vantrel.
extern const char kInstalledStubPath[];  // "share/vantrel/vantrel_stub.exe"

// Finds the stub to use without --stub: the file that the environment variable VANTREL_STUB
// names when it is set and not empty, otherwise the installed stub beside the running program
// (../share/vantrel/vantrel_stub.exe from its folder, so a moved installation still finds its
// own). Returns false and sets *error to one line saying where it looked when VANTREL_STUB
// names no regular file or, unset, no stub is installed beside the program. *origin says where
// the path came from ("VANTREL_STUB", "installed").
bool LocateStub(std::string* path, std::string* origin, std::string* error);

}  // namespace vt

#endif  // VANTREL_CLI_STUB_LOCATE_H
