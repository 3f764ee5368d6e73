// `vantrel --version`: enough for a bug report to name exactly what made an installer.
#include "cli/version.h"

#include <stdio.h>

#include <string>
#include <vector>

#include "builder/file_bytes.h"
#include "cli/command.h"
#include "cli/sha256.h"
#include "cli/stub_locate.h"

namespace vt {

const char* VantrelVersion() { return VANTREL_VERSION; }

int PrintVersion() {
  printf("vantrel %s\n", VantrelVersion());
  std::string path, origin, error;
  if (!LocateStub(&path, &origin, &error)) {
    printf("stub: none (%s)\n", error.c_str());
    return kExitOk;
  }
  printf("stub: %s (%s)\n", Printable(path).c_str(),
         origin == "installed" ? "installed beside the program" : "from VANTREL_STUB");
  std::vector<uint8_t> stub;
  if (!ReadFileBytes(path, &stub, &error)) {
    printf("  %s\n", error.c_str());
    return kExitOk;
  }
  printf("  %zu bytes, SHA-256 %s\n", stub.size(), Sha256Hex(stub.data(), stub.size()).c_str());
  return kExitOk;
}

}  // namespace vt
