// The patch engine's file-system layer: the few file operations it needs, as free functions.
// fs_win32.cpp implements them with the Win32 calls of the installer; fs_posix.cpp for the
// native tool and tests. Paths are NUL-terminated ANSI strings of at most kMaxPath characters
// in which a backslash separates directories (on POSIX '/' works too; both become '/').
#ifndef VANTREL_PATCH_FS_H
#define VANTREL_PATCH_FS_H

#include <stddef.h>
#include <stdint.h>

namespace vt {

// An open file. Win32: the file handle. POSIX: the descriptor plus one.
typedef struct FsFileOpaque* FsFile;
const FsFile kNoFile = nullptr;

enum FsError {
  kFsOk = 0,
  kFsNotFound,  // the file does not exist, in a directory that does (ERROR_FILE_NOT_FOUND)
  kFsExists,    // the operation must not replace a file that exists
  kFsFailed,    // anything else: no access, sharing violation, missing directory, I/O error
};

// How FsOpen opens a file. "Exclusive" means no sharing: on Windows other opens of the file
// fail while it is open, and so do its deletion and renaming. POSIX cannot refuse other
// openers; the layer takes a non-blocking flock() lock instead (exclusive here, shared for
// copy sources), so it refuses only openers that lock too: this layer itself, in this or any
// other process. Every mode opens plain files only, never directories, and never through a
// link at the file itself (POSIX: a symbolic link; Windows: a reparse point). No mode that
// writes reaches a file with other hard links, whose content other names outside the run's
// folders may share.
enum FsOpenMode {
  kFsReadExclusive,     // read; existing file only
  kFsUpdateExclusive,   // read and write; existing file only (the engine only reads it)
  kFsCreateNew,         // write; fails with kFsExists when the file exists
  kFsCreateAlways,      // write; a new file: one that exists is removed first, never emptied
  kFsReadShared,        // read; other readers allowed; existing file only
  kFsUpdateSoleLink,    // read and write; existing file only, refused when it has other hard
                        // links
};

// Opens `path`. Returns kNoFile on failure and then sets *error (when error is not null).
FsFile FsOpen(const char* path, FsOpenMode mode, FsError* error);

// Writes all `size` bytes at the file position. False when not all of them were written.
bool FsWrite(FsFile file, const void* data, uint32_t size);

// Closes the file. False when the system reports an error, which for a written file may mean
// that written data did not reach it.
bool FsClose(FsFile file);

// A read-only view of a whole file. `size` is the low 32 bits of the file's size; an empty
// file has a view with no data and size 0.
struct FsView {
  const uint8_t* data;
  uint32_t size;
  void* mapping;  // the layer's own
};

// Maps the whole file read-only (the file must be open for reading). False when the system
// cannot map it; the view is then empty and needs no FsUnmap.
bool FsMap(FsFile file, FsView* view);
void FsUnmap(FsView* view);

// Copies a file with its attributes. With `replace` false an existing `to` is kept and the
// result is kExists. With `replace`, a `to` that has other hard links is never written: the
// copy is made as a new file beside it that then takes its name (Windows: `to` is deleted
// first, and the copy made new at its name), or fails. On POSIX a failed copy removes the
// partly written `to`.
FsError FsCopyFile(const char* from, const char* to, bool replace);

// Renames `from` to `to`; fails when `to` exists.
FsError FsMoveFile(const char* from, const char* to);

// Renames `from` to `to` in one step, replacing a file that is there (which must not be
// read-only on Windows), so that `to` always names either its old or its new content. Across
// volumes the system copies instead. Fails while another opener holds `to` without sharing.
FsError FsReplaceFile(const char* from, const char* to);

// Deletes a file. Fails while another opener holds it without sharing.
FsError FsDeleteFile(const char* path);

// Deletes a file that the engine is done with: one in a folder of its own run (a backup, a
// temporary file), which no other program has reason to hold. Windows refuses it as
// FsDeleteFile does while another opener holds it without sharing; the POSIX layer does not
// look for its lock first, which would cost three calls per file.
FsError FsDiscardFile(const char* path);

// Makes the file writable and plain (on Windows: FILE_ATTRIBUTE_NORMAL). False, with nothing
// changed, for a link or a file with other hard links, whose attributes names elsewhere share.
bool FsSetNormalAttributes(const char* path);

// Creates every missing directory on the way to `path`: each component up to its last
// separator. True when that directory exists afterwards.
bool FsMakeParentDirs(const char* path);

// Creates one directory (its parent must exist). True only when this call made it: a folder,
// or a link to one, that is there already is not taken, since the folders a run makes for its
// backups and temporary files must be its own.
bool FsMakeDir(const char* path);

// Removes an empty directory, or on Windows a directory junction without entering it.
bool FsRemoveDir(const char* path);

enum FsEntryKind {
  kFsEntryFile,  // a file
  kFsEntryDir,   // a directory
  kFsEntryLink,  // a POSIX symbolic link or a Windows directory junction: never followed
};

// Called for each entry of a directory but "." and ".."; `name` is the bare name.
typedef void (*FsEntryVisitor)(void* context, const char* name, FsEntryKind kind);

// Calls `visit` for every entry of directory `dir`, hidden ones included, in no set order.
// False when the directory cannot be read.
bool FsForEachEntry(const char* dir, FsEntryVisitor visit, void* context);

// True when a link (a POSIX symbolic link; on Windows any reparse point: a junction or a
// symbolic link) stands for one of the folders that `path` names below its first `rootLength`
// characters (the folder the caller owns, which may itself be reached through links). Missing
// components are no links. A link in place of the file itself is refused by every open of
// either layer, and renamed or deleted as itself, never followed; the Windows layer also
// answers true for it here, since a copy onto it would write through it.
bool FsPathHasLink(const char* path, size_t rootLength);

// FsPathHasLink and then, when it found no link, FsMakeParentDirs, in one walk where the folders
// stand already. False, with nothing made, when a link stands for a folder below `rootLength`;
// true otherwise, whether or not every folder could be made.
bool FsMakeParentDirsUnlessLinked(const char* path, size_t rootLength);

// Between these two calls, on the calling thread, the layer holds the folders a run works in,
// so that nothing that takes a folder's name afterwards is ever reached: a root given to
// FsHoldRoot is opened once, and every path below it is reached from it one folder at a time,
// never through a link (a path whose folders hold one fails, as a missing folder does). POSIX
// keeps each folder so found open and reaches files relative to it; Windows keeps each one
// open without delete sharing, checked in its parent's listing to be a folder and no link, so
// that nobody can rename or replace it meanwhile. The link checks (FsPathHasLink,
// FsMakeParentDirsUnlessLinked) then make missing folders the same way, leaving no moment
// between a look and its use. A folder that this layer removes or renames is let go. Meant for
// the span of one run, on the thread that runs it (a second hold before the release changes
// nothing).
void FsHoldFolders();

// Makes `folder` a root while holding: the destination, a folder for kept backups, a run's own
// BackupDir. One that lies below a root already is reached from it without following a link
// and stays held, whatever takes its name later, until it is removed or the release; any other
// is opened as the system finds it (links followed: the caller chose it). False when it is no
// folder that can be held.
bool FsHoldRoot(const char* folder);

void FsReleaseFolders();

// Reserves a new unique name in directory `dir`: `prefix` (three characters), a hexadecimal
// number and ".tmp", the way GetTempFileNameA does, creating an empty file of that name. Writes
// the full path into `name` (kMaxPath + 1 characters). False when no name could be reserved.
bool FsReserveTempName(const char* dir, const char* prefix, char* name);

// Makes a new, empty file with a name of the form FsReserveTempName gives, never at a name that
// exists (a link's included), and returns it open for writing and held exclusively (as
// kFsCreateNew opens), so that nobody can take it between; on POSIX systems not in a folder
// that the run made and holds as a root (FsHoldRoot), which no run of ours enters while this
// one lives. kNoFile, with nothing left behind, when no name could be reserved or the file not
// opened.
FsFile FsCreateTemp(const char* dir, const char* prefix, char* name);

// POSIX only (the Windows layer hands names to the ANSI calls as they are): converters between
// the ANSI names the engine works with and the system's own (UTF-8), each writing a NUL-
// terminated name of at most outSize bytes and false when it cannot. Null: names pass as they
// are. The native tool sets them when it is told the installer's code page.
struct FsNameCodec {
  bool (*toSystem)(const char* ansi, char* out, size_t outSize);
  bool (*fromSystem)(const char* system, char* out, size_t outSize);
  const char* tag;  // names the conversion, such as "codepage 932"; kept with the pointers
};
void FsSetNameCodec(const FsNameCodec* codec);

// The journal line that names the codec set ("names codepage 932"): "" where names pass as
// they are (always on Windows). What a run records by name is found again only under the same
// conversion.
const char* FsNameTag();

// Takes from the journal lines at `*line` (up to `end`) the one that names a conversion, where
// there is one, and tells whether it names this layer's (none where names pass as they are).
// The Windows layer, which converts no names, takes no line: one left by another system then
// reads as a path, which the rules refuse.
bool FsTakeNameTag(const char** line, const char* end);

}  // namespace vt

// Reading a file a part at a time, for a file too large to map whole (the patch script).
namespace vt {

// The low 32 bits of the size of a file open for reading, as FsView has it; 0 when the system
// cannot tell.
uint32_t FsSize(FsFile file);

// Reads up to `size` bytes from `offset` of a file open for reading into `buffer`, the file
// position left anywhere. Returns how many were read: fewer only at the end of the file or
// when a read fails.
uint32_t FsReadAt(FsFile file, uint32_t offset, void* buffer, uint32_t size);

}  // namespace vt

#endif  // VANTREL_PATCH_FS_H
