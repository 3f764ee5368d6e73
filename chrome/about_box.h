// The About box: the builder's name, version, copyright and a note, all localisable.
#ifndef VANTREL_CHROME_ABOUT_BOX_H
#define VANTREL_CHROME_ABOUT_BOX_H

#include <windows.h>

// Runs the About box (template 300) modally; returns when OK, Esc or its close box ends it.
void ShowAboutBox(HWND owner);

#endif  // VANTREL_CHROME_ABOUT_BOX_H
