// The wizard's page procedures: one that every page shares, and the pages that handle more,
// each in its own file.
#ifndef VANTREL_WIZARD_WIZARD_PAGES_H
#define VANTREL_WIZARD_WIZARD_PAGES_H

#include <windows.h>

// The one dialog procedure of every page: the protocol they share (localisation on creation,
// then the AppName or the text file the page shows, the sheet caption when shown, the picture,
// the wizard buttons on activation, Cancel through the background window on the first four
// pages), and by the page's index the little that the Licence, Destination and Finish pages
// do besides, through the calls below. The Welcome, Guide and Results pages have nothing more.
INT_PTR CALLBACK PageProc(HWND page, UINT message, WPARAM wParam, LPARAM lParam);

// Licence page, WM_COMMAND: the accept box lets Next through while it is ticked.
void OnLicenceCommand(HWND page, WPARAM wParam);

// Destination page, last step of WM_INITDIALOG: shows the fixed destination.
void ShowDefaultDestination(HWND page);

// Destination page, WM_NOTIFY before the shared handling: Next starts the run, once.
void OnDestinationNotify(HWND page, UINT code);

// Finish page, last step of WM_INITDIALOG: the launch box with the AppName, ticked.
void InitFinishPage(HWND page);

// Finish page, PSN_WIZFINISH: the package's external command (after asking), the ticked
// actions, then the end. Runs once: a second Finish, queued while the question is up, does
// nothing.
void RunFinishSequence(HWND page);

// Shows a page's text file (string `fileNameId`, in `directory`) in the edit control
// `control`, in the default GUI font.
void LoadPageText(HWND page, int control, UINT fileNameId, const char* directory);

// Button flags of a page as it is activated: on the Licence page Next only while accepted.
int PageButtons(HWND page, int index);

#endif  // VANTREL_WIZARD_WIZARD_PAGES_H
