// Whole directory trees over the file-system layer: joining paths, copying and removing trees.
#ifndef VANTREL_PATCH_DIR_TREE_H
#define VANTREL_PATCH_DIR_TREE_H

namespace vt {

// Writes `dir`, exactly one backslash and `name` (a leading backslash of `name` is dropped)
// into `out` (kMaxPath + 1 characters). False, with `out` unusable, when the result would be
// longer than kMaxPath characters or `dir` is empty.
bool JoinPath(const char* dir, const char* name, char* out);

// Copies every file below `from` to the same relative path below `to`, replacing files that
// are there and creating directories on the way (a directory level is made only when it has
// an entry to hold). Links are neither entered nor copied. Returns the number of files that
// could not be copied, so that a caller can tell a complete copy from a partial one; the copy
// goes on past each of them. A top-level entry of `from` named `skip` (may be null) is left out.
int CopyTree(const char* from, const char* to, const char* skip = nullptr);

// Deletes `dir` and everything below it, making read-only files deletable on the way; links
// are removed, never entered. Its files go as FsDiscardFile deletes them: for the engine's own
// folders (a BackupDir, the WorkDir). Without `files`, files stay, and so do the folders that
// hold them. True when `dir` is gone afterwards.
bool RemoveTree(const char* dir, bool files = true);

// Deletes everything below `dir` as RemoveTree does, but for a top-level entry named `skip`
// (may be null); `dir` itself stays.
void RemoveEntries(const char* dir, const char* skip, bool files = true);

}  // namespace vt

#endif  // VANTREL_PATCH_DIR_TREE_H
