// Whole directory trees over the file-system layer: the rollback, the kept-backup copy and
// the removal of BackupDir.
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

struct RestoreWalk {
  const char* from;
  const char* to;
  const char* relative;  // of `from` below the top; empty at the top
  const char* skip;
  TreeFileVisitor restored;
  void* context;
  int failures;
};

// A file of the destination may be read-only or hidden now, which neither a rename nor a copy
// may replace on Windows: it is made plain first. The rename takes the backed-up file's own
// attributes back with it; so does the copy, the second choice, for a file held open with
// write sharing.
bool PutBack(const char* from, const char* to) {
  FsMakeParentDirs(to);
  FsSetNormalAttributes(to);
  return FsReplaceFile(from, to) == kFsOk || FsCopyFile(from, to, true) == kFsOk;
}

void RestoreEntry(void* context, const char* name, FsEntryKind kind) {
  RestoreWalk* walk = static_cast<RestoreWalk*>(context);
  if (walk->skip && strcmp(name, walk->skip) == 0) return;
  PathBuffer from, to, relative;
  bool joined = JoinPath(walk->from, name, from) && JoinPath(walk->to, name, to);
  if (walk->relative[0] == 0) {
    joined = joined && strlen(name) <= kMaxPath;
    if (joined) memcpy(relative, name, strlen(name) + 1);
  } else {
    joined = joined && JoinPath(walk->relative, name, relative);
  }
  if (!joined) {
    ++walk->failures;
    return;
  }
  if (kind == kFsEntryDir) {
    RestoreWalk inner = {from, to, relative, nullptr, walk->restored, walk->context, 0};
    if (!FsForEachEntry(from, RestoreEntry, &inner)) ++inner.failures;
    walk->failures += inner.failures;
  } else if (kind == kFsEntryFile) {
    if (!PutBack(from, to))
      ++walk->failures;
    else if (walk->restored)
      walk->restored(walk->context, relative);
  }
}

struct RemoveWalk {
  const char* dir;
  const char* skip;
};

void RemoveEntry(void* context, const char* name, FsEntryKind kind) {
  const RemoveWalk* walk = static_cast<const RemoveWalk*>(context);
  if (walk->skip && strcmp(name, walk->skip) == 0) return;
  char path[kMaxPath + 1];
  if (!JoinPath(walk->dir, name, path)) return;
  if (kind == kFsEntryDir) {
    RemoveTree(path);
  } else if (kind == kFsEntryLink) {
    // A junction goes as a directory, a symbolic link as a file; neither touches its target.
    if (!FsRemoveDir(path)) FsDeleteFile(path);
  } else if (FsDeleteFile(path) != kFsOk) {
    // Windows deletes no read-only file; most files are not, and go in one call.
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

int CopyTree(const char* from, const char* to, const char* skip) {
  CopyWalk walk = {from, to, skip, 0};
  if (!FsForEachEntry(from, CopyEntry, &walk)) return 1;
  return walk.failures;
}

int RestoreTree(const char* backupDir, const char* destinationDir, const char* skip,
                TreeFileVisitor restored, void* context) {
  RestoreWalk walk = {backupDir, destinationDir, "", skip, restored, context, 0};
  if (!FsForEachEntry(backupDir, RestoreEntry, &walk)) return 1;
  return walk.failures;
}

void RemoveEntries(const char* dir, const char* skip) {
  RemoveWalk walk = {dir, skip};
  FsForEachEntry(dir, RemoveEntry, &walk);
}

bool RemoveTree(const char* dir) {
  RemoveEntries(dir, nullptr);
  return FsRemoveDir(dir);
}

}  // namespace vt
