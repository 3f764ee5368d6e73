// The patch worker thread and its observer of window messages. Each message is sent, not
// posted: the worker waits until the dialog's thread has handled it, so the dialog must keep
// pumping messages for the whole run.
#include <windows.h>
#include <commctrl.h>

#include "wizard/patch_worker.h"

namespace vt {
namespace {

const RunWindows* Windows(void* context) { return static_cast<const RunWindows*>(context); }

void SetRange(void* context, uint32_t count) {
  SendMessageA(HWND(Windows(context)->progressBar), PBM_SETRANGE, 0, MAKELPARAM(0, count));
}

void SetPosition(void* context, uint32_t done) {
  SendMessageA(HWND(Windows(context)->progressBar), PBM_SETPOS, done, 0);
}

void ShowEntry(void* context, const char* path) { SetWindowTextA(HWND(Windows(context)->fileLabel), path); }

void SendRunDone(void* context, int32_t state) {
  SendMessageA(HWND(Windows(context)->dialog), kRunDoneMessage, WPARAM(state), 0);
}

}  // namespace

void ObserveWithWindows(RunState* run, RunWindows* windows) {
  run->observer.rangeSet = SetRange;
  run->observer.positionSet = SetPosition;
  run->observer.entryStarted = ShowEntry;
  run->observer.entryDone = nullptr;
  run->observer.finishing = nullptr;
  run->observer.runDone = SendRunDone;
  run->observer.context = windows;
}

unsigned long __stdcall PatchWorker(void* runState) {
  return RunPatch(static_cast<RunState*>(runState), nullptr);
}

}  // namespace vt
