// The installer's private working folder and the removal of folder trees.
#ifndef VANTREL_INSTALLER_WORK_DIR_H
#define VANTREL_INSTALLER_WORK_DIR_H

// Makes a new "VTA" folder in the system temp path, records it in g_workDir and makes it the
// current directory. Returns false when no folder could be made; g_workDir then stays empty,
// so the exit clean-up removes nothing.
bool CreateWorkDir();

// Exit handler: leaves the WorkDir and removes it with everything in it, when this process
// made it.
void __cdecl RemoveWorkDir();

// Deletes `path` and everything below it, clearing read-only attributes on the way; errors on
// single entries are skipped. Linked folders (junctions) are removed, never entered. Returns
// whether `path` itself was removed.
bool RemoveDirectoryTree(const char* path);

#endif  // VANTREL_INSTALLER_WORK_DIR_H
