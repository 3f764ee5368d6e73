// The patch run: the worker that applies a whole patch script to DestinationDir, writes the
// ResultLog and either keeps the result or rolls the directory back from its BackupDir.
#ifndef VANTREL_PATCH_PATCH_RUN_H
#define VANTREL_PATCH_PATCH_RUN_H

#include <stdint.h>

#include "format/file_format.h"

namespace vt {

// How a run stands and how it ended: the values of RunState::state, and of what runDone is
// told and RunPatch returns. A run ended on a value > 0 kept its result; on one <= 0 nothing of
// it stays in DestinationDir.
enum RunStateValue : int32_t {
  kRunInProgress = 1,      // also the end of a run that went through all entries and kept them
  kRunCancelled = 0,       // set by the user interface; the run stops after the current entry
  kRunMainFileFailed = -1,  // rolled back
  kRunDataError = -2,      // a damaged script; rolled back
  // Ends only, of a run that refused before changing anything, the old ResultLog kept:
  kRunDestinationUnwritable = -3,  // the ResultLog or the BackupDir cannot be created
  kRunDestinationTooLong = -4,     // a path of the script does not fit below DestinationDir
  // Ends only, of a run that applied nothing, its ResultLog written:
  kRunScriptUnreadable = -5,  // the script is missing, empty or cannot be read; the installer
                              // shows it as kRunDataError
  // An interrupted earlier run's backups could not all be put back (another process holds a
  // file); the installer shows it as kRunMainFileFailed, whose message asks the user to close
  // the program and try again.
  kRunRepairIncomplete = -6,
};

// What the worker tells the user interface, each call made on the worker's thread. Every
// member may be null but `runDone`, which the caller needs to learn the end.
struct RunObserver {
  void (*rangeSet)(void* context, uint32_t count);      // once, when the script is opened
  void (*positionSet)(void* context, uint32_t done);    // after each entry that keeps state > 0
  void (*entryStarted)(void* context, const char* path);  // the entry's path as stored
  // After each entry, with its path as stored (null when the entry was too damaged to name
  // one) and the engine's result, logged as LogMessageId(result).
  void (*entryDone)(void* context, const char* path, EntryResult result);
  // Once the entries are done: the run keeps its result (state > 0) or rolls back, on this
  // state, whatever is stored afterwards.
  void (*finishing)(void* context, int32_t decided);
  void (*runDone)(void* context, int32_t state);        // exactly once, last
  void* context;
};

// Fills `text` (`size` characters, NUL included) with the log message of string `id`.
typedef void (*LogMessageLoader)(void* context, uint32_t id, char* text, uint32_t size);

// One run's parameters, filled completely before RunPatch starts. Owns no memory.
struct RunState {
  int32_t keepBackup;          // non-zero: after a completed run copy the backups to keptBackupDir
  int32_t reserved;
  const char* destinationDir;
  const char* keptBackupDir;   // ends in a separator
  const char* scriptPath;      // the PatchScript
  const char* mainFile;        // the package's main file; only its file-name part counts; may be null
  RunObserver observer;
  LogMessageLoader loadMessage;
  void* messageContext;
  // Written by both threads: read and write it only through LoadRunState and StoreRunState.
  int32_t state;
};

// An aligned 32-bit load and store without a lock; safe from a signal handler too.
inline int32_t LoadRunState(const RunState* run) {
  return __atomic_load_n(&run->state, __ATOMIC_SEQ_CST);
}
inline void StoreRunState(RunState* run, int32_t state) {
  __atomic_store_n(&run->state, state, __ATOMIC_SEQ_CST);
}

// The user's cancel: it takes effect only while the run is in progress, so that it never
// hides a failure that the worker has already recorded.
inline void CancelRun(RunState* run) {
  int32_t expected = kRunInProgress;
  __atomic_compare_exchange_n(&run->state, &expected, int32_t(kRunCancelled), false,
                              __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST);
}

// The run reads its script through a window of kScriptWindowSize bytes, however large the
// script: the memory it takes for it. A test may make the window smaller (down to
// kMinScriptWindow of apply_entry.h) while no run goes.
const uint32_t kScriptWindowSize = 1 << 20;
extern uint32_t g_scriptWindowSize;

// Runs the patch (the CRC table must be built). First it repairs what interrupted runs left
// in DestinationDir (run_folder.h), with a ResultLog line for each file put back and each
// BackupDir removed or kept. Sends runDone last, with the state on which the run decided to
// keep its result (> 0) or to roll back (<= 0): a Cancel arriving after that decision changes
// nothing. When a rollback could not put every file back, the BackupDir is left in place,
// since it then holds the only copy of some old content, the ResultLog names it in a last line
// and its path goes to `leftBackupDir` (kMaxPath + 1 characters; may be null); otherwise that
// is made empty. A later run repairs such a BackupDir. Returns the end that runDone was told.
int32_t RunPatch(RunState* run, char* leftBackupDir);

// The main-file rule: true when `result` is one of the five results that fail the package's
// main file and the file-name part of `path` equals that of `mainFile`, letters compared
// without regard to case.
bool FailsMainFile(EntryResult result, const char* path, const char* mainFile);

}  // namespace vt

#endif  // VANTREL_PATCH_PATCH_RUN_H
