// A run's BackupDir with its private folder and journal; the repair of those that interrupted
// runs left behind.
#include "patch/run_folder.h"

#include <string.h>

#include "patch/dir_tree.h"
#include "patch/result_log.h"

namespace vt {
namespace {

typedef char PathBuffer[kMaxPath + 1];

const char kJournalName[] = "Vantrel.jnl";
// The journal's first line; the line "kept" may follow it.
const char kJournalSignature[] = "Vantrel run journal\r\n";
const char kKeptLine[] = "kept\r\n";
const size_t kSignatureLength = sizeof kJournalSignature - 1;

const char* LastComponent(const char* path) {
  const char* name = path;
  for (const char* p = path; *p != 0; ++p)
    if ((*p == '\\' || *p == '/') && p[1] != 0) name = p + 1;
  return name;
}

// The private folder and the journal path of the BackupDir `backupDir`.
bool FormPrivatePaths(const char* backupDir, char* privateDir, char* journal) {
  return JoinPath(backupDir, LastComponent(backupDir), privateDir) &&
         JoinPath(privateDir, kJournalName, journal);
}

// Everything but the journal first, so that the BackupDir stays recognisable to the end.
void RemoveFolders(const char* backupDir, const char* privateDir, const char* journal) {
  RemoveEntries(backupDir, LastComponent(privateDir));
  RemoveEntries(privateDir, kJournalName);
  FsDeleteFile(journal);
  FsRemoveDir(privateDir);
  FsRemoveDir(backupDir);
}

struct Repair {
  const char* destinationDir;
  const RepairReport* report;
  bool complete;
};

void Restored(void* context, const char* relative) {
  const RepairReport* report = static_cast<const RepairReport*>(context);
  report->repaired(report->context, relative, kLogRestoredId);
}

// Repairs DestinationDir\`name` when it is an interrupted run's BackupDir.
void RepairIfInterrupted(void* context, const char* name, FsEntryKind kind) {
  Repair* repair = static_cast<Repair*>(context);
  if (kind != kFsEntryDir || strncmp(name, kBackupDirPrefix, 3) != 0) return;
  PathBuffer backupDir, privateDir, journalPath;
  if (!JoinPath(repair->destinationDir, name, backupDir) ||
      !FormPrivatePaths(backupDir, privateDir, journalPath))
    return;
  // Held by a run that still lives, or no journal at all: not a trace to repair.
  FsFile journal = FsOpen(journalPath, kFsReadExclusive, nullptr);
  if (journal == kNoFile) return;
  FsView view;
  bool ours = false, kept = false;
  if (FsMap(journal, &view)) {
    ours = view.size >= kSignatureLength &&
           memcmp(view.data, kJournalSignature, kSignatureLength) == 0;
    kept = ours && view.size >= kSignatureLength + sizeof kKeptLine - 1 &&
           memcmp(view.data + kSignatureLength, kKeptLine, sizeof kKeptLine - 1) == 0;
    FsUnmap(&view);
  }
  if (!ours) {
    FsClose(journal);
    return;
  }
  // The journal stays held while the files go back, so that no other run repairs the same
  // BackupDir at the same time.
  const int failures =
      kept ? 0
           : RestoreTree(backupDir, repair->destinationDir, LastComponent(privateDir), Restored,
                         const_cast<RepairReport*>(repair->report));
  FsClose(journal);
  if (failures != 0) {
    repair->report->repaired(repair->report->context, name, kLogBackupKeptId);
    repair->complete = false;
    return;
  }
  RemoveFolders(backupDir, privateDir, journalPath);
  repair->report->repaired(repair->report->context, name, kLogTraceRemovedId);
}

}  // namespace

bool RunFolderFits(const char* backupDir) {
  PathBuffer privateDir, journal;
  // A temporary name: "PCH", up to four hexadecimal digits, ".tmp".
  return FormPrivatePaths(backupDir, privateDir, journal) && strlen(privateDir) + 12 <= kMaxPath;
}

bool OpenRunFolder(const char* backupDir, RunFolder* folder) {
  folder->journal = kNoFile;
  PathBuffer journal;
  size_t length = strlen(backupDir);
  if (length > kMaxPath || !FormPrivatePaths(backupDir, folder->privateDir, journal)) return false;
  memcpy(folder->backupDir, backupDir, length + 1);
  if (!FsMakeDir(folder->privateDir)) return false;
  folder->journal = FsOpen(journal, kFsCreateNew, nullptr);
  if (folder->journal != kNoFile && FsWrite(folder->journal, kJournalSignature, kSignatureLength))
    return true;
  if (folder->journal != kNoFile) FsClose(folder->journal);
  folder->journal = kNoFile;
  FsDeleteFile(journal);
  FsRemoveDir(folder->privateDir);
  return false;
}

void MarkRunKept(RunFolder* folder) {
  FsWrite(folder->journal, kKeptLine, sizeof kKeptLine - 1);
}

void RemoveRunFolder(RunFolder* folder) {
  CloseRunFolder(folder);
  PathBuffer journal;
  JoinPath(folder->privateDir, kJournalName, journal);
  RemoveFolders(folder->backupDir, folder->privateDir, journal);
}

void CloseRunFolder(RunFolder* folder) {
  if (folder->journal != kNoFile) FsClose(folder->journal);
  folder->journal = kNoFile;
}

const char* PrivateFolderName(const RunFolder& folder) {
  return LastComponent(folder.privateDir);
}

bool RepairInterruptedRuns(const char* destinationDir, const RepairReport& report) {
  Repair repair = {destinationDir, &report, true};
  FsForEachEntry(destinationDir, RepairIfInterrupted, &repair);
  return repair.complete;
}

}  // namespace vt
