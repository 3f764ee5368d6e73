// WorkDir creation and clean-up.
#include "installer/work_dir.h"

#include <windows.h>

#include "text/startup_state.h"

bool CreateWorkDir() {
  char name[kPathChars];
  if (!GetTempPathA(kPathChars, g_tempPath)) return false;
  // The naming service creates an empty file to reserve the name; a folder takes its place.
  if (!GetTempFileNameA(g_tempPath, "VTA", 0, name)) return false;
  DeleteFileA(name);
  if (!CreateDirectoryA(name, nullptr)) return false;
  lstrcpyA(g_workDir, name);
  return SetCurrentDirectoryA(g_workDir) != 0;
}

void __cdecl RemoveWorkDir() {
  if (g_workDir[0] == 0) return;
  // The current directory cannot be removed.
  SetCurrentDirectoryA(g_tempPath);
  RemoveDirectoryTree(g_workDir);
}

bool RemoveDirectoryTree(const char* path) {
  char pattern[MAX_PATH];
  if (lstrlenA(path) + 4 >= MAX_PATH) return false;
  lstrcpyA(pattern, path);
  lstrcatA(pattern, "\\*.*");
  WIN32_FIND_DATAA found;
  HANDLE find = FindFirstFileA(pattern, &found);
  if (find != INVALID_HANDLE_VALUE) {
    do {
      const char* name = found.cFileName;
      if (name[0] == '.' && (name[1] == 0 || (name[1] == '.' && name[2] == 0))) continue;
      char child[MAX_PATH];
      if (lstrlenA(path) + 1 + lstrlenA(name) >= MAX_PATH) continue;
      lstrcpyA(child, path);
      lstrcatA(child, "\\");
      lstrcatA(child, name);
      DWORD attributes = found.dwFileAttributes;
      if ((attributes & FILE_ATTRIBUTE_DIRECTORY) && !(attributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
        RemoveDirectoryTree(child);
      } else {
        SetFileAttributesA(child, FILE_ATTRIBUTE_NORMAL);
        if (attributes & FILE_ATTRIBUTE_DIRECTORY)
          RemoveDirectoryA(child);
        else
          DeleteFileA(child);
      }
    } while (FindNextFileA(find, &found));
    FindClose(find);
  }
  return RemoveDirectoryA(path) != 0;
}
