// A run's BackupDir with its private folder and journal; the repair of those that interrupted
// runs left behind.
#include "patch/run_folder.h"

#include <string.h>

#include "format/ansi_chars.h"
#include "format/name_rules.h"
#include "patch/dir_tree.h"
#include "patch/result_log.h"

namespace vt {
namespace {

typedef char PathBuffer[kMaxPath + 1];

const char kJournalName[] = "Vantrel.jnl";
// The journal's first line. A run whose names the file layer converts (the native tool with a
// code page) adds the conversion's tag as the second line, since the names are found again
// only under it. Each file on its way into the BackupDir adds a line (a backslash and its path
// relative to DestinationDir), and a run that keeps its result the line "kept".
// The first form of the journal, "Vantrel run journal" alone, named no file: a BackupDir that
// holds one is not taken for a run's own, since only its journal may say what goes back.
const char kJournalSignature[] = "Vantrel run journal 2\r\n";
// Written over the signature of a journal that led to a link or a refused path.
const char kSetAsideSignature[] = "Vantrel run set aside\r\n";
const char kKeptLine[] = "kept\r\n";
const char kLineEnd[] = "\r\n";
const size_t kSignatureLength = sizeof kJournalSignature - 1;
static_assert(sizeof kSetAsideSignature == sizeof kJournalSignature, "same length");

// The private folder and the journal path of the BackupDir `backupDir`.
bool FormPrivatePaths(const char* backupDir, char* privateDir, char* journal) {
  return JoinPath(backupDir, FileNamePart(backupDir), privateDir) &&
         JoinPath(privateDir, kJournalName, journal);
}

// Everything but the journal first, so that the BackupDir stays recognisable to the end; the
// backups only with `backups`: without, a backup still there keeps the BackupDir. True when the
// BackupDir is gone.
bool RemoveFolders(const char* backupDir, const char* privateDir, const char* journal,
                   bool backups = true) {
  RemoveEntries(backupDir, FileNamePart(privateDir), backups);
  RemoveEntries(privateDir, kJournalName);
  FsDeleteFile(journal);
  FsRemoveDir(privateDir);
  return FsRemoveDir(backupDir);
}

void IgnoreEntry(void*, const char*, FsEntryKind) {}

// Puts back the file that the journal line `line` names (a backslash and its path below
// DestinationDir): from the BackupDir to its place in DestinationDir, whatever the attributes
// of a file found there, by a rename over it or, where that is refused, by a copy. Its path
// must pass the rules of an entry's path, not be the ResultLog's, and lead through no link on
// either side; the backup must be a plain file. Returns the log message for the line: none (0)
// when there is no backup (the move never happened), kLogRestoredId, kLogNotRestoredId when
// refused, kLogBackupKeptId when the file could not be put back.
uint32_t RestoreLine(const char* destinationDir, const char* backupDir, const char* line) {
  PathBuffer target, backup;
  const char* relative = line + 1;
  const size_t root = strlen(destinationDir);
  if (line[0] != '\\' || !IsSafeRelativePath(relative) ||
      SameFileName(relative, kResultLogName) ||
      !JoinPath(destinationDir, relative, target) || !JoinPath(backupDir, relative, backup) ||
      FsPathHasLink(target, root) || FsPathHasLink(backup, root))
    return kLogNotRestoredId;
  FsError error;
  FsFile file = FsOpen(backup, kFsReadShared, &error);
  if (file == kNoFile) return error == kFsNotFound ? 0 : kLogNotRestoredId;
  FsClose(file);
  // A file in DestinationDir may be read-only or hidden now, which neither a rename nor a copy
  // may replace on Windows: it is made plain first. The rename takes the backup's own
  // attributes back with it; so does the copy, the second choice, for a file held open with
  // write sharing.
  if (!FsMakeParentDirs(target)) return kLogNotRestoredId;
  FsSetNormalAttributes(target);
  if (FsReplaceFile(backup, target) == kFsOk) return kLogRestoredId;
  // A copy leaves the backup where it was: now the same as the file at its path, it goes.
  if (FsCopyFile(backup, target, true) == kFsOk) {
    FsDiscardFile(backup);
    return kLogRestoredId;
  }
  // A folder in the file's place never goes away by waiting.
  return FsForEachEntry(target, IgnoreEntry, nullptr) ? kLogNotRestoredId : kLogBackupKeptId;
}

}  // namespace

FolderRepair RepairRunFolder(const char* destinationDir, const char* name,
                             const RepairReport& report) {
  PathBuffer backupDir, privateDir, journalPath;
  if (!JoinPath(destinationDir, name, backupDir) ||
      !FormPrivatePaths(backupDir, privateDir, journalPath))
    return kNotARunFolder;
  // Our runs make no link there: whatever it leads to is not theirs to touch.
  if (FsPathHasLink(journalPath, strlen(destinationDir))) {
    report.repaired(report.context, name, kLogNotRestoredId);
    return kSetAside;
  }
  // Held by a run that still lives, or no journal at all: not a trace to repair. The journal
  // stays held while the files go back, so that no other run repairs the same BackupDir at the
  // same time.
  // A journal with another name elsewhere is none of ours: a mark written into it would reach
  // that name's file.
  FsFile journal = FsOpen(journalPath, kFsUpdateSoleLink, nullptr);
  if (journal == kNoFile) return kNotARunFolder;
  FsView view;
  if (!FsMap(journal, &view) || view.size < kSignatureLength ||
      memcmp(view.data, kJournalSignature, kSignatureLength) != 0) {
    if (view.size != 0) FsUnmap(&view);
    FsClose(journal);
    return kNotARunFolder;
  }
  const char* line = reinterpret_cast<const char*>(view.data) + kSignatureLength;
  const char* const end = reinterpret_cast<const char*>(view.data) + view.size;
  // Names recorded under another conversion than this run's lead nowhere: the folder waits,
  // untouched, for a run under the journal's own.
  if (!FsTakeNameTag(&line, end)) {
    FsUnmap(&view);
    FsClose(journal);
    report.repaired(report.context, name, kLogBackupKeptId);
    return kFilesHeld;
  }
  // "kept" is the journal's last line when it is there: nothing moves after the decision.
  const size_t keptLength = sizeof kKeptLine - 1;
  const bool kept = size_t(end - line) >= keptLength && end[-1 - int(keptLength)] == '\n' &&
                    memcmp(end - keptLength, kKeptLine, keptLength) == 0;
  uint32_t folderId = kLogTraceRemovedId;
  // Only lines ended in full count: the one a kill cut short named a file that had not moved.
  for (const char* stop; !kept && (stop = static_cast<const char*>(
                                       memchr(line, '\n', size_t(end - line)))) != nullptr;
       line = stop + 1) {
    const size_t length = size_t(stop - line) - (stop > line && stop[-1] == '\r');
    PathBuffer text;
    const size_t shown = length < kMaxPath ? length : kMaxPath;
    memcpy(text, line, shown);
    text[shown] = 0;
    const uint32_t id =
        length > kMaxPath ? kLogNotRestoredId : RestoreLine(destinationDir, backupDir, text);
    // A file held is named once, by its folder; a refusal marks the folder too.
    if (id == kLogBackupKeptId || (id == kLogNotRestoredId && folderId != kLogBackupKeptId))
      folderId = id;
    if (id == kLogRestoredId || id == kLogNotRestoredId) report.repaired(report.context, text, id);
  }
  FsUnmap(&view);
  if (folderId == kLogNotRestoredId) FsWrite(journal, kSetAsideSignature, kSignatureLength);
  FsClose(journal);
  // What stays (a name too long to reach, a file held) is no longer a run's: its journal went.
  // A backup still there once every line went back went back under no line: it may be the only
  // copy of its file, and stays with the folder.
  const bool setAside = folderId == kLogNotRestoredId ||
                        (folderId == kLogTraceRemovedId &&
                         !RemoveFolders(backupDir, privateDir, journalPath, kept));
  if (setAside && folderId == kLogTraceRemovedId)
    folderId = kept ? kLogNotRestoredId : kLogBackupKeptId;
  report.repaired(report.context, name, folderId);
  return setAside                         ? kSetAside
         : folderId == kLogBackupKeptId    ? kFilesHeld
                                          : kRepaired;
}

namespace {

struct Repair {
  const char* destinationDir;
  const RepairReport* report;
  bool complete;
};

// Repairs DestinationDir\`name` when it is an interrupted run's BackupDir.
void RepairIfInterrupted(void* context, const char* name, FsEntryKind kind) {
  Repair* repair = static_cast<Repair*>(context);
  if (kind != kFsEntryDir || memcmp(name, kBackupDirPrefix, 3) != 0) return;
  if (RepairRunFolder(repair->destinationDir, name, *repair->report) == kFilesHeld)
    repair->complete = false;
}

}  // namespace

bool RunFolderFits(const char* backupDir) {
  PathBuffer privateDir, journal;
  // A temporary name: "PCH", up to four hexadecimal digits, ".tmp".
  return FormPrivatePaths(backupDir, privateDir, journal) && strlen(privateDir) + 12 <= kMaxPath;
}

namespace {

// One write per line, so that a kill leaves it whole or without its line end.
bool WriteJournalLine(const RunFolder& folder, const char* lead, const char* text) {
  char line[kMaxPath + 4];
  const size_t leadLength = strlen(lead), length = strlen(text);
  if (leadLength + length > kMaxPath + 1) return false;
  memcpy(line, lead, leadLength);
  memcpy(line + leadLength, text, length);
  memcpy(line + leadLength + length, kLineEnd, 2);
  return FsWrite(folder.journal, line, uint32_t(leadLength + length + 2));
}

}  // namespace

bool OpenRunFolder(const char* backupDir, RunFolder* folder) {
  folder->journal = kNoFile;
  PathBuffer journal;
  size_t length = strlen(backupDir);
  if (length > kMaxPath || !FormPrivatePaths(backupDir, folder->privateDir, journal)) return false;
  memcpy(folder->backupDir, backupDir, length + 1);
  if (!FsMakeDir(folder->privateDir)) return false;
  folder->journal = FsOpen(journal, kFsCreateNew, nullptr);
  if (folder->journal != kNoFile && FsWrite(folder->journal, kJournalSignature, kSignatureLength) &&
      (FsNameTag()[0] == 0 || WriteJournalLine(*folder, "", FsNameTag())))
    return true;
  if (folder->journal != kNoFile) FsClose(folder->journal);
  folder->journal = kNoFile;
  FsDeleteFile(journal);
  FsRemoveDir(folder->privateDir);
  return false;
}

bool RecordBackup(void* folder, const char* relative) {
  return WriteJournalLine(*static_cast<const RunFolder*>(folder), "\\", relative);
}

// The line and its end in one write, as WriteJournalLine writes each line.
void MarkRunKept(RunFolder* folder) { FsWrite(folder->journal, kKeptLine, sizeof kKeptLine - 1); }

bool RemoveRunFolder(RunFolder* folder) {
  CloseRunFolder(folder);
  PathBuffer journal;
  JoinPath(folder->privateDir, kJournalName, journal);
  return RemoveFolders(folder->backupDir, folder->privateDir, journal);
}

void CloseRunFolder(RunFolder* folder) {
  if (folder->journal != kNoFile) FsClose(folder->journal);
  folder->journal = kNoFile;
}

const char* PrivateFolderName(const RunFolder& folder) {
  return FileNamePart(folder.privateDir);
}

bool RepairInterruptedRuns(const char* destinationDir, const RepairReport& report) {
  Repair repair = {destinationDir, &report, true};
  FsForEachEntry(destinationDir, RepairIfInterrupted, &repair);
  return repair.complete;
}

}  // namespace vt
