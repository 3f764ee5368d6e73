// The installer's side of a patch run: the worker thread, which reports to the Processing
// dialog and its controls by synchronous window messages only.
#ifndef VANTREL_WIZARD_PATCH_WORKER_H
#define VANTREL_WIZARD_PATCH_WORKER_H

#include "patch/patch_run.h"

namespace vt {

// Sent to the dialog once, last: first parameter the run's end, second 0 (WM_USER + 10).
const unsigned kRunDoneMessage = 0x400 + 10;

// Window handles (HWND) of the Processing dialog, written before the worker starts.
struct RunWindows {
  void* dialog;       // receives kRunDoneMessage
  void* progressBar;  // PBM_SETRANGE with 0 and the entry count, PBM_SETPOS after each entry
  void* fileLabel;    // its text becomes each entry's path
};

// Points `run`'s observer at `windows`, which must outlive the run.
void ObserveWithWindows(RunState* run, RunWindows* windows);

// Thread procedure (a CreateThread start routine) of the worker; `runState` is the RunState.
// Its exit code is the run's end as RunPatch returns it: 1 after a run that kept its result.
unsigned long __stdcall PatchWorker(void* runState);

}  // namespace vt

#endif  // VANTREL_WIZARD_PATCH_WORKER_H
