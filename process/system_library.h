// DLL loading that never looks beside the installer: a DLL planted next to it (in a download
// folder, say) would otherwise run with the installer's rights.
#ifndef VANTREL_PROCESS_SYSTEM_LIBRARY_H
#define VANTREL_PROCESS_SYSTEM_LIBRARY_H

#include <windows.h>

// Limits the search of every DLL loaded from now on, by this program or by the system's own
// DLLs, to System32. Must run first, before anything loads a DLL.
void RestrictDllSearch();

// The function `name` of the DLL `file` in System32, loaded by its full path; null when the DLL
// or the function is missing.
FARPROC SystemDllFunction(const char* file, const char* name);

// comctl32.dll, which is no KnownDLL and therefore never imported.
extern const char kCommonControlsDll[];

#endif  // VANTREL_PROCESS_SYSTEM_LIBRARY_H
