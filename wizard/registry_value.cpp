// Reading and writing one registry value in a single call each.
#include "wizard/registry_value.h"

#include <string.h>

#include "process/startup_state.h"

const char kWindowsVersionKey[] = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion";

LONG ReadRegistryValue(HKEY root, const char* subkey, const char* name, DWORD* type, void* data,
                       DWORD* size) {
  HKEY key;
  LONG status = RegOpenKeyExA(root, subkey, 0, KEY_QUERY_VALUE, &key);
  if (status != ERROR_SUCCESS) return status;
  status = RegQueryValueExA(key, name, nullptr, type, static_cast<BYTE*>(data), size);
  RegCloseKey(key);
  return status;
}

LONG WriteRegistryValue(HKEY root, const char* subkey, const char* name, DWORD type,
                        const void* data, DWORD size) {
  HKEY key;
  LONG status = RegCreateKeyExA(root, subkey, 0, nullptr, REG_OPTION_NON_VOLATILE,
                                KEY_ALL_ACCESS, nullptr, &key, nullptr);
  if (status != ERROR_SUCCESS) return status;
  status = RegSetValueExA(key, name, 0, type, static_cast<const BYTE*>(data), size);
  RegCloseKey(key);
  return status;
}

bool ReadProgramFilesDir(char* path) {
  // One byte short of the buffer, which is zeroed: a value stored without its zero still ends.
  DWORD size = kPathChars - 1;
  memset(path, 0, kPathChars);
  if (ReadRegistryValue(HKEY_LOCAL_MACHINE, kWindowsVersionKey, "ProgramFilesDir", nullptr, path,
                        &size) == ERROR_SUCCESS)
    return true;
  path[0] = 0;
  return false;
}
