// The traces a patch run leaves in DestinationDir while it lasts, and their repair by a later
// run when the run was killed before its end.
//
// A run's BackupDir (DestinationDir\BAKn.tmp) holds the backups at the entries' relative paths
// and one folder of the BackupDir's own name, which no backup can take: a file of that name
// cannot exist in DestinationDir, where the BackupDir has it. That folder holds the run's
// temporary files and its journal, a file that starts with a signature of ours, names each file
// on its way into the BackupDir before it moves, and that the run holds open without sharing
// while it lives. A later run takes a BackupDir for the trace of an interrupted run only by that
// journal, and only once nobody holds it, so a user's own folder of a similar name and the
// BackupDir of a run still going on are left alone; it puts back only what the journal names,
// under the rules an entry's path obeys, and never reaches outside DestinationDir.
#ifndef VANTREL_PATCH_RUN_FOLDER_H
#define VANTREL_PATCH_RUN_FOLDER_H

#include <stdint.h>

#include "format/file_format.h"
#include "patch/fs.h"

namespace vt {

struct RunFolder {
  char backupDir[kMaxPath + 1];
  char privateDir[kMaxPath + 1];  // where the run's temporary files are made
  FsFile journal;
};

// True when the private folder of the BackupDir `backupDir` and the temporary names in it fit
// the engine's paths.
bool RunFolderFits(const char* backupDir);

// Makes the private folder and the journal in the run's new, empty BackupDir `backupDir`.
// False when that fails; the BackupDir is then empty again.
bool OpenRunFolder(const char* backupDir, RunFolder* folder);

// Notes in the journal of `folder` (a RunFolder) that the file at `relative` (below
// DestinationDir) is about to go into the BackupDir. False when the note could not be written:
// the file must then stay. A BackupObserver for the run's entries.
bool RecordBackup(void* folder, const char* relative);

// Notes in the journal that the run keeps its result, so that a later run that finds the
// BackupDir removes it without putting anything back.
void MarkRunKept(RunFolder* folder);

// Closes the journal and removes the BackupDir with everything in it, the journal last, so that
// a run killed meanwhile still leaves a BackupDir that a later run recognises. False when the
// BackupDir stays, with what could not be removed (on Windows a read-only backup whose other hard
// links keep its attributes: they are never changed), and no journal: no run's any more.
bool RemoveRunFolder(RunFolder* folder);

// Closes the journal and leaves the BackupDir as it is, for a later run to repair.
void CloseRunFolder(RunFolder* folder);

// The files of the BackupDir that are not backups: for copying the backups elsewhere.
const char* PrivateFolderName(const RunFolder& folder);

// What a repair did, for the ResultLog: `path` is relative to DestinationDir, `messageId` one
// of kLogRestoredId, kLogTraceRemovedId, kLogBackupKeptId and kLogNotRestoredId.
struct RepairReport {
  void (*repaired)(void* context, const char* path, uint32_t messageId);
  void* context;
};

// How the repair of one BackupDir ended.
enum FolderRepair {
  kNotARunFolder,  // no journal of ours, or one that another run holds: left alone, unreported
  kRepaired,       // every file the journal names is back (or never left); the folder is gone
  kFilesHeld,      // some file could not be put back (another process holds it, or no access):
                   // the folder stays, journal and all, for a later run
  kSetAside,       // a link, or a path that the rules refuse, where the journal leads: what
                   // could go back did; the rest stays in the folder, whose journal is marked
                   // (unless a link leads to it) so that no later run takes it up again. Also
                   // a folder repaired in full that could not be removed (a name too long to
                   // reach): its journal is gone, and with it the folder is no run's any more
};

// Repairs DestinationDir\`name` as the rollback of the run that made it: puts back every file
// that its journal names (unless the run had decided to keep its result), then removes it
// with the run's temporary files. Reports a line for each file put back and each path refused
// and one for the folder (removed, kept or set aside). A file's way in DestinationDir and in
// the BackupDir must be free of links, as an entry's is; nothing outside DestinationDir is
// written, moved or deleted.
FolderRepair RepairRunFolder(const char* destinationDir, const char* name,
                             const RepairReport& report);

// Repairs every BackupDir that an interrupted run left in `destinationDir`. False when some
// file of one could not be put back (kFilesHeld): a later run tries again.
bool RepairInterruptedRuns(const char* destinationDir, const RepairReport& report);

}  // namespace vt

#endif  // VANTREL_PATCH_RUN_FOLDER_H
