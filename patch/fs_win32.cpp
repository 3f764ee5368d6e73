// The file-system layer on Windows: thin wrappers over the ANSI Win32 file calls.
#include <string.h>
#include <windows.h>

#include "format/ansi_chars.h"
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

// Junctions and symbolic links, of folders and of files, carry this attribute themselves: the
// listing of the parent reports the link, never its target (as GetFileAttributesA would, which
// the stub does not import). A missing path is no reparse point.
bool IsReparsePoint(const char* path) {
  WIN32_FIND_DATAA found;
  const HANDLE find = FindFirstFileA(path, &found);
  if (find == INVALID_HANDLE_VALUE) return false;
  FindClose(find);
  return (found.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
}

}  // namespace

FsFile FsOpen(const char* path, FsOpenMode mode, FsError* error) {
  struct Mode {
    DWORD access;
    DWORD share;
    DWORD disposition;
  };
  static const Mode kModes[] = {
      {GENERIC_READ, 0, OPEN_EXISTING},                  // kFsReadExclusive
      {GENERIC_READ | GENERIC_WRITE, 0, OPEN_EXISTING},  // kFsUpdateExclusive
      {GENERIC_WRITE, 0, CREATE_NEW},                    // kFsCreateNew
      {GENERIC_WRITE, 0, TRUNCATE_EXISTING},             // kFsTruncateExisting
      {GENERIC_WRITE, 0, CREATE_ALWAYS},                 // kFsCreateAlways
      {GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING},    // kFsReadShared
      {GENERIC_READ | GENERIC_WRITE, 0, OPEN_EXISTING},  // kFsUpdateSoleLink (links not counted)
  };
  static_assert(sizeof kModes / sizeof kModes[0] == kFsUpdateSoleLink + 1, "a row per mode");
  const Mode& m = kModes[mode];
  // CreateFileA would follow a link at the file; the POSIX layer never opens through one.
  if (IsReparsePoint(path)) {
    if (error) *error = kFsFailed;
    return kNoFile;
  }
  HANDLE h = CreateFileA(path, m.access, m.share, nullptr, m.disposition, FILE_ATTRIBUTE_NORMAL,
                         nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    if (error) *error = LastError();
    return kNoFile;
  }
  if (error) *error = kFsOk;
  return reinterpret_cast<FsFile>(h);
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

FsError FsCopyFile(const char* from, const char* to, bool replace) {
  return ResultOf(CopyFileA(from, to, !replace));
}

FsError FsMoveFile(const char* from, const char* to) { return ResultOf(MoveFileA(from, to)); }

FsError FsReplaceFile(const char* from, const char* to) {
  return ResultOf(MoveFileExA(from, to, MOVEFILE_REPLACE_EXISTING | MOVEFILE_COPY_ALLOWED));
}

FsError FsDeleteFile(const char* path) { return ResultOf(DeleteFileA(path)); }

FsError FsDiscardFile(const char* path) { return FsDeleteFile(path); }

bool FsSetNormalAttributes(const char* path) {
  return SetFileAttributesA(path, FILE_ATTRIBUTE_NORMAL) != 0;
}

void FsSetNameCodec(const FsNameCodec*) {}

const char* FsNameTag() { return ""; }

bool FsTakeNameTag(const char**, const char*) { return true; }

// The directory up to the last backslash, and the missing ones above it. Mostly it exists
// already, and one call tells so. Walked by character: a double-byte character whose second
// byte is 0x5C is part of a name, not a separator. A drive ("C:") is not made.
bool FsMakeParentDirs(const char* path) {
  const char* last = nullptr;
  for (const char* p = path; *p != 0; p = NextChar(p))
    if (*p == '\\') last = p;
  if (!last || last == path || last[-1] == ':') return true;
  if (last - path >= MAX_PATH) return false;
  char parent[MAX_PATH];
  lstrcpynA(parent, path, int(last - path) + 1);
  // A folder that stands there already will do at every level of the path.
  return FsMakeDir(parent) || GetLastError() == ERROR_ALREADY_EXISTS ||
         (FsMakeParentDirs(parent) && FsMakeDir(parent));
}

bool FsMakeDir(const char* path) {
  return CreateDirectoryA(path, nullptr) != 0;
}

bool FsRemoveDir(const char* path) { return RemoveDirectoryA(path) != 0; }

// The ANSI calls take whole names only (a name relative to an open folder needs the native
// NT calls), so each call walks its name as before.
void FsHoldFolders() {}
bool FsHoldRoot(const char*) { return true; }
void FsReleaseFolders() {}

bool FsForEachEntry(const char* dir, FsEntryVisitor visit, void* context) {
  char pattern[MAX_PATH + 4];
  int length = int(strlen(dir));
  if (length + 4 >= MAX_PATH) return false;
  lstrcpyA(pattern, dir);
  if (length > 0 && !EndsWithSeparator(dir)) pattern[length++] = '\\';
  lstrcpyA(pattern + length, "*.*");
  WIN32_FIND_DATAA found;
  HANDLE find = FindFirstFileA(pattern, &found);
  if (find == INVALID_HANDLE_VALUE) return false;
  do {
    const char* name = found.cFileName;
    if (name[0] == '.' && (name[1] == 0 || (name[1] == '.' && name[2] == 0))) continue;
    DWORD attributes = found.dwFileAttributes;
    FsEntryKind kind = kFsEntryFile;
    if (attributes & FILE_ATTRIBUTE_DIRECTORY)
      kind = (attributes & FILE_ATTRIBUTE_REPARSE_POINT) ? kFsEntryLink : kFsEntryDir;
    visit(context, name, kind);
  } while (FindNextFileA(find, &found));
  FindClose(find);
  return true;
}

namespace {

// Every folder below the root, and the file itself unless `last` is a backslash (the name
// after the last one ends at the NUL): Windows follows a junction or a symbolic link wherever
// it stands in a path. Walked by character, so that a second byte 0x5C is no separator.
bool HasLinkBelow(const char* path, size_t rootLength, char last) {
  char prefix[MAX_PATH];
  for (const char* p = path + rootLength; *p != 0;) {
    p = NextChar(p);
    if (*p != '\\' && *p != last) continue;
    lstrcpynA(prefix, path, int(p - path) + 1);
    if (IsReparsePoint(prefix)) return true;
  }
  return false;
}

}  // namespace

// A copy onto a link to a file writes through it: the file is looked at too.
bool FsPathHasLink(const char* path, size_t rootLength) {
  return HasLinkBelow(path, rootLength, 0);
}

// The file itself is left to the open that every use of it goes through first (FsOpen
// refuses a link), and a move onto its name never replaces it: one look at it, not two.
bool FsMakeParentDirsUnlessLinked(const char* path, size_t rootLength) {
  if (HasLinkBelow(path, rootLength, '\\')) return false;
  FsMakeParentDirs(path);
  return true;
}

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
    if (!GetTempFileNameA(dir, prefix, number, name)) break;
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
