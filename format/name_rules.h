// Rules for the names that payload records and patch script paths may carry.
#ifndef VANTREL_FORMAT_NAME_RULES_H
#define VANTREL_FORMAT_NAME_RULES_H

#include <stddef.h>

namespace vt {

// True when the `len` bytes at `name` can name one file or directory inside a folder the
// program owns, on Windows as on POSIX: not empty, not "." or "..", no separator ('\' or '/'),
// no colon (drive or alternate stream), no wildcard or other character Windows refuses, no
// control character, no trailing dot or blank (Windows drops them, so "a." would be "a"), and
// not a device name (CON, PRN, AUX, NUL, COM1-9, LPT1-9, with or without an extension). The
// name is read by character of the ANSI code page (format/ansi_chars.h): the second byte of a
// double-byte character is never taken for a separator, and a lead byte must have one.
bool IsSafeComponent(const char* name, size_t len);

// True when every backslash-separated component of the NUL-terminated `path` passes
// IsSafeComponent, so that joined to a folder it names a file inside that folder. A backslash
// that is the second byte of a double-byte character separates nothing.
bool IsSafeRelativePath(const char* path);

// The one case rule for file names: ASCII letters fold to upper case, every other byte stays.
inline char FoldCase(char c) { return (c >= 'a' && c <= 'z') ? char(c - 'a' + 'A') : c; }

// True when the NUL-terminated names `a` and `b` differ at most in the case of ASCII letters,
// as Windows compares file names.
bool SameNameIgnoringCase(const char* a, const char* b);

}  // namespace vt

#endif  // VANTREL_FORMAT_NAME_RULES_H
