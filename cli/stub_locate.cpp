// The stub's search order: $VANTREL_STUB, then the one installed beside the program.
#include "cli/stub_locate.h"

#include <stdlib.h>

#include <filesystem>
#include <system_error>

#include "cli/command.h"
#include "cli/self_path.h"

namespace vt {
namespace {

bool IsRegularFile(const std::string& path) {
  std::error_code ec;
  return std::filesystem::is_regular_file(path, ec);
}

// PROGRAM's folder's parent joined with kInstalledStubPath, written with the system's separator:
// /usr/bin/vantrel gives /usr/share/vantrel/vantrel_stub.exe. Empty when PROGRAM has no folder.
std::string InstalledStubBeside(const std::string& program) {
  const size_t file = program.find_last_of(kPathSeparators);
  if (file == std::string::npos) return std::string();
  const std::string folder = program.substr(0, file);
  const size_t parent = folder.find_last_of(kPathSeparators);
  // A program in a top folder ("C:" on Windows) has no parent to cut off: the system resolves "..".
  const std::string prefix = parent == std::string::npos ? folder + kPathSeparators[0] + ".."
                                                         : folder.substr(0, parent);
  std::string path = prefix + kPathSeparators[0];
  for (const char* c = kInstalledStubPath; *c; ++c) path += *c == '/' ? kPathSeparators[0] : *c;
  return path;
}

}  // namespace

const char kInstalledStubPath[] = "share/vantrel/vantrel_stub.exe";

bool LocateStub(std::string* path, std::string* origin, std::string* error) {
  const char* variable = getenv("VANTREL_STUB");
  if (variable && *variable) {
    if (!IsRegularFile(variable)) {
      *error = "VANTREL_STUB names " + Quote(variable) + ", which is not a file";
      return false;
    }
    *path = variable;
    *origin = "VANTREL_STUB";
    return true;
  }
  const std::string installed = InstalledStubBeside(ProgramPath());
  if (installed.empty()) {
    *error = "VANTREL_STUB is not set and the program's own folder is unknown";
    return false;
  }
  if (!IsRegularFile(installed)) {
    *error = "VANTREL_STUB is not set and no stub is installed at " +
             Quote(installed);
    return false;
  }
  *path = installed;
  *origin = "installed";
  return true;
}

}  // namespace vt
