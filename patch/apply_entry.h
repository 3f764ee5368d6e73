// Reading the patch script and applying one of its entries to DestinationDir.
#ifndef VANTREL_PATCH_APPLY_ENTRY_H
#define VANTREL_PATCH_APPLY_ENTRY_H

#include <stddef.h>
#include <stdint.h>

#include "format/file_format.h"
#include "patch/fs.h"

namespace vt {

// A read position in a script, which is held in memory or read from its file through a window
// of bytes that moves along as the entries are read. Nothing past the script's end is read.
struct ScriptWindow {
  uint32_t at;    // the offset of the next byte to read
  uint32_t size;  // the script's (the low 32 bits of its file's size), or where a stream ends
  const uint8_t* window;  // `held` bytes of the script from offset `start` on
  uint32_t start;
  uint32_t held;
  FsFile file;        // kNoFile: the script is in memory, the window all of it
  uint32_t capacity;  // of the window's buffer, read from `file`
};

// The entries' window, and those of the add and literal streams that split bodies take their
// bytes from, found at the first split body and read on where the entry before left them.
struct ScriptCursor : ScriptWindow {
  ScriptWindow adds;
  ScriptWindow literals;  // its size 0 until the streams are found
  char path[kMaxPath + 1];  // the path of the entry last read, while its entry is read
  char source[kMaxPath + 1];  // and that of the file its body is from, if another
};

// An entry's header and the longest path, which the entries' window must hold at once.
const uint32_t kEntryHeadWindow = kEntryHeaderSize + kMaxPath + 1;
// The least window for a script read from its file: half of it reads the entries, a quarter
// each the two streams of split bodies.
const uint32_t kMinScriptWindow = 2 * kEntryHeadWindow;

// Told the path of each entry as it is stored (leading backslash included) when its
// application starts; the stub shows it in the Processing dialog. `entryStarted` may be null.
struct EntryObserver {
  void (*entryStarted)(void* context, const char* path);
  void* context;
};

// Told the path of an entry's file, relative to DestinationDir, just before its old file goes
// into BackupDir (moved, or copied where the move is refused). False: it must not go, and the
// entry gives kReplaceDenied with the old file in place.
struct BackupObserver {
  bool (*backingUp)(void* context, const char* relative);
  void* context;
};

// What one run passes to each entry. Both directories are paths of the form the file-system
// layer takes, not empty; a trailing separator is allowed.
struct ApplyContext {
  const char* destinationDir;
  const char* backupDir;  // the run's BackupDir; created on first use
  EntryObserver observer;
  // Where temporary files are made: a folder on DestinationDir's volume that the run removes
  // with its BackupDir, so that a later run finds every one it left. Null: DestinationDir.
  const char* tempDir;
  BackupObserver backingUp;  // may be left null
};

// Reads the script's entry count (the low 16 bits of its first four bytes) and sets `cursor`
// to the first entry. False when the script is shorter than the count field.
bool BeginScript(const uint8_t* script, size_t size, uint32_t* count, ScriptCursor* cursor);

// BeginScript for a script in `file` (open for reading, which stays open), read through
// `window` (`capacity` bytes, at least kMinScriptWindow). A part that cannot be read counts as
// missing from the script.
bool BeginScriptFile(FsFile file, uint8_t* window, uint32_t capacity, uint32_t* count,
                     ScriptCursor* cursor);

// Applies the entry at cursor->at (the CRC table must be built). Returns its EntryResult;
// the cursor is then at the next entry, except after kDataError, when it is left where it was
// (the split bodies' streams then anywhere: nothing reads on after a damaged entry).
// *path (when path is not null) receives the entry's stored path, in the cursor until the next
// entry is read, or null when the script holds no NUL-terminated path of at most kMaxPath
// characters there.
//
// kDataError, with nothing written and no directory created, for an entry that the script does
// not hold in full (a split body's bytes within their streams, which the script's last eight
// bytes must locate within it), an unknown op code (also in an entry whose file is then
// skipped), a path (the entry's, or the file a body is from) of more than kMaxPath characters,
// or one that is empty, names no file, has an empty, ".", ".." or device-name component, a
// colon or a slash, or is longer than kMaxPath once joined to DestinationDir or BackupDir; and,
// once the old file has matched crcOriginal, a copy or add that reads past its end. A script
// read from its file holds what the file's size says; a part of it that cannot be read then
// gives kUpdatedCrcError, nothing left behind.
//
// A body from another file reads that file as an update reads its old file, and leaves it as
// it is: kOriginalMissing where it cannot be opened for reading (its folder missing, a link
// standing for one of its folders), kOriginalCrcError where it does not match, never
// kAlreadyUpdated. The entry's file is then placed as a new file is (kInstalled, kOverwritten).
EntryResult ApplyEntry(const ApplyContext& context, ScriptCursor* cursor, const char** path);

// What reading an entry without applying it tells: the one view of an entry's kind and body
// for whoever looks at a script (the run's checks, the tool's listings and verification).
struct EntryFacts {
  const char* path;  // as stored, in the cursor; null when it holds no NUL-terminated path
  bool newFile;      // a new-file entry, its file stored whole; false: an update entry
  bool usesAdd;      // the update entry holds an add operation, which only a stub that carries
                     // kAddOpMarker runs
  bool split;        // a split body, which only a stub that carries kSplitMarker runs
  const char* source;  // a body from another file, which only a stub that carries kFromMarker
                       // runs: that file's path as stored, in the cursor; else null
};

// Checks the entry at cursor->at as ApplyEntry does before it touches the disk, except for the
// joined path lengths, and moves the cursor to the next entry. False (cursor unchanged but for
// the split bodies' streams) where ApplyEntry would give kDataError without reading the old
// file; facts->path is then set as far as the entry was read. Touches nothing, so a run can
// check a whole script before it changes anything.
bool ReadEntry(ScriptCursor* cursor, EntryFacts* facts);

// ReadEntry telling only the path and (when usesAdd is not null) whether the entry holds an add
// operation.
bool SkipEntry(ScriptCursor* cursor, const char** path, bool* usesAdd = nullptr);

}  // namespace vt

#endif  // VANTREL_PATCH_APPLY_ENTRY_H
