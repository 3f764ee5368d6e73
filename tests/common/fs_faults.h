// Faults, kills and another program's moves at chosen steps of the POSIX file layer, for tests:
// put in through the layer's table of system calls (patch/fs_posix_calls.h), so that the tool
// itself carries no test hooks. Failures a test cannot provoke for real (a full disk, a rename
// refused after a delete), a process killed at a step, and deterministic races.
#ifndef VANTREL_TESTS_COMMON_FS_FAULTS_H
#define VANTREL_TESTS_COMMON_FS_FAULTS_H

#include <functional>

namespace vt {

enum FsFaultPoint {
  kFaultWrite,        // each write of a file's content (a rebuild gathers its pieces first)
  kFaultCopy,         // each copy of a file's content (FsCopyFile)
  kFaultMove,         // each rename that replaces nothing (FsMoveFile)
  kFaultReplace,      // each rename that replaces what is there (FsReplaceFile)
  kFaultDelete,       // each removal of a file's name
  kFaultReserveTemp,  // each new file made at a name that must be free
  kFaultReadOld,      // each read of a file's content at an offset
  kFaultPointCount,
};

// After `pass` more calls at `point` have run normally, the next `fail` calls fail as the system
// would (a full disk, no access) without doing anything.
void FsInjectFault(FsFaultPoint point, int pass, int fail);

// After `pass` more calls at `point` have run normally, the next call ends the process with
// SIGKILL before doing anything: a run killed at that step.
void FsKillAt(FsFaultPoint point, int pass);

// After `pass` more calls at `point` have run normally, `act` runs once right before the next:
// what another program does at that moment.
void FsActAt(FsFaultPoint point, int pass, std::function<void()> act);

// Removes every fault, kill and act: the system's own calls again.
void FsClearFaults();

}  // namespace vt

#endif  // VANTREL_TESTS_COMMON_FS_FAULTS_H
