// DLLs from System32 only.
#include "process/system_library.h"

#include <string.h>

const char kCommonControlsDll[] = "comctl32.dll";

void RestrictDllSearch() {
  typedef BOOL(WINAPI * SetDefaultDllDirectoriesFn)(DWORD);
  const auto setDefault = reinterpret_cast<SetDefaultDllDirectoriesFn>(
      GetProcAddress(GetModuleHandleA("kernel32.dll"), "SetDefaultDllDirectories"));
  // Windows 7 without its 2011 loader update lacks the call: then at least the current
  // directory leaves the search; the installer's own folder stays in it there.
  if (!setDefault || !setDefault(LOAD_LIBRARY_SEARCH_SYSTEM32)) SetDllDirectoryA("");
}

FARPROC SystemDllFunction(const char* file, const char* name) {
  char path[MAX_PATH];
  const UINT length = GetSystemDirectoryA(path, MAX_PATH);
  if (length == 0 || length + 1 + strlen(file) >= MAX_PATH) return nullptr;
  path[length] = '\\';
  strcpy(path + length + 1, file);
  const HMODULE module = LoadLibraryA(path);
  return module ? GetProcAddress(module, name) : nullptr;
}
