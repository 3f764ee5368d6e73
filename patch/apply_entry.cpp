// Applying one patch script entry: a new file written, or an old file rebuilt from copy, insert
// and add operations, each into a temporary file that then takes the target's place; an old
// file is checked by CRC before anything takes its place, and backed up on the way out.
#include "patch/apply_entry.h"

#include <string.h>

#include "format/ansi_chars.h"
#include "format/name_rules.h"
#include "patch/dir_tree.h"
#include "patch/fs.h"
#include "patch/rebuild_io.h"

namespace vt {
namespace {

typedef char PathBuffer[kMaxPath + 1];

// ---- The script's window -------------------------------------------------------------------

// How many bytes from the cursor on the window holds, once it holds at least `n` of them (at
// most the window's capacity) where the script has them: a window read from the file that holds
// fewer is read again from the cursor, as far as the file and the buffer go.
uint32_t Fill(ScriptWindow* cursor, uint32_t n) {
  uint32_t into = cursor->at - cursor->start;
  if ((into > cursor->held || cursor->held - into < n) && cursor->file != kNoFile) {
    into = 0;
    cursor->start = cursor->at;
    cursor->held = FsReadAt(cursor->file, cursor->at, const_cast<uint8_t*>(cursor->window),
                            cursor->capacity);
  }
  return cursor->held - into;
}

// The byte at the cursor, which the window holds.
const uint8_t* Here(const ScriptWindow& cursor) {
  return cursor.window + (cursor.at - cursor.start);
}

// Moves past `n` bytes unread; false when the script ends before them.
bool Skip(ScriptWindow* cursor, uint32_t n) {
  if (n > cursor->size - cursor->at) return false;
  cursor->at += n;
  return true;
}

bool TakeLe32(ScriptWindow* cursor, uint32_t* value) {
  if (Fill(cursor, 4) < 4) return false;
  *value = ReadLe32(Here(*cursor));
  cursor->at += 4;
  return true;
}

// Locates the add and literal streams of split bodies from the script's last eight bytes, once:
// each must lie within the script before them.
bool FindStreams(ScriptCursor* cursor) {
  // Found already: the literal stream ends where the trailer starts, never at 0.
  if (cursor->literals.size != 0) return true;
  ScriptWindow* literals = &cursor->literals;
  uint32_t addBytes, literalBytes;
  // The script holds more than a trailer: its count, an entry's header and path, this body.
  const uint32_t end = literals->at = cursor->size - kSplitTrailerSize;
  if (!TakeLe32(literals, &addBytes) || !TakeLe32(literals, &literalBytes) ||
      literalBytes > end || addBytes > end - literalBytes)
    return false;
  literals->size = end;
  cursor->adds.size = literals->at = end - literalBytes;
  cursor->adds.at = literals->at - addBytes;
  return true;
}

// One entry, located and checked in the script before anything touches the disk.
struct EntryView {
  uint32_t crcOriginal;
  uint32_t crcUpdated;
  const char* path;  // as stored, NUL-terminated in the cursor
  const char* source;  // a body from another file: its path as stored, in the cursor; else null
  uint32_t start;    // the entry's offset in the script
  uint32_t body;     // the offset of the byte after the path's NUL, or a split body's first op
  bool newFile;
  bool split;        // a split body: its bytes from the streams, from these offsets on, up to
  uint32_t adds;     // where the next entry's start
  uint32_t literals;
  uint32_t addsNext;
  uint32_t literalsNext;
  uint32_t data;      // new file: its content's offset
  uint32_t size;      // new file: its content's; update: the rebuilt file's (low 32 bits)
  uint64_t copyEnd;   // update: the furthest old-file byte that a copy reads
  uint32_t next;      // the next entry's offset
  bool usesAdd;       // update: the body holds an add operation
};

struct EntryPaths {
  PathBuffer target;
  PathBuffer backup;
  PathBuffer source;  // a body from another file: the file its copies and adds read
  const char* relative;  // the stored path without its leading backslash
};

// ---- Operations of an update body ---------------------------------------------------------

// kWalkWriteFailed: the rebuilt file could not be written, or the old one or the script read.
enum WalkStatus { kWalkOn, kWalkDone, kWalkBad, kWalkWriteFailed };

// The same walk checks a body (no old file, nothing written, operands only skipped) and
// rebuilds from it, operands passed on a piece at a time.
struct OpWalk {
  ScriptWindow* script;
  ScriptWindow* adds;      // where an add's bytes come from: the script, or a split body's stream
  ScriptWindow* literals;  // and an insert's
  const OldContent* old;  // null while checking
  NewContent* out;
  uint64_t copyEnd;
  bool usesAdd;
  uint32_t made;  // the rebuilt file's size so far (low 32 bits)

};

// The length and offset of a copy or an add, whose end a rebuild must find in the old file.
WalkStatus TakeSpan(OpWalk* walk, uint32_t* length, uint32_t* offset) {
  if (!TakeLe32(walk->script, length) || !TakeLe32(walk->script, offset)) return kWalkBad;
  // A split body's copies and adds hold their offsets less the place in the new file where they
  // start, which stays the same along code that only moved; other bodies hold them whole.
  if (walk->adds != walk->script) *offset += walk->made;
  uint64_t stop = uint64_t(*offset) + *length;
  if (stop > walk->copyEnd) walk->copyEnd = stop;
  return walk->old && stop > walk->old->view.size ? kWalkBad : kWalkOn;
}

WalkStatus OpCopy(OpWalk* walk) {
  uint32_t length, offset;
  if (TakeSpan(walk, &length, &offset) != kWalkOn) return kWalkBad;
  walk->made += length;
  if (!walk->old) return kWalkOn;
  return PutOldBytes(walk->out, *walk->old, offset, length) ? kWalkOn : kWalkWriteFailed;
}

// Passes the next `length` bytes of the script to `out` a piece at a time: as they are, or,
// with `old`, added to the old file's bytes from `offset`. kWalkWriteFailed also when the
// script, checked to hold them, cannot be read.
WalkStatus PassBytes(ScriptWindow* script, NewContent* out, const OldContent* old,
                     uint32_t offset, uint32_t length) {
  while (length != 0) {
    uint32_t n = Fill(script, 1);
    if (n > length) n = length;
    if (n == 0) return kWalkWriteFailed;
    const uint8_t* bytes = Here(*script);
    if (old ? !PutOldSums(out, *old, offset, n, bytes) : !PutBytes(out, bytes, n))
      return kWalkWriteFailed;
    script->at += n;
    offset += n;
    length -= n;
  }
  return kWalkOn;
}

// An operand of `length` bytes from `from`: skipped while checking, else passed on as
// PassBytes does.
WalkStatus PassOperand(OpWalk* walk, ScriptWindow* from, uint32_t length, const OldContent* old,
                       uint32_t offset) {
  walk->made += length;
  if (!walk->old) return Skip(from, length) ? kWalkOn : kWalkBad;
  return PassBytes(from, walk->out, old, offset, length);
}

WalkStatus OpInsert(OpWalk* walk) {
  uint32_t length;
  if (!TakeLe32(walk->script, &length)) return kWalkBad;
  return PassOperand(walk, walk->literals, length, nullptr, 0);
}

WalkStatus OpAdd(OpWalk* walk) {
  uint32_t length, offset;
  walk->usesAdd = true;
  if (TakeSpan(walk, &length, &offset) != kWalkOn) return kWalkBad;
  return PassOperand(walk, walk->adds, length, walk->old, offset);
}

WalkStatus WalkOps(OpWalk* walk) {
  for (;;) {
    if (Fill(walk->script, 1) == 0) return kWalkBad;
    uint8_t op = *Here(*walk->script);
    ++walk->script->at;
    WalkStatus status;
    // kBodyNewFile marks a new-file body, never an operation.
    switch (op) {
      case kOpEnd:
        return kWalkDone;
      case kOpCopy:
        status = OpCopy(walk);
        break;
      case kOpInsert:
        status = OpInsert(walk);
        break;
      case kOpAdd:
        status = OpAdd(walk);
        break;
      default:
        return kWalkBad;
    }
    if (status != kWalkOn) return status;
  }
}

// ---- Reading an entry ---------------------------------------------------------------------

// A path that must end within kMaxPath characters, copied into `into`, as the window may move
// on before it is used; the cursor is then past its NUL.
bool TakePath(ScriptWindow* cursor, char* into) {
  const uint32_t held = Fill(cursor, kMaxPath + 1);
  const uint8_t* at = Here(*cursor);
  for (uint32_t i = 0; i <= kMaxPath && i < held; ++i) {
    if ((into[i] = char(at[i])) == 0) {
      cursor->at += i + 1;
      return true;
    }
  }
  return false;
}

// The header and the path, copied into the cursor.
bool ReadEntryHead(ScriptCursor* cursor, EntryView* entry) {
  entry->start = cursor->at;
  if (Fill(cursor, kEntryHeadWindow) < kEntryHeaderSize) return false;
  const uint8_t* head = Here(*cursor);
  entry->crcOriginal = ReadLe32(head);
  entry->crcUpdated = ReadLe32(head + 4);
  cursor->at += kEntryHeaderSize;
  if (!TakePath(cursor, cursor->path)) return false;
  entry->path = cursor->path;
  entry->body = cursor->at;
  return true;
}

// The body from the cursor on, checked; the cursor is then at the next entry.
bool ReadEntryBody(ScriptCursor* cursor, EntryView* entry) {
  if (Fill(cursor, 1) == 0) return false;
  uint8_t first = *Here(*cursor);
  entry->source = nullptr;
  if (first == kBodyFrom) {
    ++cursor->at;
    if (!TakePath(cursor, cursor->source) || Fill(cursor, 1) == 0) return false;
    entry->source = cursor->source;
    entry->body = cursor->at;
    // What follows is an update's body: a new-file body here is no operation.
    first = *Here(*cursor);
    if (first == kBodyNewFile) return false;
  }
  entry->newFile = first == kBodyNewFile;
  entry->split = first == kBodySplit;
  entry->copyEnd = 0;
  entry->usesAdd = false;
  if (entry->newFile) {
    ++cursor->at;
    if (!TakeLe32(cursor, &entry->size)) return false;
    entry->data = cursor->at;
    if (!Skip(cursor, entry->size)) return false;
  } else {
    OpWalk walk = {cursor, cursor, cursor, nullptr, nullptr, 0, false, 0};
    if (entry->split) {
      entry->body = ++cursor->at;
      if (!FindStreams(cursor)) return false;
      entry->adds = (walk.adds = &cursor->adds)->at;
      entry->literals = (walk.literals = &cursor->literals)->at;
    }
    if (WalkOps(&walk) != kWalkDone) return false;
    entry->addsNext = cursor->adds.at;
    entry->literalsNext = cursor->literals.at;
    entry->size = walk.made;
    entry->copyEnd = walk.copyEnd;
    entry->usesAdd = walk.usesAdd;
  }
  entry->next = cursor->at;
  return true;
}

// The stored path without its leading backslash, or null unless every backslash-separated
// component is a plain name that stays inside the directory it is joined to.
const char* RelativePath(const char* stored) {
  const char* relative = stored[0] == '\\' ? stored + 1 : stored;
  return IsSafeRelativePath(relative) ? relative : nullptr;
}

// A stored path is joined to DestinationDir with exactly one separator whether or not it
// starts with a backslash, so that a path without one still lands inside DestinationDir.
bool FormPaths(const ApplyContext& context, const EntryView& entry, EntryPaths* paths) {
  const char* relative = paths->relative = RelativePath(entry.path);
  const char* source = entry.source ? RelativePath(entry.source) : relative;
  return relative && source && JoinPath(context.destinationDir, relative, paths->target) &&
         JoinPath(context.backupDir, relative, paths->backup) &&
         JoinPath(context.destinationDir, source, paths->source);
}

// ---- File effects -------------------------------------------------------------------------

// A new temporary file in the run's folder for them, open for writing; kNoFile, with nothing
// left behind, when that fails.
FsFile CreateTemp(const ApplyContext& context, char* temp) {
  return FsCreateTemp(context.tempDir ? context.tempDir : context.destinationDir, kTempFilePrefix,
                      temp);
}

// Puts the checked temporary file in place of the target, which exists, and backs the old
// file up: it is renamed into BackupDir, which costs no copy and keeps its attributes for a
// rollback. For a moment the target's name is then free; the old file is in BackupDir, where a
// rollback, or the repair by a later run of one that was killed there, finds it. An old file
// that an earlier entry of this run backed up already keeps that first backup, the content
// from before the run, and is replaced in one step. The temporary file is gone afterwards.
// The run's journal learns of the move before it happens, so that the repair of a run killed
// in between finds every backup; without that note the old file stays where it is.
EntryResult PutInPlace(const ApplyContext& context, const char* temp, const EntryPaths& paths,
                       EntryResult success) {
  EntryResult result = kReplaceDenied;
  const BackupObserver& journal = context.backingUp;
  if (!FsMakeParentDirs(paths.backup) ||
      (journal.backingUp && !journal.backingUp(journal.context, paths.relative))) {
    FsDeleteFile(temp);
    return result;
  }
  FsError moved = FsMoveFile(paths.target, paths.backup);
  if (moved == kFsOk) {
    if (FsMoveFile(temp, paths.target) == kFsOk) return success;
    // The old file goes back; failing that, its content lives only in BackupDir, and
    // kRestoreFailed makes the run roll back to keep it.
    result = FsMoveFile(paths.backup, paths.target) == kFsOk ? kReplaceDenied : kRestoreFailed;
  } else if (moved == kFsExists || FsCopyFile(paths.target, paths.backup, false) == kFsOk) {
    // Backed up already, or copied where renaming was refused (a file held open by another
    // process with sharing, which then refuses the replace too).
    if (FsReplaceFile(temp, paths.target) == kFsOk) return success;
  }
  FsDeleteFile(temp);
  return result;
}

// Puts the checked temporary file of a new file at the target: made, or overwritten where a
// file exists. The temporary file is gone afterwards.
EntryResult PlaceNew(const ApplyContext& context, const char* temp, const EntryPaths& paths) {
  FsError error = FsMoveFile(temp, paths.target);
  if (error == kFsOk) return kInstalled;
  // Only a file that exists is overwritten, and only one that could be opened for writing;
  // any other failure (a directory that could not be made, no access) changes nothing.
  if (error == kFsExists) {
    FsFile existing = FsOpen(paths.target, kFsUpdateExclusive, nullptr);
    if (existing != kNoFile) {
      FsClose(existing);
      return PutInPlace(context, temp, paths, kOverwritten);
    }
  }
  FsDeleteFile(temp);
  return kAccessDenied;
}

EntryResult ApplyNewFile(const ApplyContext& context, ScriptCursor* script,
                         const EntryView& entry, const EntryPaths& paths) {
  // The data goes into a temporary file first, so that no reader and no interruption ever
  // sees the target partly written.
  PathBuffer temp;
  FsFile out = CreateTemp(context, temp);
  if (out == kNoFile) return kUpdatedCrcError;
  script->at = entry.data;
  NewContent content;
  bool written = BeginNewContent(out, &content);
  if (written) {
    written = PassBytes(script, &content, nullptr, 0, entry.size) == kWalkOn;
    written = EndNewContent(&content) && written;
  }
  if (!FsClose(out) || !written) {
    // A full disk, or a script that can no longer be read: the entry leaves nothing behind
    // and reports the failed write as a failed rebuild does.
    FsDeleteFile(temp);
    return kUpdatedCrcError;
  }
  return PlaceNew(context, temp, paths);
}

// Writes the rebuilt content into a new temporary file, computing its CRC from the bytes as
// they are written. kUpdated with the file closed, its path in `temp` and its CRC in `crc`;
// otherwise no temporary file is left.
EntryResult Rebuild(const ApplyContext& context, ScriptCursor* script, const EntryView& entry,
                    const OldContent& old, char* temp, uint32_t* crc) {
  // A failure to create or write the temporary file counts as a failed rebuild.
  FsFile file = CreateTemp(context, temp);
  if (file == kNoFile) return kUpdatedCrcError;
  NewContent out;
  WalkStatus status = kWalkWriteFailed;
  if (BeginNewContent(file, &out)) {
    script->at = entry.body;
    OpWalk walk = {script, script, script, &old, &out, 0, false, 0};
    if (entry.split) {
      (walk.adds = &script->adds)->at = entry.adds;
      (walk.literals = &script->literals)->at = entry.literals;
    }
    status = WalkOps(&walk);
    // Where the check left them, also when the rebuild failed part way.
    script->adds.at = entry.addsNext;
    script->literals.at = entry.literalsNext;
    if (!EndNewContent(&out) && status == kWalkDone) status = kWalkWriteFailed;
  }
  bool closed = FsClose(file);
  *crc = out.crc;
  if (status == kWalkDone && closed) return kUpdated;
  FsDeleteFile(temp);
  return status == kWalkBad ? kDataError : kUpdatedCrcError;
}

// An update entry, or one from another file: that file is only read, and stays as it is, and
// the entry's file is placed as a new file is.
EntryResult ApplyUpdate(const ApplyContext& context, ScriptCursor* script,
                        const EntryView& entry, const EntryPaths& paths) {
  const bool from = entry.source != nullptr;
  FsError error = kFsFailed;
  // A link among the other file's folders would have the entry read outside DestinationDir.
  FsFile old = from && FsPathHasLink(paths.source, strlen(context.destinationDir))
                   ? kNoFile
                   : FsOpen(paths.source, from ? kFsReadShared : kFsUpdateExclusive, &error);
  // The other file, missing or not, has to be there as a plain file that can be read.
  if (old == kNoFile) return error == kFsNotFound || from ? kOriginalMissing : kAccessDenied;
  // An old file that cannot be read counts as one that cannot be opened.
  OldContent content;
  EntryResult result = kAccessDenied;
  PathBuffer temp;
  uint32_t crc = 0;
  if (ReadOldContent(old, &content, entry.crcOriginal)) {
    const uint32_t size = content.view.size;
    const bool inside = entry.copyEnd <= size;
    // A file that is not checked yet is checked while the copies read it, which a mismatch
    // found on the way stops; their file is deleted below unless the check passes. Except one
    // as long as the rebuilt file: it may be that file already (a second run), and is checked
    // first, so that nothing is rebuilt in vain.
    const bool early = !content.checked && inside && size != entry.size;
    if (early) result = Rebuild(context, script, entry, content, temp, &crc);
    EntryResult check = kUpdated;
    if (!FinishOldCheck(&content))
      check = kAccessDenied;
    else if (content.crc != entry.crcOriginal)
      check = content.crc == entry.crcUpdated && !from ? kAlreadyUpdated : kOriginalCrcError;
    else if (!inside)
      check = kDataError;
    if (check != kUpdated) {
      if (early && result == kUpdated) FsDeleteFile(temp);
      result = check;
    } else if (!early) {
      result = Rebuild(context, script, entry, content, temp, &crc);
    }
    ReleaseOldContent(&content);
  }
  FsClose(old);
  if (result != kUpdated) return result;
  // The old file is untouched until here, when its replacement has passed the CRC check.
  if (crc != entry.crcUpdated) {
    FsDeleteFile(temp);
    return kUpdatedCrcError;
  }
  return from ? PlaceNew(context, temp, paths) : PutInPlace(context, temp, paths, kUpdated);
}

}  // namespace

namespace {

bool BeginWindows(uint32_t* count, ScriptCursor* cursor) {
  cursor->literals.size = 0;
  if (!TakeLe32(cursor, count)) return false;
  *count &= kEntryCountMask;
  return true;
}

}  // namespace

bool BeginScript(const uint8_t* script, size_t size, uint32_t* count, ScriptCursor* cursor) {
  cursor->window = script;
  cursor->held = cursor->size = uint32_t(size);
  cursor->file = kNoFile;
  cursor->at = cursor->start = 0;
  cursor->adds = cursor->literals = *cursor;
  return BeginWindows(count, cursor);
}

bool BeginScriptFile(FsFile file, uint8_t* window, uint32_t capacity, uint32_t* count,
                     ScriptCursor* cursor) {
  const uint32_t quarter = capacity / 4;
  cursor->size = FsSize(file);
  cursor->file = file;
  cursor->capacity = quarter;
  cursor->at = cursor->start = cursor->held = 0;
  cursor->window = window + 2 * quarter;
  cursor->adds = *cursor;
  cursor->window += quarter;
  cursor->literals = *cursor;
  cursor->window = window;
  cursor->capacity = 2 * quarter;
  return BeginWindows(count, cursor);
}

EntryResult ApplyEntry(const ApplyContext& context, ScriptCursor* cursor, const char** path) {
  if (path) *path = nullptr;
  EntryView entry;
  const bool head = ReadEntryHead(cursor, &entry);
  if (head) {
    if (path) *path = entry.path;
    if (context.observer.entryStarted)
      context.observer.entryStarted(context.observer.context, entry.path);
  }
  EntryPaths paths;
  EntryResult result = kDataError;
  if (head && ReadEntryBody(cursor, &entry) && FormPaths(context, entry, &paths)) {
    // A link in place of the entry's file or folders would take the writes outside
    // DestinationDir: the entry is refused before any folder is made through it.
    result = kAccessDenied;
    // The file's directory is made for every entry, also one that is skipped afterwards.
    if (FsMakeParentDirsUnlessLinked(paths.target, strlen(context.destinationDir))) {
      result = entry.newFile ? ApplyNewFile(context, cursor, entry, paths)
                             : ApplyUpdate(context, cursor, entry, paths);
    }
  }
  cursor->at = result == kDataError ? entry.start : entry.next;
  return result;
}

bool ReadEntry(ScriptCursor* cursor, EntryFacts* facts) {
  EntryView entry;
  facts->path = nullptr;
  bool whole = ReadEntryHead(cursor, &entry);
  if (whole) {
    facts->path = entry.path;
    whole = ReadEntryBody(cursor, &entry) && RelativePath(entry.path) &&
            (!entry.source || RelativePath(entry.source));
  }
  if (whole) {
    facts->newFile = entry.newFile;
    facts->usesAdd = entry.usesAdd;
    facts->split = entry.split;
    facts->source = entry.source;
  }
  cursor->at = whole ? entry.next : entry.start;
  return whole;
}

bool SkipEntry(ScriptCursor* cursor, const char** path, bool* usesAdd) {
  EntryFacts facts;
  const bool whole = ReadEntry(cursor, &facts);
  if (path) *path = facts.path;
  if (whole && usesAdd) *usesAdd = facts.usesAdd;
  return whole;
}

}  // namespace vt
