// Rules for the names that payload records and patch script paths may carry.
#ifndef VANTREL_FORMAT_NAME_RULES_H
#define VANTREL_FORMAT_NAME_RULES_H

#include <stddef.h>

namespace vt {

// Why `len` bytes cannot name one file or directory inside a folder the program owns, on
// Windows as on POSIX; kNamePlain when they can.
enum NameFault {
  kNamePlain,
  kNameEmpty,
  kNameRefusedChar,         // a separator ('\' or '/'), a colon (a drive or an alternate
                            // stream), a control character or one of * ? " < > |
  kNameHalfCharacter,       // a lead byte without its second byte
  kNameTrailingDotOrBlank,  // Windows drops them, so "a." would be "a"; also "." and ".."
  kNameDevice               // CON, PRN, AUX, NUL, COM1-9, LPT1-9, also with a superscript
                            // digit of the code page (COM¹ COM² COM³ LPT¹ LPT² LPT³), with or
                            // without an extension
};

// The first rule the name breaks, checked character by character of the ANSI code page
// (format/ansi_chars.h), so that the second byte of a double-byte character is never taken for
// a separator. For a refused character or a half one, *at (may be null) receives its offset.
NameFault CheckComponent(const char* name, size_t len, size_t* at = nullptr);

inline bool IsSafeComponent(const char* name, size_t len) {
  return CheckComponent(name, len) == kNamePlain;
}

// True when every backslash-separated component of the NUL-terminated `path` passes
// IsSafeComponent, so that joined to a folder it names a file inside that folder. A backslash
// that is the second byte of a double-byte character separates nothing.
bool IsSafeRelativePath(const char* path);

// The case rule of the name checks: ASCII letters fold to upper case, every other byte stays.
// File names compare by SameFileName (format/ansi_chars.h).
inline char FoldCase(char c) { return (c >= 'a' && c <= 'z') ? char(c - 'a' + 'A') : c; }

}  // namespace vt

#endif  // VANTREL_FORMAT_NAME_RULES_H
