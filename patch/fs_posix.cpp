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
#include "patch/fs_posix.h"
#include "patch/fs_posix_calls.h"
#include "patch/held_folders_posix.h"

namespace vt {
namespace {

unsigned g_tempSeed;
FsNameCodec g_nameCodec;

// How the layer makes a new file: never at a name that exists, a link's included.
const int kNewFileFlags = O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOCTTY;

// How the layer opens a file only to look at it or lock it: never through a link, never
// waiting on a FIFO.
const int kLookFlags = O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK | O_NOFOLLOW;

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

size_t FolderLength(const char* native) {
  const char* slash = strrchr(native, '/');
  return slash && slash != native ? size_t(slash - native) : 0;
}

bool IsDirectory(const char* native) {
  struct stat st;
  return stat(native, &st) == 0 && S_ISDIR(st.st_mode);
}

// Where a call reaches `native`: an open folder and the bare name in it. Below a root that the
// run holds, the folder is the one found from the root without following a link (see
// held_folders_posix.h), and a call whose folder cannot be so found fails (no descriptor);
// elsewhere the whole path goes to the system.
struct AtPath {
  int dir;
  const char* name;
  bool inOwnFolder;  // `dir` lies in a folder that this run made and holds
};
AtPath Reach(const char* native) {
  const size_t length = FolderLength(native);
  if (length == 0) return {AT_FDCWD, native, false};
  int fd;
  bool own;
  switch (HeldFolder(native, length, false, &fd, &own)) {
    case kHeldOutside:
      return {AT_FDCWD, native, false};
    case kHeldFound:
      return {fd, native + length + 1, own};
    default:
      return {-1, native + length + 1, false};
  }
}

// Forgets the held folder of `native` when something is missing where it led: another program
// may have removed the folder, and the next call looks it up again, which can make it again.
void ForgetFolderOf(const char* native) {
  const size_t length = FolderLength(native);
  if (length != 0) HeldForgetFolder(native, length);
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
  const int all = flags | O_CLOEXEC | O_NOCTTY | O_NONBLOCK | O_NOFOLLOW;
  int fd = g_fsCalls.openat(at.dir, at.name, all, mode);
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
    ssize_t n = g_fsCalls.copyFileRange(from, to, size_t(1) << 30);
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

// The content, the attributes and the time of last change of `in` (whose status is `st`), as
// CopyFileA copies them.
bool CopyWithAttributes(int in, int out, const struct stat& st) {
  if (!CopyContent(in, out)) return false;
  fchmod(out, st.st_mode & 0777);
  const struct timespec times[2] = {st.st_atim, st.st_mtim};
  futimens(out, times);
  return true;
}

// Copies `in` into a new file beside `native` that then takes its name. *closed tells that no
// new name could be made in that folder.
FsError CopyAsNewFile(int in, const struct stat& st, const char* native, bool* closed) {
  const AtPath at = Reach(native);
  char name[kNativePathSize + 16];
  for (unsigned i = 1; i < 0x100; ++i) {
    snprintf(name, sizeof name, "%s.vt%x", at.name, i);
    const int out = g_fsCalls.openat(at.dir, name, kNewFileFlags, 0600);
    if (out < 0 && errno == EEXIST) continue;
    if (out < 0) {
      *closed = errno == EACCES || errno == EPERM || errno == EROFS;
      return kFsFailed;
    }
    bool ok = CopyWithAttributes(in, out, st);
    ok = close(out) == 0 && ok && g_fsCalls.rename(at.dir, name, at.dir, at.name, true) == 0;
    if (ok) return kFsOk;
    g_fsCalls.unlinkat(at.dir, name, 0);
    return kFsFailed;
  }
  return kFsFailed;
}

// Writes `in` over the file `native`, which has no other name.
FsError CopyInPlace(int in, const struct stat& st, const char* native) {
  struct stat outSt;
  const int out = OpenPlainFile(native, O_WRONLY, 0, &outSt);
  if (out < 0) return ErrorOf(errno, native);
  bool ok = outSt.st_nlink == 1 && ftruncate(out, 0) == 0 && CopyWithAttributes(in, out, st);
  ok = close(out) == 0 && ok;
  return ok ? kFsOk : kFsFailed;
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

namespace {

int SystemOpenAt(int dir, const char* name, int flags, mode_t mode) {
  return openat(dir, name, flags, mode);
}

int SystemRename(int fromDir, const char* from, int toDir, const char* to, bool replace) {
  return replace ? renameat(fromDir, from, toDir, to)
                 : renameat2(fromDir, from, toDir, to, RENAME_NOREPLACE);
}

ssize_t SystemCopyFileRange(int in, int out, size_t size) {
  return copy_file_range(in, nullptr, out, nullptr, size, 0);
}

}  // namespace

const FsPosixCalls kSystemFsCalls = {SystemOpenAt, mkdirat, unlinkat, SystemRename, write,
                                     pread, SystemCopyFileRange};
FsPosixCalls g_fsCalls = kSystemFsCalls;

namespace {

// Removes the plain file at `native` so that a new one can take its name, unless another
// opener of this layer holds it: emptying it instead would write to every other name it has.
bool RemoveForNew(const char* native) {
  const AtPath at = Reach(native);
  const int fd = g_fsCalls.openat(at.dir, at.name, kLookFlags, 0);
  if (fd < 0) return errno == ENOENT;
  struct stat st;
  const bool removed = fstat(fd, &st) == 0 && S_ISREG(st.st_mode) &&
                       flock(fd, LOCK_EX | LOCK_NB) == 0 &&
                       g_fsCalls.unlinkat(at.dir, at.name, 0) == 0;
  close(fd);
  return removed;
}

}  // namespace

FsFile FsOpen(const char* path, FsOpenMode mode, FsError* error) {
  struct Mode {
    int flags;
    int lock;
    bool soleLink;  // refused for a file with other hard links
  };
  static const Mode kModes[] = {
      {O_RDONLY, LOCK_EX, false},                     // kFsReadExclusive
      {O_RDWR, LOCK_EX, false},                       // kFsUpdateExclusive
      {O_WRONLY | O_CREAT | O_EXCL, LOCK_EX, false},  // kFsCreateNew
      {O_WRONLY | O_CREAT | O_EXCL, LOCK_EX, false},  // kFsCreateAlways
      {O_RDONLY, LOCK_SH, false},                     // kFsReadShared
      {O_RDWR, LOCK_EX, true},                        // kFsUpdateSoleLink
  };
  static_assert(sizeof kModes / sizeof kModes[0] == kFsUpdateSoleLink + 1, "a row per mode");
  FsError ignored;
  if (!error) error = &ignored;
  *error = kFsFailed;
  NativePath native;
  if (!ToNative(path, native)) return kNoFile;
  if (mode == kFsCreateAlways && !RemoveForNew(native)) return kNoFile;
  const Mode& m = kModes[mode];
  struct stat st;
  int fd = OpenPlainFile(native, m.flags, 0666, &st);
  if (fd < 0) {
    *error = ErrorOf(errno, native);
    return kNoFile;
  }
  if (flock(fd, m.lock | LOCK_NB) != 0 || (m.soleLink && st.st_nlink > 1)) {
    close(fd);
    return kNoFile;
  }
  *error = kFsOk;
  t_opened = {fd, uint64_t(st.st_size)};
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
    ssize_t n = g_fsCalls.write(fd, data, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data += n;
    size -= size_t(n);
  }
  return true;
}

bool ReadFdAt(int fd, uint8_t* data, uint32_t size, uint64_t offset) {
  for (off_t at = off_t(offset); size > 0;) {
    ssize_t n = g_fsCalls.pread(fd, data, size, at);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data += n, size -= uint32_t(n), at += n;
  }
  return true;
}

bool FsWrite(FsFile file, const void* data, uint32_t size) {
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

// A file that `to` names already is never written while another name could take the copy: a
// new file beside it takes its name, so that a failed copy leaves it as it was and names it
// has elsewhere never see the copy. Only where no new name can be made there (a folder closed
// to new names) is a file without other names written in place.
FsError FsCopyFile(const char* from, const char* to, bool replace) {
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
  int out = replace ? OpenPlainFile(target, O_RDONLY, 0, &outSt) : -1;
  if (out >= 0) {
    // A file held by another opener, or the source itself under a second name, stays untouched.
    FsError result = kFsFailed;
    bool closed = false;
    if ((outSt.st_dev != st.st_dev || outSt.st_ino != st.st_ino) &&
        flock(out, LOCK_EX | LOCK_NB) == 0) {
      result = CopyAsNewFile(in, st, target, &closed);
      if (closed && outSt.st_nlink == 1) result = CopyInPlace(in, st, target);
    }
    close(out);
    close(in);
    return result;
  }
  if (replace && errno != ENOENT) {
    const FsError error = ErrorOf(errno, target);
    close(in);
    return error;
  }
  out = OpenPlainFile(target, O_WRONLY | O_CREAT | O_EXCL, st.st_mode & 0777, &outSt);
  if (out < 0) {
    FsError error = ErrorOf(errno, target);
    close(in);
    return error;
  }
  bool ok = CopyWithAttributes(in, out, st);
  ok = close(out) == 0 && ok;
  close(in);
  if (ok) return kFsOk;
  const AtPath at = Reach(target);
  g_fsCalls.unlinkat(at.dir, at.name, 0);
  return kFsFailed;
}

// rename() would replace an existing `to`; MoveFileA refuses to. RENAME_NOREPLACE refuses in
// the same step; where the file system lacks it, a check and the rename are two steps, which is
// enough for the engine's own directories.
FsError FsMoveFile(const char* from, const char* to) {
  NativePath source, target;
  if (!ToNative(from, source) || !ToNative(to, target)) return kFsFailed;
  // A folder renamed is no longer where its name led.
  HeldForget(source);
  const AtPath in = Reach(source), out = Reach(target);
  if (g_fsCalls.rename(in.dir, in.name, out.dir, out.name, false) == 0) return kFsOk;
  const int error = errno;
  if (error == ENOENT) ForgetFolderOf(target);
  if (error != EINVAL && error != ENOSYS) return ErrorOf(error, source);
  struct stat st;
  if (fstatat(out.dir, out.name, &st, AT_SYMLINK_NOFOLLOW) == 0) return kFsExists;
  if (g_fsCalls.rename(in.dir, in.name, out.dir, out.name, true) != 0)
    return ErrorOf(errno, source);
  return kFsOk;
}

// Windows refuses to replace a file that another opener holds without sharing; the layer's
// own exclusive lock stands for that here, as in FsDeleteFile.
FsError FsReplaceFile(const char* from, const char* to) {
  NativePath source, target;
  if (!ToNative(from, source) || !ToNative(to, target)) return kFsFailed;
  HeldForget(source);
  const AtPath in = Reach(source), out = Reach(target);
  int fd = g_fsCalls.openat(out.dir, out.name, kLookFlags, 0);
  if (fd >= 0) {
    struct stat st;
    if (fstat(fd, &st) != 0 || S_ISDIR(st.st_mode) || flock(fd, LOCK_EX | LOCK_NB) != 0) {
      close(fd);
      return kFsFailed;
    }
  }
  FsError result = kFsOk;
  if (g_fsCalls.rename(in.dir, in.name, out.dir, out.name, true) != 0) {
    const int error = errno;
    if (error == ENOENT) ForgetFolderOf(target);
    // Another volume: copy, as MoveFileExA does when allowed to.
    if (error == EXDEV && FsCopyFile(from, to, true) == kFsOk &&
        g_fsCalls.unlinkat(in.dir, in.name, 0) == 0)
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
  NativePath native;
  if (!ToNative(path, native)) return kFsFailed;
  // A directory needs no check of its own: unlink() refuses it.
  const AtPath at = Reach(native);
  int fd = g_fsCalls.openat(at.dir, at.name, kLookFlags, 0);
  if (fd >= 0 && flock(fd, LOCK_EX | LOCK_NB) != 0) {
    close(fd);
    return kFsFailed;
  }
  FsError result = g_fsCalls.unlinkat(at.dir, at.name, 0) == 0 ? kFsOk : ErrorOf(errno, native);
  if (fd >= 0) close(fd);
  return result;
}

FsError FsDiscardFile(const char* path) {
  NativePath native;
  if (!ToNative(path, native)) return kFsFailed;
  const AtPath at = Reach(native);
  return g_fsCalls.unlinkat(at.dir, at.name, 0) == 0 ? kFsOk : ErrorOf(errno, native);
}

bool FsSetNormalAttributes(const char* path) {
  NativePath native;
  struct stat st;
  // A symbolic link is left alone: chmod would change the file it points to; so is a file
  // with other hard links, which share its mode.
  if (!ToNative(path, native)) return false;
  const AtPath at = Reach(native);
  if (fstatat(at.dir, at.name, &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(st.st_mode) ||
      st.st_nlink > 1)
    return false;
  // Most files are writable already: no change of the inode for them.
  return (st.st_mode & S_IWUSR) != 0 ||
         fchmodat(at.dir, at.name, (st.st_mode & 0777) | S_IWUSR, 0) == 0;
}

void FsSetNameCodec(const FsNameCodec* codec) {
  g_nameCodec = codec ? *codec : FsNameCodec{nullptr, nullptr, nullptr};
}

const char* FsNameTag() { return g_nameCodec.tag ? g_nameCodec.tag : ""; }

bool FsTakeNameTag(const char** line, const char* end) {
  static const char kLead[] = "names ";
  const size_t lead = sizeof kLead - 1;
  const char* tag = FsNameTag();
  if (size_t(end - *line) < lead || memcmp(*line, kLead, lead) != 0) return tag[0] == 0;
  const char* stop = static_cast<const char*>(memchr(*line, '\n', size_t(end - *line)));
  const size_t length = strlen(tag);
  if (!stop || size_t(stop - *line) != length + 1 || memcmp(*line, tag, length) != 0 ||
      stop[-1] != '\r')
    return false;
  *line = stop + 1;
  return true;
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
  int fd;
  bool own;
  // Below a root the folders are made one name at a time from it, never through a link.
  const HeldWalk walk = HeldFolder(native, length, true, &fd, &own);
  if (walk != kHeldOutside) return walk == kHeldFound;
  native[length] = 0;
  if (IsDirectory(native)) return true;
  MakeFolders(native);
  return IsDirectory(native);
}

bool FsMakeDir(const char* path) {
  NativePath native;
  if (!ToNative(path, native)) return false;
  const AtPath at = Reach(native);
  return g_fsCalls.mkdirat(at.dir, at.name, 0777) == 0;
}

bool FsRemoveDir(const char* path) {
  NativePath native;
  if (!ToNative(path, native)) return false;
  HeldForget(native);
  const AtPath at = Reach(native);
  return g_fsCalls.unlinkat(at.dir, at.name, AT_REMOVEDIR) == 0;
}

bool FsHoldRoot(const char* folder) {
  NativePath native;
  return ToNative(folder, native) && HeldAddRoot(native);
}

bool FsForEachEntry(const char* dir, FsEntryVisitor visit, void* context) {
  NativePath native;
  if (!ToNative(dir, native)) return false;
  // A held folder is listed as it was found, whatever has taken its name since.
  int held;
  bool own;
  const HeldWalk walk = HeldFolder(native, strlen(native), false, &held, &own);
  if (walk != kHeldOutside && walk != kHeldFound) return false;
  const AtPath at = walk == kHeldFound ? AtPath{held, ".", own} : AtPath{AT_FDCWD, native, false};
  int fd = g_fsCalls.openat(at.dir, at.name, O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NOFOLLOW, 0);
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

// Looks at each folder that `native` names below its first `rootLength` characters, without
// following links: for paths below no root the run holds (below one, the walk from it is the
// look and the use at once).
FolderWalk WalkFolders(NativePath native, size_t rootLength) {
  // The file's own name needs no look: no call of this layer follows a link there.
  const char* leaf = strrchr(native, '/');
  const size_t length = leaf ? size_t(leaf - native) : 0;
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

void FsHoldFolders() { HeldBegin(); }

void FsReleaseFolders() { HeldEnd(); }

bool FsPathHasLink(const char* path, size_t rootLength) {
  NativePath native;
  if (!ToNativeBelowRoot(path, &rootLength, native)) return false;
  int fd;
  bool own;
  const HeldWalk walk = HeldFolder(native, FolderLength(native), false, &fd, &own);
  if (walk != kHeldOutside) return walk == kHeldLinked;
  return WalkFolders(native, rootLength) == kFolderLinked;
}

// The walk's look at the file's own folder tells that it stands: no second look to make it.
bool FsMakeParentDirsUnlessLinked(const char* path, size_t rootLength) {
  NativePath native;
  if (!ToNativeBelowRoot(path, &rootLength, native)) {
    FsMakeParentDirs(path);
    return true;
  }
  int fd;
  bool own;
  const HeldWalk walk = HeldFolder(native, FolderLength(native), true, &fd, &own);
  if (walk != kHeldOutside) return walk != kHeldLinked;
  if (WalkFolders(native, rootLength) == kFolderLinked) return false;
  FsMakeParentDirs(path);
  return true;
}

FsFile FsCreateTemp(const char* dir, const char* prefix, char* name) {
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
    int fd = g_fsCalls.openat(file.dir, file.name, kNewFileFlags, 0666);
    if (fd >= 0) {
      // In a folder that the run made and holds, the lock would keep nobody out: no run of
      // ours goes into another's folders while that one lives (its journal is held), and
      // other programs do not ask for locks.
      if (file.inOwnFolder || flock(fd, LOCK_EX | LOCK_NB) == 0) return FileOf(fd);
      close(fd);
      g_fsCalls.unlinkat(file.dir, file.name, 0);
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

// Reading a file a part at a time, through the calls a test may change.
namespace vt {

uint32_t FsSize(FsFile file) {
  struct stat st;
  return fstat(FdOf(file), &st) == 0 ? uint32_t(st.st_size) : 0;
}

uint32_t FsReadAt(FsFile file, uint32_t offset, void* buffer, uint32_t size) {
  uint32_t done = 0;
  while (done < size) {
    const ssize_t n =
        g_fsCalls.pread(FdOf(file), static_cast<uint8_t*>(buffer) + done, size - done,
                        off_t(offset) + done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    done += uint32_t(n);
  }
  return done;
}

}  // namespace vt
