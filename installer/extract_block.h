// Unpacking one payload block of the installer's own file into the current directory.
#ifndef VANTREL_INSTALLER_EXTRACT_BLOCK_H
#define VANTREL_INSTALLER_EXTRACT_BLOCK_H

// Opens the installer's own file, named by the quoted first token of the command line, and
// keeps it open for the whole run without write or delete sharing: nobody can change, rename or
// replace it until the process ends, and both blocks come from this one file. When it cannot
// be opened, every extraction fails.
void OpenInstallerFile();

// Finds block `n` (1 or 2) behind the stub in the installer's file that OpenInstallerFile
// opened, checks and decompresses it and writes its files into the current directory, in a
// fixed amount of memory whatever the block's size. Returns 1 on success, 0 when the installer
// cannot be read or the block is damaged; a damaged block may have written files in part.
int ExtractBlock(int n);

#endif  // VANTREL_INSTALLER_EXTRACT_BLOCK_H
