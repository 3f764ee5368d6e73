// The running program's file on Linux: the kernel's link /proc/self/exe, which names the real
// file even when the program was started through a link in PATH.
#include "cli/self_path.h"

#include <unistd.h>

#include <vector>

namespace vt {

const char kPathSeparators[] = "/";

std::string ProgramPath() {
  std::vector<char> buffer(256);
  for (;;) {
    const ssize_t got = readlink("/proc/self/exe", buffer.data(), buffer.size());
    if (got < 0) return std::string();
    // A full buffer may hold a truncated name: try again with more room.
    if (size_t(got) < buffer.size()) return std::string(buffer.data(), size_t(got));
    if (buffer.size() >= 65536) return std::string();
    buffer.resize(buffer.size() * 2);
  }
}

}  // namespace vt
