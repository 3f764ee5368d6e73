// Unpacking one payload block of the installer's own file into the current directory.
#ifndef VANTREL_INSTALLER_EXTRACT_BLOCK_H
#define VANTREL_INSTALLER_EXTRACT_BLOCK_H

// Finds block `n` (1 or 2) behind the stub in the installer's own file, checks and decompresses
// it and writes its files into the current directory. Returns 1 on success, 0 when the
// installer cannot be read or the block is damaged; a damaged block writes no file.
int ExtractBlock(int n);

#endif  // VANTREL_INSTALLER_EXTRACT_BLOCK_H
