// The patch worker: ResultLog, BackupDir, the entry loop with its state rules, and the end of
// the run, which keeps the result or rolls DestinationDir back.
#include "patch/patch_run.h"

#include <string.h>

#include "format/ansi_chars.h"
#include "patch/apply_entry.h"
#include "patch/dir_tree.h"
#include "patch/fs.h"
#include "patch/result_log.h"
#include "patch/run_folder.h"

namespace vt {

uint32_t g_scriptWindowSize = kScriptWindowSize;

namespace {

typedef char PathBuffer[kMaxPath + 1];

// The script is read through this window, whatever its size.
uint8_t g_scriptWindow[kScriptWindowSize];

bool BeginRunScript(FsFile file, uint32_t* count, ScriptCursor* cursor) {
  return BeginScriptFile(file, g_scriptWindow, g_scriptWindowSize, count, cursor);
}

void EntryStarted(void* context, const char* path) {
  const RunObserver* observer = static_cast<const RunObserver*>(context);
  observer->entryStarted(observer->context, path);
}

void LogLine(const RunState* run, LogFile* log, const char* path, uint32_t messageId) {
  char message[kLogMessageSize];
  message[0] = 0;
  run->loadMessage(run->messageContext, messageId, message, kLogMessageSize);
  WriteLogLine(log, path, message);
}

struct RepairLog {
  const RunState* run;
  LogFile* log;
};

void LogRepair(void* context, const char* path, uint32_t messageId) {
  const RepairLog* repair = static_cast<const RepairLog*>(context);
  LogLine(repair->run, repair->log, path, messageId);
}

// A rollback logs what stays in the BackupDir, not what went back as it should.
void LogRollback(void* context, const char* path, uint32_t messageId) {
  if (messageId != kLogRestoredId && messageId != kLogTraceRemovedId)
    LogRepair(context, path, messageId);
}

// Writes the entry's log line and turns its result into the run state.
void LogEntry(RunState* run, LogFile* log, const char* path, EntryResult result) {
  LogLine(run, log, path, LogMessageId(result));
  if (result == kDataError) StoreRunState(run, kRunDataError);
  // The old content of that file now lives only in BackupDir: only a rollback brings it back.
  if (result == kRestoreFailed) StoreRunState(run, kRunMainFileFailed);
  if (path && FailsMainFile(result, path, run->mainFile)) StoreRunState(run, kRunMainFileFailed);
}

// Applies the script's entries in order until the end or until the state drops to 0 or less.
void ApplyEntries(RunState* run, FsFile script, const RunFolder& folder, LogFile* log) {
  const RunObserver& observer = run->observer;
  uint32_t count = 0;
  ScriptCursor cursor;
  // A script too short for its count field is damaged, not empty.
  if (!BeginRunScript(script, &count, &cursor)) StoreRunState(run, kRunDataError);
  if (observer.rangeSet) observer.rangeSet(observer.context, count);
  ApplyContext context = {run->destinationDir, folder.backupDir, {nullptr, nullptr},
                          folder.privateDir, {RecordBackup, const_cast<RunFolder*>(&folder)}};
  if (observer.entryStarted)
    context.observer = {EntryStarted, const_cast<RunObserver*>(&observer)};
  for (uint32_t done = 0; done < count;) {
    const char* path;
    EntryResult result = ApplyEntry(context, &cursor, &path);
    LogEntry(run, log, path, result);
    if (observer.entryDone) observer.entryDone(observer.context, path, result);
    if (LoadRunState(run) <= 0) break;
    ++done;
    if (observer.positionSet) observer.positionSet(observer.context, done);
  }
}

// Keeps the result (with a copy of the backups when asked) and removes the BackupDir, or rolls
// back as a later run would repair the BackupDir, by its journal. Returns false when a rollback
// could not put every file back: the BackupDir then stays (logged), so that a later run can
// still repair it, or is set aside with what could not go back.
bool Finish(const RunState* run, int32_t decided, RunFolder* folder, const RepairLog& log) {
  if (decided > 0) {
    MarkRunKept(folder);
    if (run->keepBackup) {
      // keptBackupDir ends in a separator: every missing level of it is made. Below it, as
      // below DestinationDir, nothing is reached through a link.
      FsMakeParentDirs(run->keptBackupDir);
      if (FsHoldRoot(run->keptBackupDir))
        CopyTree(folder->backupDir, run->keptBackupDir, PrivateFolderName(*folder));
    }
    // What stays of a run that keeps its result is left as it is, and named.
    if (!RemoveRunFolder(folder))
      LogRepair(const_cast<RepairLog*>(&log), FileNamePart(folder->backupDir), kLogNotRestoredId);
    return true;
  }
  CloseRunFolder(folder);
  const char* name = FileNamePart(folder->backupDir);
  const FolderRepair repair = RepairRunFolder(run->destinationDir, name,
                                              {LogRollback, const_cast<RepairLog*>(&log)});
  // Another run took up the BackupDir in the moment its journal was not held: it is theirs.
  if (repair == kNotARunFolder) LogRepair(const_cast<RepairLog*>(&log), name, kLogBackupKeptId);
  return repair == kRepaired;
}

// True when every entry's path fits below `backupDir`, which is longer than DestinationDir and
// than the engine's temporary names there. Entries from the first damaged one on are left to
// the run, which reports them in order.
bool ScriptPathsFit(FsFile script, const char* backupDir) {
  uint32_t count = 0;
  ScriptCursor cursor;
  if (!BeginRunScript(script, &count, &cursor)) return true;
  PathBuffer joined;
  const char* path;
  for (uint32_t i = 0; i < count && SkipEntry(&cursor, &path); ++i)
    if (!JoinPath(backupDir, path, joined)) return false;
  return true;
}

}  // namespace

bool FailsMainFile(EntryResult result, const char* path, const char* mainFile) {
  switch (result) {
    case kOriginalMissing:
    case kOriginalCrcError:
    case kUpdatedCrcError:
    case kAccessDenied:
    case kReplaceDenied:
      break;
    default:
      return false;
  }
  if (!mainFile) return false;
  const char* mainName = FileNamePart(mainFile);
  return mainName[0] != 0 && SameFileName(FileNamePart(path), mainName);
}

namespace {

int32_t Run(RunState* run, char* leftBackupDir) {
  if (leftBackupDir) leftBackupDir[0] = 0;
  const RunObserver& observer = run->observer;

  FsFile scriptFile = FsOpen(run->scriptPath, kFsReadShared, nullptr);
  RunFolder folder;
  bool readable = scriptFile != kNoFile && FsSize(scriptFile) != 0;

  // Nothing in DestinationDir changes until it is known to take the log, the BackupDir with
  // its private folder and every path of the script. The reserved name stays held by its
  // empty file until the directory replaces it, so that nobody else can take it in between.
  // The log is held without sharing, so no entry of the script can write to it.
  // Stays kRunInProgress unless the run is refused before its entries.
  int32_t end = kRunInProgress;
  PathBuffer logPath, backupDir;
  LogFile log;
  log.file = kNoFile;
  log.used = 0;
  bool reserved = false;
  if (!JoinPath(run->destinationDir, kResultLogName, logPath)) {
    end = kRunDestinationTooLong;
  } else {
    // From here on every path below DestinationDir is reached from it, never through a link.
    FsMakeParentDirs(logPath);
    reserved = FsHoldRoot(run->destinationDir) &&
               FsReserveTempName(run->destinationDir, kBackupDirPrefix, backupDir);
    if (readable && !reserved) {
      end = kRunDestinationUnwritable;
    } else if (readable &&
               (!ScriptPathsFit(scriptFile, backupDir) || !RunFolderFits(backupDir))) {
      end = kRunDestinationTooLong;
    } else {
      // A script that cannot be read still leaves an empty log behind. The reserved name then
      // becomes a folder of the same name: should anything take the name in between (a link to
      // a folder outside), that folder is not this run's, and the run does not start.
      log.file = FsOpen(logPath, kFsCreateAlways, nullptr);
      if (!readable) {
        end = kRunScriptUnreadable;
      } else if (log.file == kNoFile || FsDeleteFile(backupDir) != kFsOk ||
                 !FsMakeDir(backupDir) || !FsHoldRoot(backupDir)) {
        end = kRunDestinationUnwritable;
      } else if (!OpenRunFolder(backupDir, &folder)) {
        FsRemoveDir(backupDir);
        end = kRunDestinationUnwritable;
      }
    }
  }
  if (end == kRunInProgress) {
    reserved = false;  // the name is the run's folder now
    // What interrupted runs left is put right before the entries. Where that cannot be done in
    // full, this run stays out, lest it build on files that a later repair changes back.
    RepairLog repairLog = {run, &log};
    if (!RepairInterruptedRuns(run->destinationDir, {LogRepair, &repairLog})) {
      RemoveRunFolder(&folder);
      end = kRunRepairIncomplete;
    } else {
      ApplyEntries(run, scriptFile, folder, &log);
      FsClose(scriptFile);
      scriptFile = kNoFile;
      // The one reading of the state that decides the end; what is reported is what was
      // decided.
      end = LoadRunState(run);
      if (observer.finishing) observer.finishing(observer.context, end);
      // The log, still open, says where the old content of what could not go back is kept.
      if (!Finish(run, end, &folder, repairLog) && leftBackupDir)
        memcpy(leftBackupDir, backupDir, strlen(backupDir) + 1);
    }
  }
  // Every end, a refusal before the entries too, closes here.
  if (reserved) FsDeleteFile(backupDir);
  if (scriptFile != kNoFile) FsClose(scriptFile);
  CloseLogFile(&log);
  observer.runDone(observer.context, end);
  return end;
}

}  // namespace

// The run's folders are each found once, not for every file.
int32_t RunPatch(RunState* run, char* leftBackupDir) {
  FsHoldFolders();
  const int32_t end = Run(run, leftBackupDir);
  FsReleaseFolders();
  return end;
}

}  // namespace vt
