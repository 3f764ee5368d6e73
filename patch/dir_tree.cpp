// Whole directory trees over the file-system layer: the kept-backup copy and the removal of
// BackupDir.
#include "patch/dir_tree.h"

#include <string.h>

#include "format/ansi_chars.h"
#include "format/file_format.h"
#include "patch/fs.h"

namespace vt {
namespace {

typedef char PathBuffer[kMaxPath + 1];

struct CopyWalk {
  const char* from;
  const char* to;
  const char* skip;
  int failures;
};

void CopyEntry(void* context, const char* name, FsEntryKind kind) {
  CopyWalk* walk = static_cast<CopyWalk*>(context);
  if (walk->skip && strcmp(name, walk->skip) == 0) return;
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

struct RemoveWalk {
  const char* dir;
  const char* skip;
  bool files;
};

void RemoveEntry(void* context, const char* name, FsEntryKind kind) {
  const RemoveWalk* walk = static_cast<const RemoveWalk*>(context);
  if (walk->skip && strcmp(name, walk->skip) == 0) return;
  char path[kMaxPath + 1];
  if (!JoinPath(walk->dir, name, path)) return;
  if (kind == kFsEntryDir) {
    RemoveTree(path, walk->files);
  } else if (kind == kFsEntryLink) {
    // A junction goes as a directory, a symbolic link as a file; neither touches its target.
    if (!FsRemoveDir(path)) FsDeleteFile(path);
  } else if (walk->files && FsDiscardFile(path) != kFsOk) {
    // Windows deletes no read-only file; most files are not, and go in one call.
    FsSetNormalAttributes(path);
    FsDiscardFile(path);
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

int CopyTree(const char* from, const char* to, const char* skip) {
  CopyWalk walk = {from, to, skip, 0};
  if (!FsForEachEntry(from, CopyEntry, &walk)) return 1;
  return walk.failures;
}

void RemoveEntries(const char* dir, const char* skip, bool files) {
  RemoveWalk walk = {dir, skip, files};
  FsForEachEntry(dir, RemoveEntry, &walk);
}

bool RemoveTree(const char* dir, bool files) {
  RemoveEntries(dir, nullptr, files);
  return FsRemoveDir(dir);
}

}  // namespace vt
