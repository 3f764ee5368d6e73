// Scratch folders and new files on POSIX systems.
#include "builder/new_files.h"

#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
namespace vt {

bool MakeScratchDir(const char* prefix, std::string* path) {
  std::error_code ec;
  std::string pattern =
      (std::filesystem::temp_directory_path(ec) / (std::string(prefix) + "XXXXXX")).string();
  if (ec || !mkdtemp(&pattern[0])) return false;
  *path = pattern;
  return true;
}

FILE* CreateNewFile(const std::string& path, int* err) {
  // O_EXCL fails on any name that exists, a dangling link included, and never follows one.
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOCTTY, 0666);
  if (fd < 0) {
    *err = errno;
    return nullptr;
  }
  FILE* file = fdopen(fd, "wb");
  if (!file) {
    *err = errno;
    close(fd);
    unlink(path.c_str());
  }
  return file;
}

unsigned long ProcessId() { return static_cast<unsigned long>(getpid()); }

}  // namespace vt
