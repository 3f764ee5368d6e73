// Applying one patch script entry: a new file written, or an old file rebuilt from copy and
// insert operations into a temporary file, checked by CRC, backed up and replaced.
#include "patch/apply_entry.h"

#include <string.h>

#include "format/ansi_chars.h"
#include "format/name_rules.h"
#include "patch/crc32.h"
#include "patch/dir_tree.h"
#include "patch/fs.h"

namespace vt {
namespace {

typedef char PathBuffer[kMaxPath + 1];

// One entry, located and checked inside the script before anything touches the disk.
struct EntryView {
  uint32_t crcOriginal;
  uint32_t crcUpdated;
  const char* path;      // as stored, NUL-terminated inside the script
  const uint8_t* body;   // the byte after the path's NUL
  bool newFile;
  const uint8_t* data;   // new file: its content
  uint32_t size;
  uint64_t copyEnd;      // update: the furthest old-file byte that a copy reads
  const uint8_t* next;   // the next entry
};

struct EntryPaths {
  PathBuffer target;
  PathBuffer backup;
};

// ---- Operations of an update body ---------------------------------------------------------

enum WalkStatus { kWalkOn, kWalkDone, kWalkBad, kWalkWriteFailed };

// The same walk checks a body (no old file, nothing written) and rebuilds from it.
struct OpWalk {
  const uint8_t* at;
  const uint8_t* end;
  const FsView* old;  // null while checking
  FsFile out;
  uint64_t copyEnd;
};

bool TakeLe32(OpWalk* walk, uint32_t* value) {
  if (size_t(walk->end - walk->at) < 4) return false;
  *value = ReadLe32(walk->at);
  walk->at += 4;
  return true;
}

WalkStatus OpEnd(OpWalk*) { return kWalkDone; }

WalkStatus OpCopy(OpWalk* walk) {
  uint32_t length, offset;
  if (!TakeLe32(walk, &length) || !TakeLe32(walk, &offset)) return kWalkBad;
  uint64_t stop = uint64_t(offset) + length;
  if (stop > walk->copyEnd) walk->copyEnd = stop;
  if (!walk->old) return kWalkOn;
  if (stop > walk->old->size) return kWalkBad;
  if (length != 0 && !FsWrite(walk->out, walk->old->data + offset, length))
    return kWalkWriteFailed;
  return kWalkOn;
}

WalkStatus OpInsert(OpWalk* walk) {
  uint32_t length;
  if (!TakeLe32(walk, &length) || size_t(walk->end - walk->at) < length) return kWalkBad;
  const uint8_t* bytes = walk->at;
  walk->at += length;
  if (walk->old && length != 0 && !FsWrite(walk->out, bytes, length)) return kWalkWriteFailed;
  return kWalkOn;
}

typedef WalkStatus (*OpStep)(OpWalk*);
const OpStep kOpSteps[] = {OpEnd, OpCopy, OpInsert};  // indexed by kOpEnd, kOpCopy, kOpInsert

WalkStatus WalkOps(OpWalk* walk) {
  for (;;) {
    if (walk->at == walk->end) return kWalkBad;
    uint8_t op = *walk->at++;
    if (op >= sizeof kOpSteps / sizeof kOpSteps[0]) return kWalkBad;
    WalkStatus status = kOpSteps[op](walk);
    if (status != kWalkOn) return status;
  }
}

// ---- Reading an entry ---------------------------------------------------------------------

bool ReadEntryHead(const ScriptCursor& cursor, EntryView* entry) {
  if (size_t(cursor.end - cursor.at) < kEntryHeaderSize) return false;
  entry->crcOriginal = ReadLe32(cursor.at);
  entry->crcUpdated = ReadLe32(cursor.at + 4);
  const uint8_t* path = cursor.at + kEntryHeaderSize;
  const void* nul = memchr(path, 0, size_t(cursor.end - path));
  if (!nul) return false;
  entry->path = reinterpret_cast<const char*>(path);
  entry->body = static_cast<const uint8_t*>(nul) + 1;
  return true;
}

bool ReadEntryBody(const uint8_t* end, EntryView* entry) {
  if (entry->body == end) return false;
  entry->newFile = *entry->body == kBodyNewFile;
  entry->copyEnd = 0;
  if (entry->newFile) {
    const uint8_t* at = entry->body + 1;
    if (size_t(end - at) < 4) return false;
    entry->size = ReadLe32(at);
    entry->data = at + 4;
    if (size_t(end - entry->data) < entry->size) return false;
    entry->next = entry->data + entry->size;
    return true;
  }
  entry->data = nullptr;
  entry->size = 0;
  OpWalk walk = {entry->body, end, nullptr, kNoFile, 0};
  if (WalkOps(&walk) != kWalkDone) return false;
  entry->copyEnd = walk.copyEnd;
  entry->next = walk.at;
  return true;
}

// The first backslash of `p` that is a character of its own, or null.
const char* FindSeparator(const char* p) {
  for (; *p != 0; p = NextChar(p))
    if (*p == '\\') return p;
  return nullptr;
}

// The stored path without its leading backslash, or null unless every backslash-separated
// component is a plain name that stays inside the directory it is joined to.
const char* RelativePath(const char* stored) {
  const char* relative = stored[0] == '\\' ? stored + 1 : stored;
  for (const char* p = relative;;) {
    const char* separator = FindSeparator(p);
    size_t length = separator ? size_t(separator - p) : strlen(p);
    if (!IsSafeComponent(p, length)) return nullptr;
    if (!separator) return relative;
    p = separator + 1;
  }
}

// A stored path is joined to DestinationDir with exactly one separator whether or not it
// starts with a backslash, so that a path without one still lands inside DestinationDir.
bool FormPaths(const ApplyContext& context, const char* stored, EntryPaths* paths) {
  const char* relative = RelativePath(stored);
  return relative && JoinPath(context.destinationDir, relative, paths->target) &&
         JoinPath(context.backupDir, relative, paths->backup);
}

// ---- File effects -------------------------------------------------------------------------

bool WriteAndClose(FsFile file, const uint8_t* data, uint32_t size) {
  bool written = size == 0 || FsWrite(file, data, size);
  return FsClose(file) && written;
}

// Copies the target into BackupDir. A backup copy already there was taken by an earlier entry
// of this run for the same file and holds the content from before the run, which a rollback
// must restore, so it is kept rather than replaced. False when there is no backup copy.
bool BackUp(const EntryPaths& paths) {
  FsMakeParentDirs(paths.backup);
  FsError copied = FsCopyFile(paths.target, paths.backup, false);
  return copied == kFsOk || copied == kFsExists;
}

// Puts the backup copy back in place of a target that was deleted or emptied. When even that
// fails, the old content survives only in BackupDir: kRestoreFailed makes the run roll back.
EntryResult RestoreFromBackup(const EntryPaths& paths, EntryResult ifRestored) {
  return FsCopyFile(paths.backup, paths.target, true) == kFsOk ? ifRestored : kRestoreFailed;
}

EntryResult ApplyNewFile(const EntryView& entry, const EntryPaths& paths) {
  FsError error;
  FsFile file = FsOpen(paths.target, kFsCreateNew, &error);
  if (file != kNoFile) {
    if (WriteAndClose(file, entry.data, entry.size)) return kInstalled;
    // A new file whose data could not be written in full (a full disk) is removed again: the
    // entry leaves nothing behind and reports the failed write as a failed rebuild does.
    FsDeleteFile(paths.target);
    return kUpdatedCrcError;
  }
  // Only a file that exists is overwritten; any other failure to create (a directory that
  // could not be made, no access) writes nothing.
  if (error != kFsExists) return kAccessDenied;
  // Without a backup copy the old content could not be restored: leave the file alone.
  if (!BackUp(paths)) return kReplaceDenied;
  file = FsOpen(paths.target, kFsTruncateExisting, nullptr);
  // The target cannot be opened for writing: it is unchanged, like an update entry's file
  // that cannot be opened. Its backup copy stays, identical to it.
  if (file == kNoFile) return kAccessDenied;
  if (WriteAndClose(file, entry.data, entry.size)) return kOverwritten;
  // The target is now partly written: its old content comes back from the backup copy.
  return RestoreFromBackup(paths, kUpdatedCrcError);
}

// Writes the rebuilt content into a new temporary file in DestinationDir. kUpdated with the
// file closed and its path in `temp`; otherwise no temporary file is left.
EntryResult Rebuild(const char* destinationDir, const EntryView& entry, const FsView& old,
                    char* temp) {
  // A failure to create or write the temporary file counts as a failed rebuild. The empty file
  // that reserves the name is opened as it is, rather than deleted and created anew, so that
  // no other process can take the name in between.
  if (!FsReserveTempName(destinationDir, kTempFilePrefix, temp)) return kUpdatedCrcError;
  FsFile out = FsOpen(temp, kFsCreateAlways, nullptr);
  if (out == kNoFile) {
    FsDeleteFile(temp);
    return kUpdatedCrcError;
  }
  OpWalk walk = {entry.body, entry.next, &old, out, 0};
  WalkStatus status = WalkOps(&walk);
  bool closed = FsClose(out);
  if (status == kWalkDone && closed) return kUpdated;
  FsDeleteFile(temp);
  return status == kWalkBad ? kDataError : kUpdatedCrcError;
}

// Backs up the old file, deletes it and moves the checked temporary file into its place.
EntryResult ReplaceWithRebuilt(const char* temp, const EntryPaths& paths) {
  FsSetNormalAttributes(paths.target);
  EntryResult result = kReplaceDenied;
  if (BackUp(paths) && FsDeleteFile(paths.target) == kFsOk) {
    if (FsMoveFile(temp, paths.target) == kFsOk) return kUpdated;
    // The old file is gone but the move failed (the target on another volume, its name still
    // held by a process that had it open with delete sharing). Copying the checked content
    // still completes the update; failing that, the old content comes back from the backup.
    if (FsCopyFile(temp, paths.target, false) == kFsOk)
      result = kUpdated;
    else
      result = RestoreFromBackup(paths, kReplaceDenied);
  }
  FsDeleteFile(temp);
  return result;
}

EntryResult ApplyUpdate(const ApplyContext& context, const EntryView& entry,
                        const EntryPaths& paths) {
  FsError error;
  FsFile old = FsOpen(paths.target, kFsUpdateExclusive, &error);
  if (old == kNoFile) return error == kFsNotFound ? kOriginalMissing : kAccessDenied;
  // One mapping serves the CRC check and the copies. An old file that cannot be mapped cannot
  // be read, so it counts as one that cannot be opened.
  FsView view;
  EntryResult result = kAccessDenied;
  PathBuffer temp;
  if (FsMap(old, &view)) {
    uint32_t crc = CrcBytes(view.data, view.size);
    if (crc != entry.crcOriginal)
      result = crc == entry.crcUpdated ? kAlreadyUpdated : kOriginalCrcError;
    else if (entry.copyEnd > view.size)
      result = kDataError;
    else
      result = Rebuild(context.destinationDir, entry, view, temp);
    FsUnmap(&view);
  }
  FsClose(old);
  if (result != kUpdated) return result;
  uint32_t crc;
  if (!TryCrcOfFile(temp, &crc) || crc != entry.crcUpdated) {
    FsDeleteFile(temp);
    return kUpdatedCrcError;
  }
  return ReplaceWithRebuilt(temp, paths);
}

}  // namespace

bool BeginScript(const uint8_t* script, size_t size, uint32_t* count, ScriptCursor* cursor) {
  if (size < 4) return false;
  *count = ReadLe32(script) & kEntryCountMask;
  cursor->at = script + 4;
  cursor->end = script + size;
  return true;
}

EntryResult ApplyEntry(const ApplyContext& context, ScriptCursor* cursor, const char** path) {
  if (path) *path = nullptr;
  EntryView entry;
  if (!ReadEntryHead(*cursor, &entry)) return kDataError;
  if (path) *path = entry.path;
  if (context.observer.entryStarted)
    context.observer.entryStarted(context.observer.context, entry.path);
  EntryPaths paths;
  if (!ReadEntryBody(cursor->end, &entry) || !FormPaths(context, entry.path, &paths))
    return kDataError;
  // The file's directory is made for every entry, also one that is skipped afterwards.
  FsMakeParentDirs(paths.target);
  EntryResult result =
      entry.newFile ? ApplyNewFile(entry, paths) : ApplyUpdate(context, entry, paths);
  if (result != kDataError) cursor->at = entry.next;
  return result;
}

bool SkipEntry(ScriptCursor* cursor, const char** path) {
  EntryView entry;
  if (path) *path = nullptr;
  if (!ReadEntryHead(*cursor, &entry)) return false;
  if (path) *path = entry.path;
  if (!ReadEntryBody(cursor->end, &entry) || !RelativePath(entry.path)) return false;
  cursor->at = entry.next;
  return true;
}

}  // namespace vt
