// The six-page modeless setup wizard and the small window operations its pages use.
#ifndef VANTREL_WIZARD_SETUP_WIZARD_H
#define VANTREL_WIZARD_SETUP_WIZARD_H

#include <windows.h>

#include "chrome/background_window.h"  // g_wizardSheet

// Zero-based page indices, in sheet order.
enum WizardPage { kWelcomePage, kLicencePage, kGuidePage, kDestinationPage, kResultsPage,
                  kFinishPage, kPageCount };

// Creates the wizard hidden, owned by `parent`, starting at page `startPage`. Returns the sheet
// window, or null when the sheet could not be created.
HWND CreateSetupWizard(HWND parent, int startPage);

// Property-sheet callback: makes the sheet window start hidden and records its handle.
int CALLBACK WizardSheetCallback(HWND window, UINT notification, LPARAM parameter);

// Posts the wizard buttons (PSWIZB_* flags) to the page's sheet.
void PostWizardButtons(HWND page, int buttons);

// Moves `window` to the centre of its parent or owner, kept inside the desktop.
void CenterOnOwner(HWND window);

// Sets the text of `file` in `directory` (a path buffer's content, as every folder here is) as
// the window's text, up to the first zero byte; an unreadable file gives an empty text.
// Returns 1.
int LoadTextFileToWindow(HWND window, const char* file, const char* directory);

#endif  // VANTREL_WIZARD_SETUP_WIZARD_H
