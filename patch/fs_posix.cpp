// The file-system layer on POSIX, for the native tool and tests, with the test fault hooks.
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include "format/ansi_chars.h"
#include "format/file_format.h"
#include "patch/fs.h"
#include "patch/fs_faults.h"
#include "patch/fs_posix.h"

namespace vt {
namespace {

int g_faultPass[kFaultPointCount];
int g_faultFail[kFaultPointCount];
int g_killCountdown[kFaultPointCount];  // 0: off; n: the n-th call from now kills
unsigned g_tempSeed;
FsNameCodec g_nameCodec;

bool Faulted(FsFaultPoint point) {
  if (g_killCountdown[point] == 1) kill(getpid(), SIGKILL);
  if (g_killCountdown[point] > 1) --g_killCountdown[point];
  if (g_faultFail[point] == 0) return false;
  if (g_faultPass[point] > 0) {
    --g_faultPass[point];
    return false;
  }
  --g_faultFail[point];
  return true;
}

// A system name may take three UTF-8 bytes for each byte of the ANSI one.
const size_t kNativePathSize = 3 * kMaxPath + 1;
typedef char NativePath[kNativePathSize];

// Both separators become '/' where they are characters of their own, and the name goes into
// the system's encoding. False for a path too long for the engine's buffers.
bool ToNative(const char* path, NativePath out) {
  char ansi[kMaxPath + 1];
  size_t i = 0;
  for (const char* p = path; *p != 0;) {
    // No code page has a lead byte below 0x80: the common case needs no look at the table.
    if (static_cast<unsigned char>(*p) < 0x80) {
      if (i == kMaxPath) return false;
      ansi[i++] = *p == '\\' ? '/' : *p;
      ++p;
      continue;
    }
    // A double-byte character is copied whole: its second byte may be a backslash.
    const char* next = NextChar(p);
    if (i + size_t(next - p) > kMaxPath) return false;
    for (; p != next; ++p) ansi[i++] = *p;
  }
  ansi[i] = 0;
  if (g_nameCodec.toSystem) return g_nameCodec.toSystem(ansi, out, kNativePathSize);
  memcpy(out, ansi, i + 1);
  return true;
}

bool IsDirectory(const char* native) {
  struct stat st;
  return stat(native, &st) == 0 && S_ISDIR(st.st_mode);
}

// ---- Held folders -------------------------------------------------------------------------
// While a run holds its folders, each folder that a call names is opened once and the file is
// reached relative to it: no walk of the whole path for every call, and a folder once checked
// for links stays the folder checked, whatever takes its name afterwards. The folders the run
// makes itself (its BackupDir and private folder) stay held to the end, and what lies below
// them is reached from them one name at a time, never through a link: another program that
// renames such a folder and puts one of its own, with links, in its place leads nothing out.

struct HeldFolder {
  int fd;             // -1: a free slot
  size_t rootLength;  // below this many characters no link stood when it was opened, or kNotWalked
  unsigned lastUse;
  bool own;  // made by this run: never let go for another
  size_t length;
  char path[kNativePathSize];
};

const int kHeldFolders = 8;
const size_t kNotWalked = ~size_t(0);
struct Held {
  bool on;
  unsigned clock;
  HeldFolder folders[kHeldFolders];
};
// A run goes from start to end on one thread; runs on other threads hold their own.
thread_local Held t_held;

void CloseHeld(HeldFolder* folder) {
  if (folder->fd >= 0) close(folder->fd);
  folder->fd = -1;
}

// True when `held` holds the folder folder[0, length).
bool Holds(const HeldFolder& held, const char* folder, size_t length) {
  return held.fd >= 0 && held.length == length && memcmp(held.path, folder, length) == 0;
}

HeldFolder* FindHeld(const char* folder, size_t length) {
  if (!t_held.on) return nullptr;
  for (HeldFolder& held : t_held.folders) {
    if (Holds(held, folder, length)) {
      held.lastUse = ++t_held.clock;
      return &held;
    }
  }
  return nullptr;
}

// Keeps `fd`, the open folder `folder`, in place of the one used longest ago.
HeldFolder* Hold(const char* folder, size_t length, int fd, size_t rootLength, bool own = false) {
  HeldFolder* slot = nullptr;
  for (HeldFolder& held : t_held.folders) {
    if (Holds(held, folder, length)) {
      slot = &held;
      break;
    }
    if (held.fd >= 0 && held.own) continue;
    // A free slot counts as the oldest.
    if (!slot || (held.fd < 0 ? 0 : held.lastUse) < (slot->fd < 0 ? 0 : slot->lastUse))
      slot = &held;
  }
  if (!slot) slot = &t_held.folders[0];
  // A folder the run made keeps the handle it was made with, whatever stands at its name now.
  if (slot->fd >= 0 && slot->own && !own) {
    close(fd);
    return slot;
  }
  CloseHeld(slot);
  slot->fd = fd;
  slot->own = own;
  slot->rootLength = rootLength;
  slot->lastUse = ++t_held.clock;
  slot->length = length;
  memcpy(slot->path, folder, length);
  slot->path[length] = 0;
  return slot;
}

// Forgets the held folders at `native` and below it: the engine removed or renamed it.
void ForgetHeld(const char* native) {
  if (!t_held.on) return;
  const size_t length = strlen(native);
  for (HeldFolder& held : t_held.folders) {
    if (held.fd >= 0 && held.length >= length && memcmp(held.path, native, length) == 0 &&
        (held.path[length] == 0 || held.path[length] == '/'))
      CloseHeld(&held);
  }
}

size_t FolderLength(const char* native) {
  const char* slash = strrchr(native, '/');
  return slash && slash != native ? size_t(slash - native) : 0;
}

// The deepest of the run's own folders that the folder `native` (of `length` characters) lies
// below; null when none.
const HeldFolder* OwnAbove(const char* native, size_t length) {
  const HeldFolder* found = nullptr;
  for (const HeldFolder& held : t_held.folders) {
    if (held.fd >= 0 && held.own && held.length < length && native[held.length] == '/' &&
        memcmp(held.path, native, held.length) == 0 && (!found || held.length > found->length))
      found = &held;
  }
  return found;
}

// Opens the folder native[0, length) from `top`, an open folder that native[0, from) names,
// one name at a time and never through a link; with `make`, a missing folder is made. -1 when
// a folder is missing, or a link (then *linked is set) or anything else than a folder stands
// for one, or no name lies between.
int OpenNames(int top, const char* native, size_t from, size_t length, bool make, bool* linked) {
  int dir = top;
  for (size_t at = from + 1; at <= length;) {
    size_t end = at;
    while (end < length && native[end] != '/') ++end;
    char name[kNativePathSize];
    memcpy(name, native + at, end - at);
    name[end - at] = 0;
    at = end + 1;
    if (name[0] == 0) continue;
    int fd = -1;
    // No name leads back up out of the folder.
    if (strcmp(name, ".") != 0 && strcmp(name, "..") != 0) {
      const int flags = O_PATH | O_DIRECTORY | O_CLOEXEC | O_NOFOLLOW;
      fd = openat(dir, name, flags);
      if (fd < 0 && errno == ENOENT && make && mkdirat(dir, name, 0777) == 0)
        fd = openat(dir, name, flags);
      struct stat st;
      if (fd < 0 && errno != ENOENT && fstatat(dir, name, &st, AT_SYMLINK_NOFOLLOW) == 0)
        *linked = S_ISLNK(st.st_mode);
    }
    if (dir != top) close(dir);
    if (fd < 0) return -1;
    dir = fd;
  }
  return dir == top ? -1 : dir;
}

// The folder native[0, length) opened from the own folder `own` above it, as OpenNames does.
int OpenBelow(const HeldFolder& own, const char* native, size_t length, bool make) {
  bool linked = false;
  return OpenNames(own.fd, native, own.length, length, make, &linked);
}

// Forgets the held folder of `native` when something is missing where it led: another program
// may have removed the folder, and the next call looks it up again, which can make it again.
void ForgetFolderOf(const char* native) {
  const size_t length = FolderLength(native);
  if (!t_held.on || length == 0) return;
  for (HeldFolder& held : t_held.folders) {
    if (Holds(held, native, length)) CloseHeld(&held);
  }
}

// Where a call reaches `native`: a held folder and the bare name, or the whole path. A folder
// not held yet is opened and held, following links as a walk of the path would.
struct AtPath {
  int dir;
  const char* name;
  bool inOwnFolder;  // `dir` is a folder that this run made and holds
};
AtPath Reach(const char* native) {
  const size_t length = FolderLength(native);
  if (!t_held.on || length == 0) return {AT_FDCWD, native, false};
  const HeldFolder* held = FindHeld(native, length);
  if (!held) {
    char folder[kNativePathSize];
    memcpy(folder, native, length);
    folder[length] = 0;
    const HeldFolder* own = OwnAbove(native, length);
    // Below the run's own folders a name is never walked from the top: a call that cannot
    // reach the folder from them fails (no descriptor).
    const int fd = own ? OpenBelow(*own, native, length, false)
                       : open(folder, O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return {own ? -1 : AT_FDCWD, own ? native + length + 1 : native, false};
    held = Hold(folder, length, fd, kNotWalked);
  }
  return {held->fd, native + length + 1, held->own};
}

// True when the folder `native` (of `length` characters) is there, following links; held
// from now on when the run holds its folders.
bool IsThere(const char* native, size_t length) {
  if (!t_held.on) return IsDirectory(native);
  const int fd = open(native, O_PATH | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return false;
  Hold(native, length, fd, kNotWalked);
  return true;
}

// ENOENT covers a missing directory too; Windows tells it apart (error 3, path not found),
// and only a missing file in an existing directory counts as "not found".
FsError ErrorOf(int error, const char* native) {
  if (error == EEXIST) return kFsExists;
  if (error != ENOENT) return kFsFailed;
  ForgetFolderOf(native);
  const char* slash = strrchr(native, '/');
  if (!slash) return kFsNotFound;
  if (slash == native) return IsDirectory("/") ? kFsNotFound : kFsFailed;
  NativePath parent;
  memcpy(parent, native, size_t(slash - native));
  parent[slash - native] = 0;
  return IsDirectory(parent) ? kFsNotFound : kFsFailed;
}

// Opens without blocking on FIFOs and refuses anything but a plain file, as CreateFileA
// refuses directories. A link is never followed: writing through one could reach any file.
// `st` receives the file's status.
int OpenPlainFile(const char* native, int flags, mode_t mode, struct stat* st) {
  const AtPath at = Reach(native);
  int fd = openat(at.dir, at.name, flags | O_CLOEXEC | O_NOCTTY | O_NONBLOCK | O_NOFOLLOW, mode);
  if (fd < 0) return -1;
  if (fstat(fd, st) != 0 || !S_ISREG(st->st_mode)) {
    close(fd);
    errno = EISDIR;
    return -1;
  }
  // O_NONBLOCK may stay: reads and writes of a plain file never wait for it.
  return fd;
}

// The size that the last FsOpen on this thread found, for its file: the rebuild asks for it
// right after the open, and need not ask the system a second time.
struct OpenedSize {
  int fd;
  uint64_t size;
};
thread_local OpenedSize t_opened = {-1, 0};

void ForgetSize(int fd) {
  if (t_opened.fd == fd) t_opened.fd = -1;
}

bool CopyContent(int from, int to) {
  for (;;) {
    ssize_t n = copy_file_range(from, nullptr, to, nullptr, size_t(1) << 30, 0);
    if (n == 0) return true;
    if (n > 0) continue;
    if (errno == EINTR) continue;
    if (errno != EXDEV && errno != ENOSYS && errno != EINVAL && errno != EOPNOTSUPP)
      return false;
    break;  // no in-kernel copy between these two files: copy by hand from where it stopped
  }
  uint8_t buffer[64 * 1024];
  for (;;) {
    ssize_t n = read(from, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    if (n == 0) return true;
    if (!WriteFd(to, buffer, size_t(n))) return false;
  }
}

void AppendHex(char* out, size_t* at, unsigned value) {
  char digits[8];
  int n = 0;
  do {
    digits[n++] = "0123456789abcdef"[value & 15];
    value >>= 4;
  } while (value != 0);
  while (n > 0) out[(*at)++] = digits[--n];
}

}  // namespace

void FsInjectFault(FsFaultPoint point, int pass, int fail) {
  g_faultPass[point] = pass;
  g_faultFail[point] = fail;
}

void FsKillAt(FsFaultPoint point, int pass) { g_killCountdown[point] = pass + 1; }

bool FsFaulted(FsFaultPoint point) { return Faulted(point); }

void FsClearFaults() {
  for (int i = 0; i < kFaultPointCount; ++i) {
    g_faultPass[i] = g_faultFail[i] = g_killCountdown[i] = 0;
  }
}

FsFile FsOpen(const char* path, FsOpenMode mode, FsError* error) {
  struct Mode {
    int flags;
    int lock;
    bool truncate;  // after the lock is held, so that a refused open changes nothing
  };
  static const Mode kModes[] = {
      {O_RDONLY, LOCK_EX, false},                   // kFsReadExclusive
      {O_RDWR, LOCK_EX, false},                     // kFsUpdateExclusive
      {O_WRONLY | O_CREAT | O_EXCL, LOCK_EX, false},  // kFsCreateNew
      {O_WRONLY, LOCK_EX, true},                    // kFsTruncateExisting
      {O_WRONLY | O_CREAT, LOCK_EX, true},          // kFsCreateAlways
      {O_RDONLY, LOCK_SH, false},                   // kFsReadShared
  };
  FsError ignored;
  if (!error) error = &ignored;
  *error = kFsFailed;
  if (mode == kFsTruncateExisting && Faulted(kFaultOpenTruncate)) return kNoFile;
  NativePath native;
  if (!ToNative(path, native)) return kNoFile;
  const Mode& m = kModes[mode];
  struct stat st;
  int fd = OpenPlainFile(native, m.flags, 0666, &st);
  if (fd < 0) {
    *error = ErrorOf(errno, native);
    return kNoFile;
  }
  // A file that is empty already (a reserved temporary name) needs no truncation.
  if (flock(fd, m.lock | LOCK_NB) != 0 ||
      (m.truncate && st.st_size != 0 && ftruncate(fd, 0) != 0)) {
    close(fd);
    return kNoFile;
  }
  *error = kFsOk;
  t_opened = {fd, m.truncate ? 0 : uint64_t(st.st_size)};
  return FileOf(fd);
}

bool SizeOfFd(int fd, uint64_t* size) {
  if (t_opened.fd == fd) {
    *size = t_opened.size;
    return true;
  }
  struct stat st;
  if (fstat(fd, &st) != 0) return false;
  *size = uint64_t(st.st_size);
  return true;
}

bool WriteFd(int fd, const uint8_t* data, size_t size) {
  ForgetSize(fd);
  while (size > 0) {
    ssize_t n = write(fd, data, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data += n;
    size -= size_t(n);
  }
  return true;
}

bool ReadFdAt(int fd, uint8_t* data, uint32_t size, uint64_t offset) {
  for (off_t at = off_t(offset); size > 0;) {
    ssize_t n = pread(fd, data, size, at);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data += n, size -= uint32_t(n), at += n;
  }
  return true;
}

bool FsWrite(FsFile file, const void* data, uint32_t size) {
  if (Faulted(kFaultWrite)) return false;
  return WriteFd(FdOf(file), static_cast<const uint8_t*>(data), size);
}

bool FsClose(FsFile file) {
  ForgetSize(FdOf(file));
  return close(FdOf(file)) == 0;
}

namespace {

// Files up to this size are read into memory rather than mapped: one call instead of a mapping
// made and unmade, which for a small file costs more than the copy.
const uint32_t kReadWholeLimit = 64 << 10;

}  // namespace

// The engine keeps its lock while a file is mapped; a process that ignores the lock and
// truncates the file meanwhile would make reading the view raise SIGBUS.
bool FsMap(FsFile file, FsView* view) {
  view->data = nullptr;
  view->size = 0;
  view->mapping = nullptr;
  uint64_t fileSize;
  if (!SizeOfFd(FdOf(file), &fileSize)) return false;
  uint32_t size = uint32_t(fileSize);  // sizes are 32-bit throughout the engine
  if (size == 0) return true;
  void* data;
  if (size <= kReadWholeLimit) {
    data = malloc(size);
    if (!data || !ReadFdAt(FdOf(file), static_cast<uint8_t*>(data), size, 0)) {
      free(data);
      return false;
    }
  } else {
    // The whole file is read (its CRC first): all its pages mapped in one go rather than one
    // fault at a time.
    data = mmap(nullptr, size, PROT_READ, MAP_SHARED | MAP_POPULATE, FdOf(file), 0);
    if (data == MAP_FAILED) return false;
  }
  view->data = static_cast<const uint8_t*>(data);
  view->size = size;
  view->mapping = data;
  return true;
}

void FsUnmap(FsView* view) {
  if (view->size > kReadWholeLimit)
    munmap(view->mapping, view->size);
  else
    free(view->mapping);
  view->data = nullptr;
  view->size = 0;
  view->mapping = nullptr;
}

FsError FsCopyFile(const char* from, const char* to, bool replace) {
  if (Faulted(kFaultCopy)) return kFsFailed;
  NativePath source, target;
  if (!ToNative(from, source) || !ToNative(to, target)) return kFsFailed;
  struct stat st;
  int in = OpenPlainFile(source, O_RDONLY, 0, &st);
  if (in < 0) return ErrorOf(errno, source);
  if (flock(in, LOCK_SH | LOCK_NB) != 0) {
    close(in);
    return kFsFailed;
  }
  struct stat outSt;
  int out = OpenPlainFile(target, O_WRONLY | O_CREAT | (replace ? 0 : O_EXCL), st.st_mode & 0777,
                          &outSt);
  if (out < 0) {
    FsError error = ErrorOf(errno, target);
    close(in);
    return error;
  }
  // A file held by another opener, or the source itself under a second name, stays untouched.
  if ((outSt.st_dev == st.st_dev && outSt.st_ino == st.st_ino) ||
      flock(out, LOCK_EX | LOCK_NB) != 0) {
    close(out);
    close(in);
    return kFsFailed;
  }
  bool ok = ftruncate(out, 0) == 0 && CopyContent(in, out);
  // The attributes and the time of last change go with the content, as CopyFileA does.
  if (ok) {
    fchmod(out, st.st_mode & 0777);
    const struct timespec times[2] = {st.st_atim, st.st_mtim};
    futimens(out, times);
  }
  ok = close(out) == 0 && ok;
  close(in);
  if (ok) return kFsOk;
  const AtPath at = Reach(target);
  unlinkat(at.dir, at.name, 0);
  return kFsFailed;
}

// rename() would replace an existing `to`; MoveFileA refuses to. RENAME_NOREPLACE refuses in
// the same step; where the file system lacks it, a check and the rename are two steps, which is
// enough for the engine's own directories.
FsError FsMoveFile(const char* from, const char* to) {
  if (Faulted(kFaultMove)) return kFsFailed;
  NativePath source, target;
  if (!ToNative(from, source) || !ToNative(to, target)) return kFsFailed;
  // A folder renamed is no longer where its name led.
  ForgetHeld(source);
  const AtPath in = Reach(source), out = Reach(target);
  if (renameat2(in.dir, in.name, out.dir, out.name, RENAME_NOREPLACE) == 0) return kFsOk;
  const int error = errno;
  if (error == ENOENT) ForgetFolderOf(target);
  if (error != EINVAL && error != ENOSYS) return ErrorOf(error, source);
  struct stat st;
  if (fstatat(out.dir, out.name, &st, AT_SYMLINK_NOFOLLOW) == 0) return kFsExists;
  if (renameat(in.dir, in.name, out.dir, out.name) != 0) return ErrorOf(errno, source);
  return kFsOk;
}

// Windows refuses to replace a file that another opener holds without sharing; the layer's
// own exclusive lock stands for that here, as in FsDeleteFile.
FsError FsReplaceFile(const char* from, const char* to) {
  if (Faulted(kFaultReplace)) return kFsFailed;
  NativePath source, target;
  if (!ToNative(from, source) || !ToNative(to, target)) return kFsFailed;
  ForgetHeld(source);
  const AtPath in = Reach(source), out = Reach(target);
  int fd = openat(out.dir, out.name, O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK | O_NOFOLLOW);
  if (fd >= 0) {
    struct stat st;
    if (fstat(fd, &st) != 0 || S_ISDIR(st.st_mode) || flock(fd, LOCK_EX | LOCK_NB) != 0) {
      close(fd);
      return kFsFailed;
    }
  }
  FsError result = kFsOk;
  if (renameat(in.dir, in.name, out.dir, out.name) != 0) {
    const int error = errno;
    if (error == ENOENT) ForgetFolderOf(target);
    // Another volume: copy, as MoveFileExA does when allowed to.
    if (error == EXDEV && FsCopyFile(from, to, true) == kFsOk &&
        unlinkat(in.dir, in.name, 0) == 0)
      result = kFsOk;
    else
      result = ErrorOf(error, source);
  }
  if (fd >= 0) close(fd);
  return result;
}

// Windows refuses to delete a file that another opener holds without sharing; the layer's
// own exclusive lock stands for that here.
FsError FsDeleteFile(const char* path) {
  if (Faulted(kFaultDelete)) return kFsFailed;
  NativePath native;
  if (!ToNative(path, native)) return kFsFailed;
  // A directory needs no check of its own: unlink() refuses it.
  const AtPath at = Reach(native);
  int fd = openat(at.dir, at.name, O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK | O_NOFOLLOW);
  if (fd >= 0 && flock(fd, LOCK_EX | LOCK_NB) != 0) {
    close(fd);
    return kFsFailed;
  }
  FsError result = unlinkat(at.dir, at.name, 0) == 0 ? kFsOk : ErrorOf(errno, native);
  if (fd >= 0) close(fd);
  return result;
}

FsError FsDiscardFile(const char* path) {
  if (Faulted(kFaultDelete)) return kFsFailed;
  NativePath native;
  if (!ToNative(path, native)) return kFsFailed;
  const AtPath at = Reach(native);
  return unlinkat(at.dir, at.name, 0) == 0 ? kFsOk : ErrorOf(errno, native);
}

bool FsSetNormalAttributes(const char* path) {
  NativePath native;
  struct stat st;
  // A symbolic link is left alone: chmod would change the file it points to.
  if (!ToNative(path, native)) return false;
  const AtPath at = Reach(native);
  if (fstatat(at.dir, at.name, &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(st.st_mode))
    return false;
  // Most files are writable already: no change of the inode for them.
  return (st.st_mode & S_IWUSR) != 0 ||
         fchmodat(at.dir, at.name, (st.st_mode & 0777) | S_IWUSR, 0) == 0;
}

void FsSetNameCodec(const FsNameCodec* codec) {
  g_nameCodec = codec ? *codec : FsNameCodec{nullptr, nullptr};
}

namespace {

// Makes the folder `native` and those missing on the way to it, from the deepest one there:
// one call where only the last is missing, not one for every level of the path.
void MakeFolders(char* native) {
  if (mkdir(native, 0777) == 0 || errno != ENOENT) return;
  char* slash = strrchr(native, '/');
  if (!slash || slash == native) return;
  *slash = 0;
  MakeFolders(native);
  *slash = '/';
  mkdir(native, 0777);
}

}  // namespace

bool FsMakeParentDirs(const char* path) {
  NativePath native;
  if (!ToNative(path, native)) return false;
  const size_t length = FolderLength(native);
  if (length == 0) return true;
  // Mostly the directory is there already: one look instead of a creation per level, and none
  // where it is held.
  if (FindHeld(native, length)) return true;
  native[length] = 0;
  if (const HeldFolder* own = OwnAbove(native, length)) {
    const int fd = OpenBelow(*own, native, length, true);
    if (fd < 0) return false;
    Hold(native, length, fd, kNotWalked);
    return true;
  }
  if (IsThere(native, length)) return true;
  MakeFolders(native);
  return IsThere(native, length);
}

bool FsMakeDir(const char* path) {
  NativePath native;
  if (!ToNative(path, native)) return false;
  const AtPath at = Reach(native);
  if (mkdirat(at.dir, at.name, 0777) != 0) return false;
  if (!t_held.on) return true;
  // Held from here to the end of the run, opened without following a link: should another
  // program have put one at the name since, the folder is not the run's.
  const int fd = openat(at.dir, at.name, O_PATH | O_DIRECTORY | O_CLOEXEC | O_NOFOLLOW);
  if (fd < 0) return false;
  Hold(native, strlen(native), fd, kNotWalked, true);
  return true;
}

bool FsRemoveDir(const char* path) {
  NativePath native;
  if (!ToNative(path, native)) return false;
  ForgetHeld(native);
  const AtPath at = Reach(native);
  return unlinkat(at.dir, at.name, AT_REMOVEDIR) == 0;
}

bool FsForEachEntry(const char* dir, FsEntryVisitor visit, void* context) {
  NativePath native;
  if (!ToNative(dir, native)) return false;
  // A held folder is listed as it was found, whatever has taken its name since.
  const HeldFolder* held = FindHeld(native, strlen(native));
  const AtPath at = held ? AtPath{held->fd, ".", held->own} : Reach(native);
  int fd = openat(at.dir, at.name, O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NOFOLLOW);
  if (fd < 0) return false;
  DIR* listing = fdopendir(fd);
  if (!listing) {
    close(fd);
    return false;
  }
  while (const struct dirent* entry = readdir(listing)) {
    const char* name = entry->d_name;
    if (name[0] == '.' && (name[1] == 0 || (name[1] == '.' && name[2] == 0))) continue;
    char ansi[kMaxPath + 1];
    // A name that the code page cannot hold cannot be reached through this layer either.
    if (g_nameCodec.fromSystem && !g_nameCodec.fromSystem(name, ansi, sizeof ansi)) continue;
    // The listing mostly tells the kind itself; only where it does not is the entry asked.
    FsEntryKind kind = kFsEntryFile;
    unsigned char type = entry->d_type;
    struct stat st;
    if (type == DT_UNKNOWN && fstatat(fd, name, &st, AT_SYMLINK_NOFOLLOW) == 0)
      type = S_ISDIR(st.st_mode) ? DT_DIR : S_ISLNK(st.st_mode) ? DT_LNK : DT_REG;
    if (type == DT_DIR) kind = kFsEntryDir;
    if (type == DT_LNK) kind = kFsEntryLink;
    visit(context, g_nameCodec.fromSystem ? ansi : name, kind);
  }
  closedir(listing);
  return true;
}

namespace {

enum FolderWalk {
  kFoldersStand,   // every folder below the root is one, and the last is the file's own
  kFolderLinked,   // a link stands for one
  kFolderUnknown,  // one is missing or no folder, or none lies below the root
};

// Opens the folders of native[0, length) below native[0, from) from `top`, the open folder
// that names, as OpenNames does, and holds the last as walked from `walkedFrom`.
FolderWalk OpenAndHold(int top, NativePath native, size_t from, size_t length, bool make,
                       size_t walkedFrom) {
  bool linked = false;
  const int fd = OpenNames(top, native, from, length, make, &linked);
  if (fd < 0) return linked ? kFolderLinked : kFolderUnknown;
  const char kept = native[length];
  native[length] = 0;
  Hold(native, length, fd, walkedFrom);
  native[length] = kept;
  return kFoldersStand;
}

// While a run holds its folders: opens the folders that `native` names below the root (its
// first `rootLength` characters, reached as the system finds it) one name at a time from the
// root, never through a link, making missing ones with `make`, and holds the file's own
// folder. What is so found stays what the run reaches, with no moment between a look and use.
FolderWalk WalkHeld(NativePath native, size_t rootLength, size_t length, bool make) {
  size_t root = rootLength;
  while (root > 1 && native[root - 1] == '/') --root;
  if (length <= root) return kFolderUnknown;
  const HeldFolder* held = FindHeld(native, root);
  int top = held ? held->fd : -1;
  if (!held) {
    const char kept = native[root];
    native[root] = 0;
    top = open(native, O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (top >= 0) Hold(native, root, top, kNotWalked);
    native[root] = kept;
    if (top < 0) return kFolderUnknown;
  }
  return OpenAndHold(top, native, root, length, make, rootLength);
}

// Looks at each folder that `native` names below its first `rootLength` characters, without
// following links (and opens them so while holding, see WalkHeld).
FolderWalk WalkFolders(NativePath native, size_t rootLength, bool make) {
  // The file's own name needs no look: no call of this layer follows a link there.
  const char* leaf = strrchr(native, '/');
  const size_t length = leaf ? size_t(leaf - native) : 0;
  if (t_held.on) return WalkHeld(native, rootLength, length, make);
  FolderWalk walk = kFolderUnknown;
  for (size_t end = rootLength; end < length; ++end) {
    if (native[end + 1] != '/' && native[end + 1] != 0) continue;
    if (native[end] == '/') continue;
    const char kept = native[end + 1];
    native[end + 1] = 0;
    struct stat st;
    const int found = lstat(native, &st);
    native[end + 1] = kept;
    if (found != 0) return kFolderUnknown;
    if (S_ISLNK(st.st_mode)) return kFolderLinked;
    walk = S_ISDIR(st.st_mode) ? kFoldersStand : kFolderUnknown;
  }
  return walk;
}

// Whether the calls reach `native`'s folder through a held folder that its walk found free of
// links below `rootLength`: then nothing needs to be looked at again.
FolderWalk WalkUnlessHeld(NativePath native, size_t rootLength, bool make) {
  const size_t length = FolderLength(native);
  const HeldFolder* held = length > rootLength ? FindHeld(native, length) : nullptr;
  if (held && (held->own || held->rootLength == rootLength)) return kFoldersStand;
  // What lies below the run's own folders is reached from them, never through a link, and
  // never walked from the root, where another folder may have taken their name.
  const HeldFolder* own = t_held.on && length > rootLength ? OwnAbove(native, length) : nullptr;
  if (!own) return WalkFolders(native, rootLength, make);
  if (held) return kFoldersStand;
  return OpenAndHold(own->fd, native, own->length, length, make, kNotWalked);
}

// `path` in the system's form, and `*rootLength` made the length there of its first
// `*rootLength` characters: a name codec may give a character more bytes than the code page
// does, and the walk must start where the root ends, not inside it.
bool ToNativeBelowRoot(const char* path, size_t* rootLength, NativePath native) {
  if (!ToNative(path, native)) return false;
  if (!g_nameCodec.toSystem || *rootLength == 0) return true;
  if (*rootLength > kMaxPath) return false;
  char root[kMaxPath + 1];
  memcpy(root, path, *rootLength);
  root[*rootLength] = 0;
  NativePath nativeRoot;
  if (!ToNative(root, nativeRoot)) return false;
  *rootLength = strlen(nativeRoot);
  return true;
}

}  // namespace

void FsHoldFolders() {
  if (t_held.on) return;
  t_held.on = true;
  for (HeldFolder& held : t_held.folders) held.fd = -1;
}

// Slots are only ever filled while holding: before the first hold they are zero, no folders.
void FsReleaseFolders() {
  if (!t_held.on) return;
  for (HeldFolder& held : t_held.folders) CloseHeld(&held);
  t_held.on = false;
}

bool FsPathHasLink(const char* path, size_t rootLength) {
  NativePath native;
  return ToNativeBelowRoot(path, &rootLength, native) &&
         WalkUnlessHeld(native, rootLength, false) == kFolderLinked;
}

// The walk's look at the file's own folder tells that it stands: no second look to make it.
bool FsMakeParentDirsUnlessLinked(const char* path, size_t rootLength) {
  NativePath native;
  if (!ToNativeBelowRoot(path, &rootLength, native)) {
    FsMakeParentDirs(path);
    return true;
  }
  const FolderWalk walk = WalkUnlessHeld(native, rootLength, true);
  if (walk == kFolderLinked) return false;
  // While holding, the walk made what it could below the root, never through a link: making
  // the path's folders by name now could go through one. The root itself may be made.
  if (walk == kFolderUnknown && (!t_held.on || FolderLength(native) <= rootLength))
    FsMakeParentDirs(path);
  return true;
}

FsFile FsCreateTemp(const char* dir, const char* prefix, char* name) {
  if (Faulted(kFaultReserveTemp)) return kNoFile;
  size_t dirLength = strlen(dir);
  // The name itself: three prefix characters, up to four hex digits, ".tmp".
  if (dirLength == 0 || dirLength + 1 + 3 + 4 + 4 > kMaxPath) return kNoFile;
  memcpy(name, dir, dirLength);
  size_t base = dirLength;
  if (!EndsWithSeparator(dir)) name[base++] = '\\';
  for (int i = 0; i < 3 && prefix[i] != 0; ++i) name[base++] = prefix[i];
  // The process's own number spreads the names of concurrent runs; it is asked once.
  static const unsigned kProcessSeed = unsigned(getpid()) * 7919u;
  unsigned start = __atomic_fetch_add(&g_tempSeed, 1, __ATOMIC_RELAXED) + kProcessSeed +
                   unsigned(time(nullptr));
  for (unsigned i = 0; i < 0x10000; ++i) {
    unsigned number = (start + i) & 0xFFFF;
    if (number == 0) continue;
    size_t at = base;
    AppendHex(name, &at, number);
    memcpy(name + at, ".tmp", 5);
    NativePath native;
    if (!ToNative(name, native)) return kNoFile;
    const AtPath file = Reach(native);
    int fd = openat(file.dir, file.name, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOCTTY, 0666);
    if (fd >= 0) {
      // In a folder that the run made and holds, the lock would keep nobody out: no run of
      // ours goes into another's folders while that one lives (its journal is held), and
      // other programs do not ask for locks.
      if (file.inOwnFolder || flock(fd, LOCK_EX | LOCK_NB) == 0) return FileOf(fd);
      close(fd);
      unlinkat(file.dir, file.name, 0);
      return kNoFile;
    }
    if (errno != EEXIST) {
      if (errno == ENOENT) ForgetFolderOf(native);
      return kNoFile;
    }
  }
  return kNoFile;
}

bool FsReserveTempName(const char* dir, const char* prefix, char* name) {
  FsFile file = FsCreateTemp(dir, prefix, name);
  return file != kNoFile && FsClose(file);
}

}  // namespace vt
