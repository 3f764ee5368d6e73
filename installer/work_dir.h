// The installer's private working folder.
#ifndef VANTREL_INSTALLER_WORK_DIR_H
#define VANTREL_INSTALLER_WORK_DIR_H

// Makes a new "VTA" folder in the system temp path, records it in g_workDir and makes it the
// current directory; run elevated, the folder is writable by SYSTEM and Administrators only.
// Returns false when no folder could be made; g_workDir then stays empty, so the exit clean-up
// removes nothing.
bool CreateWorkDir();

// Exit handler: leaves the WorkDir and removes it with everything in it, when this process
// made it.
void __cdecl RemoveWorkDir();

#endif  // VANTREL_INSTALLER_WORK_DIR_H
