// The wizard's page procedures: one that every page shares, and the pages that handle more,
// each in its own file.
#ifndef VANTREL_WIZARD_WIZARD_PAGES_H
#define VANTREL_WIZARD_WIZARD_PAGES_H

#include <windows.h>

// The protocol every page shares (localisation on creation, then the AppName or the text file
// the page shows, the sheet caption when shown, the picture, the wizard buttons on activation,
// Cancel through the background window on the first four pages). The Welcome, Guide and
// Results pages have nothing more; the others call it for every message they do not handle
// themselves and return its result.
INT_PTR CALLBACK PageProc(HWND page, UINT message, WPARAM wParam, LPARAM lParam);
INT_PTR CALLBACK LicencePageProc(HWND page, UINT message, WPARAM wParam, LPARAM lParam);
INT_PTR CALLBACK DestinationPageProc(HWND page, UINT message, WPARAM wParam, LPARAM lParam);
INT_PTR CALLBACK FinishPageProc(HWND page, UINT message, WPARAM wParam, LPARAM lParam);

// Shows a page's text file (string `fileNameId`, in `directory`) in the edit control
// `control`, in the default GUI font.
void LoadPageText(HWND page, int control, UINT fileNameId, const char* directory);

// Button flags of a page as it is activated: on the Licence page Next only while accepted.
int PageButtons(HWND page, int index);

#endif  // VANTREL_WIZARD_WIZARD_PAGES_H
