// The installer's ANSI code page as the tool sees it: the author's UTF-8 names and texts are
// converted into it, and names read back from a script are shown in UTF-8. The system's own
// conversion does the work (iconv natively, the Win32 functions on Windows).
#ifndef VANTREL_BUILDER_CODE_PAGE_H
#define VANTREL_BUILDER_CODE_PAGE_H

#include <string>

namespace vt {

// Makes `codePage` (932, 1252, ...) the one the tool converts to; 0 means plain ASCII only.
// Natively it also gives the patch engine the code page's lead bytes and lets its file layer
// reach the system's UTF-8 names. False with *error when the system cannot convert to it.
bool SelectCodePage(unsigned codePage, std::string* error);
unsigned SelectedCodePage();

// Gives the name rules the selected code page's forms of the superscript digits ¹ ² ³, which
// Windows reads as device names' digits (format/ansi_chars.h): those that the code page holds
// as characters of their own (0xB9 0xB2 0xB3 in 1252 and 1254 to 1258, only 0xB2 0xB3 in 1253,
// three double-byte characters in 949, none in 874, 932, 936, 950, 1250 and 1251); with no
// code page selected, the default. SelectCodePage calls it.
void SelectSuperscriptDigits();

// UTF-8 into the selected code page. False when a character has no form there (with code page
// 0: when it is not ASCII) or the text is not UTF-8.
bool Utf8ToAnsi(const std::string& utf8, std::string* ansi);

// Text of the selected code page into UTF-8. False when the bytes are not text of it.
bool AnsiToUtf8(const std::string& ansi, std::string* utf8);

// A key that is the same for two UTF-8 names that Windows takes for one name (they differ
// only in letter case).
std::string NameKey(const std::string& utf8);

// A path or name from the command line as the patch engine takes it. Natively the command line
// is UTF-8 and goes into the selected code page (as it is when none is selected); on Windows it
// is in the system's ANSI code page already, which the engine's ANSI calls use. False when the
// code page cannot hold it.
bool CommandLineToAnsi(const std::string& arg, std::string* ansi);

// True when the patch engine of this tool can work with the selected code page's names: always
// natively (its file layer converts them); on Windows only when it is the system's ANSI code
// page, since the engine uses the ANSI calls. Otherwise false with *error saying so.
bool EngineTakesCodePage(std::string* error);

// The code page from a command's "--codepage" value ("" when absent). False with *error.
bool ParseCodePage(const std::string& value, unsigned* codePage, std::string* error);

// How a name is shown: in UTF-8 when a code page is selected and the name converts, else as
// the bytes it is.
std::string ShownName(const std::string& ansi);

}  // namespace vt

#endif  // VANTREL_BUILDER_CODE_PAGE_H
