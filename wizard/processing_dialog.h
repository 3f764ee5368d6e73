// The modal dialog during which the patch worker runs: progress, file label and Cancel.
#ifndef VANTREL_WIZARD_PROCESSING_DIALOG_H
#define VANTREL_WIZARD_PROCESSING_DIALOG_H

#include <windows.h>

#include "process/startup_state.h"

// The directory being installed into: the Destination page's default, then [Path] SoftWarePath.
extern char g_destinationDir[kPathChars];
// The patch script's file name in the WorkDir, set before the dialog opens.
extern char g_patchFileName[kPathChars];

// Unpacks the patch script into the WorkDir (set by start-up, which owns the payload); returns
// 1 on success. The dialog calls it when no splash has unpacked the script already.
extern int (*g_unpackPatchScript)();

// The product's place below the program files directory.
extern const char kProductPath[];

// Dialog procedure of the processing dialog. Its modal call returns IDOK only after a
// successful run; any other end shows its message and ends the process.
INT_PTR CALLBACK ProcessingDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);

#endif  // VANTREL_WIZARD_PROCESSING_DIALOG_H
