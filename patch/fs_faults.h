// Fault injection for the POSIX file-system layer, for tests: failures that a test cannot
// provoke for real (a full disk, a rename refused after a delete). Not part of the Win32 layer.
#ifndef VANTREL_PATCH_FS_FAULTS_H
#define VANTREL_PATCH_FS_FAULTS_H

namespace vt {

enum FsFaultPoint {
  kFaultWrite,          // FsWrite, and each piece of an update's rebuilt content
  kFaultCopy,           // FsCopyFile
  kFaultMove,           // FsMoveFile
  kFaultReplace,        // FsReplaceFile
  kFaultDelete,         // FsDeleteFile
  kFaultOpenTruncate,   // FsOpen with kFsTruncateExisting
  kFaultReserveTemp,    // FsReserveTempName
  kFaultReadOld,        // each read of an update's old file
  kFaultPointCount,
};

// After `pass` more calls at `point` have run normally, the next `fail` calls fail (with
// kFsFailed or false) without doing anything.
void FsInjectFault(FsFaultPoint point, int pass, int fail);

// After `pass` more calls at `point` have run normally, the next call ends the process with
// SIGKILL before doing anything: a run killed at that step, for the tests of what a later run
// repairs.
void FsKillAt(FsFaultPoint point, int pass);

// Asked by the layer's parts at `point`: true when this call is to fail. The rebuild of an
// update asks kFaultWrite once for each piece of its content (an operation's bytes), which it
// gathers into fewer writes, so that the n-th piece fails as the n-th write would.
bool FsFaulted(FsFaultPoint point);

// Removes every injected fault.
void FsClearFaults();

}  // namespace vt

#endif  // VANTREL_PATCH_FS_FAULTS_H
