// The folders a run holds on POSIX: a few roots, and a small cache of the folders found below
// them. A cached folder only saves a walk; one let go is found again from its root by the
// same walk, so the cache may hold any number of folders of a product and never stands for
// two.
#include "patch/held_folders_posix.h"

#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "format/file_format.h"
#include "patch/fs_posix_calls.h"

namespace vt {
namespace {

// A system name may take three UTF-8 bytes for each byte of the ANSI one.
const size_t kPathSize = 3 * kMaxPath + 1;

struct Folder {
  int fd;  // -1: a free entry
  bool own;
  unsigned lastUse;
  size_t length;
  char path[kPathSize];
};

// Roots: the destination, a folder for kept backups, the run's BackupDir.
const int kRoots = 8;
// The folders below them that the run works in just now; every call needs at most two.
const int kCached = 16;

struct Table {
  bool on;
  unsigned clock;
  Folder roots[kRoots];
  Folder cached[kCached];
};
thread_local Table t_table;

const int kFolderFlags = O_PATH | O_DIRECTORY | O_CLOEXEC | O_NOFOLLOW;

void Close(Folder* folder) {
  if (folder->fd >= 0) close(folder->fd);
  folder->fd = -1;
}

// True when native[0, length) is `folder` or lies below it.
bool Within(const Folder& folder, const char* native, size_t length) {
  return folder.fd >= 0 && folder.length <= length &&
         memcmp(folder.path, native, folder.length) == 0 &&
         (length == folder.length || native[folder.length] == '/');
}

// The entry of `entries` that native[0, length) lies deepest below (or is); null when none.
Folder* Deepest(Folder* entries, int count, const char* native, size_t length) {
  Folder* found = nullptr;
  for (int i = 0; i < count; ++i) {
    if (Within(entries[i], native, length) && (!found || entries[i].length > found->length))
      found = &entries[i];
  }
  return found;
}

void Fill(Folder* folder, int fd, bool own, const char* native, size_t length) {
  folder->fd = fd;
  folder->own = own;
  folder->lastUse = ++t_table.clock;
  folder->length = length;
  memcpy(folder->path, native, length);
  folder->path[length] = 0;
}

// Keeps `fd` for native[0, length) in place of the cached folder used longest ago.
Folder* Cache(int fd, bool own, const char* native, size_t length) {
  Folder* slot = &t_table.cached[0];
  for (Folder& folder : t_table.cached) {
    if (folder.fd < 0) {
      slot = &folder;
      break;
    }
    if (folder.lastUse < slot->lastUse) slot = &folder;
  }
  Close(slot);
  Fill(slot, fd, own, native, length);
  return slot;
}

// Opens the folders of native[from, length) one name at a time from `top` (the open folder
// native[0, from)), never through a link; with `make`, a missing one is made. `top` stays open.
HeldWalk OpenNames(int top, const char* native, size_t from, size_t length, bool make, int* fd) {
  int dir = top;
  HeldWalk walk = kHeldFound;
  for (size_t at = from + 1; at <= length && walk == kHeldFound;) {
    size_t end = at;
    while (end < length && native[end] != '/') ++end;
    char name[kPathSize];
    memcpy(name, native + at, end - at);
    name[end - at] = 0;
    at = end + 1;
    if (name[0] == 0) continue;
    int next = -1;
    // No name leads back up out of the root.
    if (strcmp(name, ".") != 0 && strcmp(name, "..") != 0) {
      next = g_fsCalls.openat(dir, name, kFolderFlags, 0);
      if (next < 0 && errno == ENOENT && make && g_fsCalls.mkdirat(dir, name, 0777) == 0)
        next = g_fsCalls.openat(dir, name, kFolderFlags, 0);
    }
    struct stat st;
    if (next < 0)
      walk = errno != ENOENT && fstatat(dir, name, &st, AT_SYMLINK_NOFOLLOW) == 0 &&
                     S_ISLNK(st.st_mode)
                 ? kHeldLinked
                 : kHeldMissing;
    if (dir != top) close(dir);
    dir = next;
  }
  *fd = dir;
  return walk;
}

}  // namespace

void HeldBegin() {
  if (t_table.on) return;
  t_table.on = true;
  for (Folder& folder : t_table.roots) folder.fd = -1;
  for (Folder& folder : t_table.cached) folder.fd = -1;
}

// Entries are only ever filled while holding: before the first hold they are zero, no folders.
void HeldEnd() {
  if (!t_table.on) return;
  for (Folder& folder : t_table.roots) Close(&folder);
  for (Folder& folder : t_table.cached) Close(&folder);
  t_table.on = false;
}

bool HeldOn() { return t_table.on; }

bool HeldAddRoot(const char* native) {
  if (!t_table.on) return false;
  size_t length = strlen(native);
  while (length > 1 && native[length - 1] == '/') --length;
  Folder* slot = nullptr;
  for (Folder& folder : t_table.roots) {
    if (folder.fd >= 0 && folder.length == length && memcmp(folder.path, native, length) == 0)
      return true;
    if (folder.fd < 0 && !slot) slot = &folder;
  }
  if (!slot || length >= kPathSize) return false;
  int fd = -1;
  bool own = false;
  const HeldWalk walk = HeldFolder(native, length, false, &fd, &own);
  if (walk == kHeldFound) {
    // The table's descriptor may go with the next walk: the root keeps one of its own.
    fd = fcntl(fd, F_DUPFD_CLOEXEC, 0);
    own = true;
  } else if (walk != kHeldOutside) {
    return false;
  } else {
    char path[kPathSize];
    memcpy(path, native, length);
    path[length] = 0;
    fd = open(path, O_PATH | O_DIRECTORY | O_CLOEXEC);
  }
  if (fd < 0) return false;
  Fill(slot, fd, own, native, length);
  return true;
}

HeldWalk HeldFolder(const char* native, size_t length, bool make, int* fd, bool* own) {
  *fd = -1;
  *own = false;
  if (!t_table.on) return kHeldOutside;
  Folder* root = Deepest(t_table.roots, kRoots, native, length);
  // A folder that is a root itself also stands for the roots it was reached from: a path
  // below the destination goes below a BackupDir when it lies there.
  if (!root) return kHeldOutside;
  *own = root->own;
  root->lastUse = ++t_table.clock;
  Folder* start = root;
  Folder* near = Deepest(t_table.cached, kCached, native, length);
  if (near && near->length > root->length) start = near;
  if (start->length == length) {
    start->lastUse = ++t_table.clock;
    *fd = start->fd;
    return kHeldFound;
  }
  int opened;
  const HeldWalk walk = OpenNames(start->fd, native, start->length, length, make, &opened);
  if (walk != kHeldFound) return walk;
  *fd = Cache(opened, root->own, native, length)->fd;
  return kHeldFound;
}

void HeldForget(const char* native) {
  if (!t_table.on) return;
  const size_t length = strlen(native);
  // Every folder that is `native` or lies below it, cached or a root.
  auto forget = [&](Folder* folders, int count) {
    for (int i = 0; i < count; ++i) {
      Folder& folder = folders[i];
      if (folder.fd >= 0 && folder.length >= length && memcmp(folder.path, native, length) == 0 &&
          (folder.path[length] == 0 || folder.path[length] == '/'))
        Close(&folder);
    }
  };
  forget(t_table.cached, kCached);
  forget(t_table.roots, kRoots);
}

void HeldForgetFolder(const char* native, size_t length) {
  if (!t_table.on) return;
  for (Folder& folder : t_table.cached) {
    if (folder.fd >= 0 && folder.length == length && memcmp(folder.path, native, length) == 0)
      Close(&folder);
  }
}

}  // namespace vt
