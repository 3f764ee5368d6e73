// Reading and writing one registry value in a single call each.
#ifndef VANTREL_WIZARD_REGISTRY_VALUE_H
#define VANTREL_WIZARD_REGISTRY_VALUE_H

#include <windows.h>

// The system's program files directory lives under this key of HKEY_LOCAL_MACHINE.
extern const char kWindowsVersionKey[];

// Opens `subkey` of `root` for querying, reads `name` into `data` (`*size` bytes on entry, the
// bytes stored on return) and its type when `type` is not null. Returns the query's status, or
// the open's failure status when the key cannot be opened.
LONG ReadRegistryValue(HKEY root, const char* subkey, const char* name, DWORD* type, void* data,
                       DWORD* size);

// Creates `subkey` of `root` with every missing parent (or opens it), sets `name` to `size`
// bytes of `data` of type `type` and returns the status of setting the value.
LONG WriteRegistryValue(HKEY root, const char* subkey, const char* name, DWORD type,
                        const void* data, DWORD size);

// Reads the program files directory into `path` (kPathChars); false, with `path` empty, when
// it cannot be read.
bool ReadProgramFilesDir(char* path);

#endif  // VANTREL_WIZARD_REGISTRY_VALUE_H
