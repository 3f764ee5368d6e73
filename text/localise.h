// Dialog control texts from Language.ini by control identifier, and "%p" as the AppName.
#ifndef VANTREL_TEXT_LOCALISE_H
#define VANTREL_TEXT_LOCALISE_H

#include <windows.h>

// Gives every descendant of `window` its Language.ini text (LocaliseControl). Call while the
// dialog initialises, before its own code sets any text.
void LocaliseChildWindows(HWND window);

// When the user's section holds a non-empty value for "ID<control identifier>", sets it as the
// control's text ("\n" becomes a line feed, at most 1023 characters) and switches the control
// to the default GUI font; otherwise leaves text and font alone. Always returns TRUE, so the
// enumeration goes on.
BOOL CALLBACK LocaliseControl(HWND control, LPARAM unused);

// Switches the window to the default GUI font.
void UseGuiFont(HWND window);

// Replaces every "%p" in the window's text (read up to 511 characters) by AppName. Stops before
// a replacement that would take the text past 511 characters, keeping the text so far; a "%p"
// inside AppName itself stays as it is.
void InsertAppName(HWND window);

#endif  // VANTREL_TEXT_LOCALISE_H
