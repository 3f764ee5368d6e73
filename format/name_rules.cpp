// Name checks shared by the payload reader, the patch engine and the package tools.
#include "format/name_rules.h"

#include "format/ansi_chars.h"

namespace vt {
namespace {

NameFault CharFault(unsigned char c) {
  if (c < 32 || c == 127) return kNameRefusedChar;
  switch (c) {
    case '\\': case '/': case ':': case '*': case '?': case '"': case '<': case '>': case '|':
      return kNameRefusedChar;
    default:
      // A lead byte here was cut off from its second byte.
      return IsLeadByte(c) ? kNameHalfCharacter : kNamePlain;
  }
}

// Windows resolves a device name whatever extension follows it ("nul.txt" is NUL), and takes
// the superscript digits ¹ ² ³ of the code page for digits ("COM¹" is COM1).
bool IsDeviceName(const char* name, size_t len) {
  size_t stem = 0;
  while (stem < len && name[stem] != '.') ++stem;
  if (stem < 3 || stem > 5) return false;
  char u[3];
  for (size_t i = 0; i < 3; ++i) u[i] = FoldCase(name[i]);
  if (stem == 3) {
    static const char* const kThree[] = {"CON", "PRN", "AUX", "NUL"};
    for (const char* d : kThree)
      if (u[0] == d[0] && u[1] == d[1] && u[2] == d[2]) return true;
    return false;
  }
  const bool com = u[0] == 'C' && u[1] == 'O' && u[2] == 'M';
  const bool lpt = u[0] == 'L' && u[1] == 'P' && u[2] == 'T';
  // The rest of the stem is the digit, of one byte or two.
  return (com || lpt) && IsDeviceDigit(name + 3, stem - 3);
}

}  // namespace

NameFault CheckComponent(const char* name, size_t len, size_t* at) {
  if (len == 0) return kNameEmpty;
  // The second byte of a double-byte character may be '\' or '|': only single-byte characters
  // are checked.
  size_t last = 0;
  for (size_t i = 0; i < len; i += CharLength(name + i, len - i)) {
    last = i;
    if (CharLength(name + i, len - i) != 1) continue;
    const NameFault fault = CharFault(static_cast<unsigned char>(name[i]));
    if (fault != kNamePlain) {
      if (at) *at = i;
      return fault;
    }
  }
  // Also "." and "..".
  if (last == len - 1 && (name[last] == '.' || name[last] == ' ')) return kNameTrailingDotOrBlank;
  return IsDeviceName(name, len) ? kNameDevice : kNamePlain;
}

bool IsSafeRelativePath(const char* path) {
  for (const char* start = path;;) {
    const char* p = start;
    while (*p != 0 && *p != '\\') p = NextChar(p);
    if (!IsSafeComponent(start, size_t(p - start))) return false;
    if (*p == 0) return true;
    start = p + 1;
  }
}

}  // namespace vt
