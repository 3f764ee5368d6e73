// Scratch folders and new files on Windows.
#include "builder/new_files.h"

#include <windows.h>
#include <errno.h>
#include <fcntl.h>
#include <io.h>
#include <stdio.h>
#include <sys/stat.h>
namespace vt {

bool MakeScratchDir(const char* prefix, std::string* path) {
  char temp[MAX_PATH + 1];
  DWORD length = GetTempPathA(sizeof temp, temp);
  if (length == 0 || length > MAX_PATH) return false;
  // CreateDirectoryA fails when the name exists, so a folder it makes is this call's alone.
  DWORD seed = GetTickCount() ^ (GetCurrentProcessId() << 16);
  for (int attempt = 0; attempt < 1000; attempt++) {
    char name[MAX_PATH + 32];
    wsprintfA(name, "%s%s%08lx", temp, prefix, (unsigned long)(seed + attempt * 7919u));
    if (CreateDirectoryA(name, nullptr)) {
      *path = name;
      return true;
    }
    if (GetLastError() != ERROR_ALREADY_EXISTS) return false;
  }
  return false;
}

FILE* CreateNewFile(const std::string& path, int* err) {
  // CREATE_NEW semantics: fails on any name that exists, a link or junction included.
  const int fd = _open(path.c_str(), _O_WRONLY | _O_CREAT | _O_EXCL | _O_BINARY | _O_NOINHERIT,
                       _S_IREAD | _S_IWRITE);
  if (fd < 0) {
    *err = errno;
    return nullptr;
  }
  FILE* file = _fdopen(fd, "wb");
  if (!file) {
    *err = errno;
    _close(fd);
    DeleteFileA(path.c_str());
  }
  return file;
}

unsigned long ProcessId() { return GetCurrentProcessId(); }

}  // namespace vt
