// The file-system layer on Windows: thin wrappers over the ANSI Win32 file calls.
#include <stdlib.h>
#include <string.h>
#include <windows.h>

#include "format/ansi_chars.h"
#include "format/file_format.h"
#include "patch/fs.h"

namespace vt {
namespace {

HANDLE HandleOf(FsFile file) { return reinterpret_cast<HANDLE>(file); }

FsError LastError() {
  switch (GetLastError()) {
    case ERROR_FILE_NOT_FOUND:
      return kFsNotFound;
    case ERROR_FILE_EXISTS:
    case ERROR_ALREADY_EXISTS:
      return kFsExists;
    default:
      return kFsFailed;
  }
}

FsError ResultOf(BOOL ok) { return ok ? kFsOk : LastError(); }

// The attributes that the listing of the parent gives `path`: a junction or a symbolic link,
// of a folder or of a file, carries FILE_ATTRIBUTE_REPARSE_POINT itself there, never its
// target's (Wine shows a Unix link to a folder as one only there, not on a handle). None for
// a missing path: no link, and no folder.
DWORD NameAttributes(const char* path) {
  WIN32_FIND_DATAA found;
  const HANDLE find = FindFirstFileA(path, &found);
  if (find == INVALID_HANDLE_VALUE) return 0;
  FindClose(find);
  return found.dwFileAttributes;
}

bool IsReparsePoint(const char* path) {
  return (NameAttributes(path) & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
}

// FsOpen's own mode for FsSetNormalAttributes: the file held, for its attributes, as a
// folder is (HoldFolder).
const FsOpenMode kFsHoldForAttributes = FsOpenMode(kFsUpdateSoleLink + 1);

bool IsSeparator(char c) { return c == '\\' || c == '/'; }

// ---- Held folders -------------------------------------------------------------------------
// While a run holds its folders, a call below a root first holds each folder from the root down
// to the one it acts in that is not held yet: opened as itself without delete sharing, then
// looked at in its parent's listing, which must show a folder and no link (Wine shows a Unix
// link as one only there). Nobody can then rename a held folder or put a link at its name, so
// that the whole paths that the ANSI calls take lead where the looks found. Each stays held to
// the release, in a list of any length, known by its whole path: a folder is opened and looked
// at once per run, not for every call. A folder that this layer removes or renames is let go
// with those below it, so that no held path ever names another folder. State is one per
// process, not per thread (thread_local would cost the stub a section): the installer runs one
// run at a time, on its worker thread, and calls of other threads go by path meanwhile.
// A process that sharing does not bind (a Unix one under Wine) can still rename a held folder
// and put a link at its name, which the calls after it then follow; it runs as the same user
// as the run, which gains it nothing it could not do itself. Looking at every root's name
// again on each call would catch it there, for 211 more system calls per small file under Wine
// (499, not 288).

struct HeldFolder {
  HeldFolder* next;
  HANDLE handle;
  size_t length;
  char path[1];  // `length` characters and a NUL
};

HeldFolder* g_held;
DWORD g_holder;  // the thread that holds; 0 when none, an id no thread has

bool Holding() { return g_holder == GetCurrentThreadId(); }

// True when path[0, length) is `folder` (of `end` characters) or a folder above it.
bool Covers(const char* path, size_t length, const char* folder, size_t end) {
  return length <= end && (length == end || IsSeparator(folder[length])) &&
         memcmp(path, folder, length) == 0;
}

// Closes the held folders that are `path` or lie below it; every one with path null.
void LetGo(const char* path) {
  for (HeldFolder** link = &g_held; *link;) {
    HeldFolder* held = *link;
    if (path && !Covers(path, strlen(path), held->path, held->length)) {
      link = &held->next;
      continue;
    }
    *link = held->next;
    CloseHandle(held->handle);
    free(held);
  }
}

// kByPath: not holding, or below no root, where a call goes by path as ever; kNotMade: so, and
// the folder that was to be made is not there.
enum Reached { kReached, kByPath, kNotMade, kMissing, kLinked };

// Opens the folder `folder` without delete sharing, and holds it to the release, known by its
// first `length` characters. With FILE_FLAG_OPEN_REPARSE_POINT in `flags` (a folder below a
// root) it is opened as itself, and held only when its parent's listing shows a folder and no
// link. A root is opened as the system finds it, links followed (the caller chose it); a drive's
// root has no listing, and a file held as a root only makes every call below it fail.
Reached HoldFolder(const char* folder, size_t length, DWORD flags) {
  // Read access, reads and writes shared but not deletion: nobody renames or replaces it while
  // it is open (Windows records the sharing only of a handle that may read, write or delete:
  // one opened for its attributes alone blocks nothing).
  const HANDLE handle = CreateFileA(folder, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                    nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | flags,
                                    nullptr);
  if (handle == INVALID_HANDLE_VALUE) return kMissing;
  const DWORD attributes = flags ? NameAttributes(folder) : FILE_ATTRIBUTE_DIRECTORY;
  HeldFolder* held;
  if (attributes & FILE_ATTRIBUTE_REPARSE_POINT) {
    CloseHandle(handle);
    return kLinked;
  }
  if (!(attributes & FILE_ATTRIBUTE_DIRECTORY) ||
      !(held = static_cast<HeldFolder*>(malloc(sizeof(HeldFolder) + length)))) {
    CloseHandle(handle);
    return kMissing;
  }
  held->next = g_held;
  held->handle = handle;
  held->length = length;
  memcpy(held->path, folder, length);
  held->path[length] = 0;
  g_held = held;
  return kReached;
}

size_t FolderEnd(const char* path) {
  const char* name = FileNamePart(path);
  return name == path ? 0 : size_t(name - path - 1);
}

// Below a root (while holding), holds path[0, end) and every folder above it up to one held.
// Elsewhere only looks for a link among the folders below path[0, from), going on past missing
// ones. With `make`, each folder not held yet is made first where missing, from its parent as
// reached: a walk stops at a link before anything below it is made. Each folder is found from
// its own name's end, by the separator before it (FolderEnd reads the name by character, so that
// a second byte 0x5C is no separator). Names of dots alone never come: the engine refuses them
// in paths, and listings skip them.
Reached Walk(const char* path, size_t end, size_t from, bool make = false) {
  if (end == 0) return kByPath;
  if (Holding()) {
    for (const HeldFolder* held = g_held; held; held = held->next)
      if (held->length == end && memcmp(held->path, path, end) == 0) return kReached;
  }
  char folder[kMaxPath + 1];
  memcpy(folder, path, end);
  folder[end] = 0;
  const Reached above = Walk(path, FolderEnd(folder), from, make);
  if (above >= kMissing) return above;
  // A folder that stands there already will do (a drive or a server is none to make).
  const bool made = !make || CreateDirectoryA(folder, nullptr) ||
                    GetLastError() == ERROR_ALREADY_EXISTS;
  if (above == kReached) return HoldFolder(folder, end, FILE_FLAG_OPEN_REPARSE_POINT);
  return end > from && IsReparsePoint(folder) ? kLinked : made ? kByPath : kNotMade;
}

// Holds the folders down to that of `path`. False, as for a missing folder, when one of them is
// missing or a link.
bool Reach(const char* path) { return Walk(path, FolderEnd(path), kMaxPath) < kMissing; }

}  // namespace

void FsHoldFolders() {
  if (!g_holder) g_holder = GetCurrentThreadId();
}

void FsReleaseFolders() {
  if (!Holding()) return;
  LetGo(nullptr);
  g_holder = 0;
}

// A root below another is walked to, and held so; any other is opened as the system finds it.
bool FsHoldRoot(const char* folder) {
  const size_t end = strlen(folder) - EndsWithSeparator(folder);
  if (end > kMaxPath || !Holding()) return false;
  const Reached reached = Walk(folder, end, end);
  return reached == kReached || (reached == kByPath && HoldFolder(folder, end, 0) == kReached);
}

FsFile FsOpen(const char* path, FsOpenMode mode, FsError* error) {
  // A byte per mode: GENERIC_READ and GENERIC_WRITE in their own top bits, the disposition
  // shifted by 2, the sharing below. Every mode may read attributes (the number of links is read
  // on the handle); the read modes have that right already.
  const int kRead = 0x80, kWrite = 0x40, kOpen = OPEN_EXISTING << 2, kNew = CREATE_NEW << 2;
  static const uint8_t kModes[] = {
      kRead | kOpen,                                       // kFsReadExclusive
      kRead | kWrite | kOpen,                              // kFsUpdateExclusive
      kWrite | kNew,                                       // kFsCreateNew
      kWrite | kNew,                                       // kFsCreateAlways
      kRead | kOpen | FILE_SHARE_READ,                     // kFsReadShared
      kRead | kWrite | kOpen,                              // kFsUpdateSoleLink
      kRead | kOpen | FILE_SHARE_READ | FILE_SHARE_WRITE,  // kFsHoldForAttributes
  };
  static_assert(sizeof kModes == kFsHoldForAttributes + 1, "a row per mode");
  const DWORD m = kModes[mode];
  const int kSoleLink = 1 << kFsUpdateSoleLink | 1 << kFsHoldForAttributes;
  FsError result = kFsFailed;
  HANDLE h = INVALID_HANDLE_VALUE;
  if (Reach(path)) {
    // Deleting a name never writes to what it names: a file with other hard links loses one.
    if (mode == kFsCreateAlways) DeleteFileA(path);
    // A link at the file is opened as itself and refused: never written through.
    h = CreateFileA(path, (m & 0xC0) << 24 | FILE_READ_ATTRIBUTES, m & 3, nullptr, (m >> 2) & 3,
                    FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (h == INVALID_HANDLE_VALUE) result = LastError();
    // Refused: a link, and, for the modes that may change what other names of it share, a file
    // with other hard links.
    BY_HANDLE_FILE_INFORMATION info;
    if (h != INVALID_HANDLE_VALUE &&
        (!GetFileInformationByHandle(h, &info) ||
         (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) ||
         (((1 << mode) & kSoleLink) && info.nNumberOfLinks > 1))) {
      CloseHandle(h);
      h = INVALID_HANDLE_VALUE;
    }
    if (h != INVALID_HANDLE_VALUE) result = kFsOk;
  }
  if (error) *error = result;
  return h == INVALID_HANDLE_VALUE ? kNoFile : reinterpret_cast<FsFile>(h);
}

bool FsWrite(FsFile file, const void* data, uint32_t size) {
  DWORD written;
  return WriteFile(HandleOf(file), data, size, &written, nullptr) && written == size;
}

bool FsClose(FsFile file) { return CloseHandle(HandleOf(file)) != 0; }

bool FsMap(FsFile file, FsView* view) {
  view->data = nullptr;
  view->size = 0;
  view->mapping = nullptr;
  DWORD size = GetFileSize(HandleOf(file), nullptr);  // sizes are 32-bit throughout the engine
  if (size == INVALID_FILE_SIZE && GetLastError() != NO_ERROR) return false;
  if (size == 0) return true;  // an empty file cannot be mapped
  HANDLE mapping = CreateFileMappingA(HandleOf(file), nullptr, PAGE_READONLY, 0, 0, nullptr);
  if (!mapping) return false;
  const void* data = MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, size);
  if (!data) {
    CloseHandle(mapping);
    return false;
  }
  view->data = static_cast<const uint8_t*>(data);
  view->size = size;
  view->mapping = mapping;
  return true;
}

void FsUnmap(FsView* view) {
  if (view->mapping) {
    UnmapViewOfFile(view->data);
    CloseHandle(view->mapping);
  }
  view->data = nullptr;
  view->size = 0;
  view->mapping = nullptr;
}

// A `to` that is replaced goes first, as a name, and the copy makes a new file, which fails
// should anything take the name in between: what other hard links or a link at `to` name is
// never written.
FsError FsCopyFile(const char* from, const char* to, bool replace) {
  if (!Reach(from) || !Reach(to)) return kFsFailed;
  if (replace) DeleteFileA(to);
  return ResultOf(CopyFileA(from, to, TRUE));
}

namespace {

// A folder renamed is let go, with those below it: their paths name others now. Without flags
// MoveFileExA renames as MoveFileA does, folders too, and refuses an existing `to`.
FsError Move(const char* from, const char* to, DWORD flags) {
  if (!Reach(from) || !Reach(to)) return kFsFailed;
  LetGo(from);
  return ResultOf(MoveFileExA(from, to, flags));
}

}  // namespace

FsError FsMoveFile(const char* from, const char* to) { return Move(from, to, 0); }

FsError FsReplaceFile(const char* from, const char* to) {
  return Move(from, to, MOVEFILE_REPLACE_EXISTING | MOVEFILE_COPY_ALLOWED);
}

// Inside held folders a path leads only where they hold; a link at the name itself is deleted
// as itself. Deleting through a handle opened with FILE_FLAG_DELETE_ON_CLOSE would reach the
// same file and cost an open more.
FsError FsDeleteFile(const char* path) {
  if (!Reach(path)) return kFsFailed;
  return ResultOf(DeleteFileA(path));
}

FsError FsDiscardFile(const char* path) { return FsDeleteFile(path); }

// The file is held, without delete sharing, from its look to the change, so that nothing can
// take its name in between.
bool FsSetNormalAttributes(const char* path) {
  const FsFile file = FsOpen(path, kFsHoldForAttributes, nullptr);
  if (file == kNoFile) return false;
  const bool done = SetFileAttributesA(path, FILE_ATTRIBUTE_NORMAL) != 0;
  FsClose(file);
  return done;
}

void FsSetNameCodec(const FsNameCodec*) {}

const char* FsNameTag() { return ""; }

bool FsTakeNameTag(const char**, const char*) { return true; }

// Mostly every folder is held already, and no call is made.
bool FsMakeParentDirs(const char* path) {
  return Walk(path, FolderEnd(path), kMaxPath, true) < kNotMade;
}

bool FsMakeDir(const char* path) { return Reach(path) && CreateDirectoryA(path, nullptr) != 0; }

// A held folder is let go first, with those below it: held without delete sharing, it could not
// be removed. RemoveDirectoryA removes a link at the name as itself.
bool FsRemoveDir(const char* path) {
  if (!Reach(path)) return false;
  LetGo(path);
  return RemoveDirectoryA(path) != 0;
}

bool FsForEachEntry(const char* dir, FsEntryVisitor visit, void* context) {
  char pattern[MAX_PATH + 4];
  int length = int(strlen(dir));
  if (length + 4 >= MAX_PATH) return false;
  strcpy(pattern, dir);
  if (length > 0 && !EndsWithSeparator(dir)) pattern[length++] = '\\';
  strcpy(pattern + length, "*");
  // The folder listed is held first, as the folder of a file in it.
  if (!Reach(pattern)) return false;
  WIN32_FIND_DATAA found;
  HANDLE find = FindFirstFileA(pattern, &found);
  if (find == INVALID_HANDLE_VALUE) return false;
  do {
    const char* name = found.cFileName;
    if (name[0] == '.' && (name[1] == 0 || (name[1] == '.' && name[2] == 0))) continue;
    // A link to a file is a link too: it is deleted as itself and never copied.
    const DWORD attributes = found.dwFileAttributes;
    const FsEntryKind kind = (attributes & FILE_ATTRIBUTE_REPARSE_POINT) ? kFsEntryLink
                             : (attributes & FILE_ATTRIBUTE_DIRECTORY)   ? kFsEntryDir
                                                                         : kFsEntryFile;
    visit(context, name, kind);
  } while (FindNextFileA(find, &found));
  FindClose(find);
  return true;
}

// Every folder below the root, and the file itself: Windows follows a junction or a symbolic
// link wherever it stands in a path, and a copy onto a link to a file writes through it. Below
// a held root the folders are held on the way, and then the file alone is looked at.
bool FsPathHasLink(const char* path, size_t rootLength) {
  const Reached reached = Walk(path, FolderEnd(path), rootLength);
  return reached == kLinked || (reached != kMissing && IsReparsePoint(path));
}

// The file itself is left to the open that every use of it goes through first (FsOpen
// refuses a link), and a move onto its name never replaces it: one look at it, not two. A
// link can stand only below folders that exist: none is made above one.
bool FsMakeParentDirsUnlessLinked(const char* path, size_t rootLength) {
  return Walk(path, FolderEnd(path), rootLength, true) != kLinked;
}

// Only ever in DestinationDir, a root, held itself.
bool FsReserveTempName(const char* dir, const char* prefix, char* name) {
  return GetTempFileNameA(dir, prefix, 0, name) != 0;
}

// A name of the same form, created with CREATE_NEW, which fails on any name that exists, a
// link's too: one call makes the file new and ours, where reserving a name, looking for a link
// there and opening it took four and a folder listing. Given a number, GetTempFileNameA only
// forms the name.
FsFile FsCreateTemp(const char* dir, const char* prefix, char* name) {
  // Each file is moved or deleted before the next is made: the first number is mostly free.
  for (unsigned number = 1; number <= 0xFFFF; ++number) {
    if (!GetTempFileNameA(dir, prefix, number, name) || !Reach(name)) break;
    const HANDLE file = CreateFileA(name, GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file != INVALID_HANDLE_VALUE) return reinterpret_cast<FsFile>(file);
    if (GetLastError() != ERROR_FILE_EXISTS) break;
  }
  return kNoFile;
}

}  // namespace vt

// Reading a file a part at a time: a read at an offset moves nothing that another read needs.
namespace vt {

uint32_t FsSize(FsFile file) {
  const DWORD size = GetFileSize(reinterpret_cast<HANDLE>(file), nullptr);
  return size == INVALID_FILE_SIZE ? 0 : size;
}

uint32_t FsReadAt(FsFile file, uint32_t offset, void* buffer, uint32_t size) {
  OVERLAPPED at = {};
  at.Offset = offset;
  DWORD read;  // ReadFile sets it, to 0 when it fails
  ReadFile(reinterpret_cast<HANDLE>(file), buffer, size, &read, &at);
  return read;
}

}  // namespace vt
