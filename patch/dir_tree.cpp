// Whole directory trees over the file-system layer: the rollback and kept-backup copies and
// the removal of BackupDir.
#include "patch/dir_tree.h"

#include <string.h>

#include "format/ansi_chars.h"
#include "format/file_format.h"
#include "patch/fs.h"

namespace vt {
namespace {

struct CopyWalk {
  const char* from;
  const char* to;
  int failures;
};

void CopyEntry(void* context, const char* name, FsEntryKind kind) {
  CopyWalk* walk = static_cast<CopyWalk*>(context);
  char from[kMaxPath + 1], to[kMaxPath + 1];
  if (!JoinPath(walk->from, name, from) || !JoinPath(walk->to, name, to)) {
    ++walk->failures;
    return;
  }
  // One level only: `to` itself. An error here (it exists already) is ignored.
  FsMakeDir(walk->to);
  // A link is not copied: what it points to lies outside the tree.
  if (kind == kFsEntryDir)
    walk->failures += CopyTree(from, to);
  else if (kind == kFsEntryFile && FsCopyFile(from, to, true) != kFsOk)
    ++walk->failures;
}

void RemoveEntry(void* context, const char* name, FsEntryKind kind) {
  char path[kMaxPath + 1];
  if (!JoinPath(static_cast<const char*>(context), name, path)) return;
  if (kind == kFsEntryDir) {
    RemoveTree(path);
  } else if (kind == kFsEntryLink) {
    // A junction goes as a directory, a symbolic link as a file; neither touches its target.
    if (!FsRemoveDir(path)) FsDeleteFile(path);
  } else {
    FsSetNormalAttributes(path);
    FsDeleteFile(path);
  }
}

}  // namespace

bool JoinPath(const char* dir, const char* name, char* out) {
  size_t dirLength = strlen(dir);
  if (dirLength == 0) return false;
  if (name[0] == '\\') ++name;
  // A directory that ends in a double-byte character whose second byte is 0x5C has no
  // separator yet.
  size_t separator = EndsWithSeparator(dir) ? 0 : 1;
  size_t nameLength = strlen(name);
  if (dirLength + separator + nameLength > kMaxPath) return false;
  memcpy(out, dir, dirLength);
  if (separator) out[dirLength] = '\\';
  memcpy(out + dirLength + separator, name, nameLength + 1);
  return true;
}

int CopyTree(const char* from, const char* to) {
  CopyWalk walk = {from, to, 0};
  if (!FsForEachEntry(from, CopyEntry, &walk)) return 1;
  return walk.failures;
}

bool RemoveTree(const char* dir) {
  FsForEachEntry(dir, RemoveEntry, const_cast<char*>(dir));
  return FsRemoveDir(dir);
}

}  // namespace vt
