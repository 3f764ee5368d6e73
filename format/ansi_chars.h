// Characters of the ANSI code page that the installer's paths and texts are in. In the
// double-byte code pages (932, 936, 949, 950) a lead byte starts a two-byte character whose
// second byte may be 0x5C ('\') or 0x7C ('|'), so paths are walked by character, never by byte.
#ifndef VANTREL_FORMAT_ANSI_CHARS_H
#define VANTREL_FORMAT_ANSI_CHARS_H

#include <stddef.h>

namespace vt {

// True when `c` starts a two-byte character: by the table last given to SetLeadBytes, or else
// on Windows by the system's ANSI code page and on POSIX never.
bool IsLeadByte(unsigned char c);

// The lead bytes of the code page to work in (256 flags, copied), for the tool that writes
// names in a chosen code page; null goes back to the default. The stub never calls it.
void SetLeadBytes(const bool* table256);

// True when the `len` bytes (1 or 2) at `c` are one character that Windows takes for the digit
// of a device name: 1 to 9, or a superscript digit (¹ ² ³: "COM¹" is a port, like "COM1"), the
// latter by the forms given to SetSuperscriptDigits, or else on Windows by what the system's
// ANSI code page maps to U+00B9, U+00B2 or U+00B3, and on POSIX the bytes 0xB9, 0xB2 and 0xB3
// (code page 1252's forms).
bool IsDeviceDigit(const char* c, size_t len);

// The forms of the superscript digits in the code page to work in (3 values, copied): a byte,
// or a double-byte character as lead byte * 256 + second byte, or 0 where the code page has
// none; null goes back to the default. The stub never calls it.
void SetSuperscriptDigits(const unsigned short* forms3);

// IsDeviceDigit by a code page's three superscript forms, as SetSuperscriptDigits takes them:
// the one answer of both layers where the forms are known.
bool IsDeviceDigitOf(const char* c, size_t len, const unsigned short* forms3);

// Length in bytes of the character at `p`, which holds `left` bytes (at least 1). A lead byte
// without its second byte is a character of its own.
inline size_t CharLength(const char* p, size_t left) {
  return (left > 1 && p[1] != 0 && IsLeadByte(static_cast<unsigned char>(p[0]))) ? 2 : 1;
}

// The character after the one at `p` in a NUL-terminated string (p must not be at the NUL).
inline const char* NextChar(const char* p) {
  return (p[1] != 0 && IsLeadByte(static_cast<unsigned char>(p[0]))) ? p + 2 : p + 1;
}

// The position after the last separator ('\' or '/') of `path` that is a character of its own.
const char* FileNamePart(const char* path);

// True when the last character of `path` is a separator.
bool EndsWithSeparator(const char* path);

// Compares two file names without regard to case. Windows: the system's ANSI comparison
// (lstrcmpiA). POSIX: ASCII letters fold, double-byte characters compare as they are.
bool SameFileName(const char* a, const char* b);

}  // namespace vt

#endif  // VANTREL_FORMAT_ANSI_CHARS_H
