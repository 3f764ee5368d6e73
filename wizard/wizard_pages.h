// The six wizard page procedures, each in its own file, and what they share.
#ifndef VANTREL_WIZARD_WIZARD_PAGES_H
#define VANTREL_WIZARD_WIZARD_PAGES_H

#include <windows.h>

INT_PTR CALLBACK WelcomePageProc(HWND page, UINT message, WPARAM wParam, LPARAM lParam);
INT_PTR CALLBACK LicencePageProc(HWND page, UINT message, WPARAM wParam, LPARAM lParam);
INT_PTR CALLBACK GuidePageProc(HWND page, UINT message, WPARAM wParam, LPARAM lParam);
INT_PTR CALLBACK DestinationPageProc(HWND page, UINT message, WPARAM wParam, LPARAM lParam);
INT_PTR CALLBACK ResultsPageProc(HWND page, UINT message, WPARAM wParam, LPARAM lParam);
INT_PTR CALLBACK FinishPageProc(HWND page, UINT message, WPARAM wParam, LPARAM lParam);

// Shows a page's text file (from `directory`, or the WorkDir when it is empty) in the edit
// control `control`, in the default GUI font.
void LoadPageText(HWND page, int control, UINT fileNameId, const char* directory = "");

// Button flags of a page as it is activated: on the Licence page Next only while accepted.
int PageButtons(HWND page, int index);

#endif  // VANTREL_WIZARD_WIZARD_PAGES_H
