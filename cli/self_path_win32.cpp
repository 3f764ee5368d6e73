// The running program's file on Windows, in the ANSI code page like every path the tool opens.
#include "cli/self_path.h"

#include <windows.h>

#include <vector>

namespace vt {

const char kPathSeparators[] = "\\/";

std::string ProgramPath() {
  std::vector<char> buffer(MAX_PATH);
  for (;;) {
    const DWORD got = GetModuleFileNameA(nullptr, buffer.data(), DWORD(buffer.size()));
    if (got == 0) return std::string();
    // A name that fills the buffer was cut short: try again with more room.
    if (got < buffer.size()) return std::string(buffer.data(), got);
    if (buffer.size() >= 32768) return std::string();
    buffer.resize(buffer.size() * 2);
  }
}

}  // namespace vt
