// Text lookup by string ID: the user's Language.ini section first, then the built-in table.
#ifndef VANTREL_TEXT_LOCAL_STRING_H
#define VANTREL_TEXT_LOCAL_STRING_H

#include <windows.h>

// "$" and the user's default language identifier in four hex digits, set once at start-up.
extern char g_languageSection[6];

// Computes g_languageSection from the user's default language. Call once, before any lookup.
void SelectLanguageSection();

// Fills `text` (`size` characters, NUL included) with the Language.ini value of key "ID<id>" in
// the user's section ("\n" becomes a line feed); returns its length, 0 with an empty text when
// there is none. The one reader of Language.ini, for strings and control texts alike.
int ReadLanguageText(int id, char* text, int size);

// Fills `text` (`size` characters, NUL included) with string `id`: the Language.ini value of
// key "ID<id>" in the user's section when there is a non-empty one ("\n" becomes a line feed),
// else the built-in text. Returns 0 with an empty text when the built-in table lacks the ID.
int LoadLocalString(UINT id, char* text, int size);

// A message box whose text and caption are string IDs; returns the button that closed it.
int LocalMessageBox(HWND owner, UINT textId, UINT captionId, UINT flags);

// Shows a message by string IDs with caption 200, a stop icon and the given owner, then ends
// the process with exit code 0 through the runtime's exit, so the WorkDir is removed.
[[noreturn]] void FailWithMessage(HWND owner, UINT textId);

// Sets the window's text to string `id` (at most 254 characters); leaves it when not found.
void SetLocalWindowText(HWND window, UINT id);

#endif  // VANTREL_TEXT_LOCAL_STRING_H
