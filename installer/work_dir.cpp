// WorkDir creation and clean-up.
#include "installer/work_dir.h"

#include <windows.h>
#include <sddl.h>
#include <shlobj.h>
#include <string.h>

#include "patch/dir_tree.h"
#include "process/startup_state.h"

namespace {

// Elevated, the installer reads Update.ini, the texts, the bitmaps and Patch.dat from the
// WorkDir long after it wrote them, and acts on them with administrator rights; under the
// user's %TEMP% any program of that user could swap them meanwhile. So the folder and all it
// holds are writable by SYSTEM and Administrators alone; users may read (a viewer that opens
// the Read Me may run without elevation). The entry for OWNER RIGHTS (S-1-3-4, by number, which
// every version reads) takes the implicit right to change the entries away from an owner that
// is not an administrator. "P" keeps the entries that %TEMP% passes on out.
const char kElevatedWorkDirRights[] =
    "D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;GRGX;;;BU)(A;OICI;GRGX;;;S-1-3-4)";

}  // namespace

bool CreateWorkDir() {
  char name[kPathChars];
  // Not elevated, the installer has no more rights than the user's other programs: the
  // folder keeps the rights of %TEMP%.
  SECURITY_ATTRIBUTES attributes;
  attributes.nLength = sizeof attributes;
  attributes.lpSecurityDescriptor = nullptr;
  attributes.bInheritHandle = FALSE;
  if (IsUserAnAdmin() && !ConvertStringSecurityDescriptorToSecurityDescriptorA(
                             kElevatedWorkDirRights, SDDL_REVISION_1,
                             &attributes.lpSecurityDescriptor, nullptr))
    return false;
  if (!GetTempPathA(kPathChars, g_tempPath)) return false;
  // The naming service creates an empty file to reserve the name; a folder takes its place.
  // Whoever takes the name between makes the creation fail.
  if (!GetTempFileNameA(g_tempPath, "VTA", 0, name)) return false;
  DeleteFileA(name);
  if (!CreateDirectoryA(name, &attributes)) return false;
  strcpy(g_workDir, name);
  // As the current directory the folder cannot be renamed or removed while the process lives.
  return SetCurrentDirectoryA(g_workDir) != 0;
}

void __cdecl RemoveWorkDir() {
  if (g_workDir[0] == 0) return;
  // The current directory cannot be removed.
  SetCurrentDirectoryA(g_tempPath);
  vt::RemoveTree(g_workDir);
}
