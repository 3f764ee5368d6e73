// The ANSI code page natively: a lead-byte table chosen by the tool (or a test), since the
// system's own names are UTF-8.
#include "format/ansi_chars.h"

#include <string.h>

namespace vt {
namespace {

bool g_leadBytes[256];

char FoldCase(char c) { return (c >= 'A' && c <= 'Z') ? char(c - 'A' + 'a') : c; }

}  // namespace

bool IsLeadByte(unsigned char c) { return g_leadBytes[c]; }

void SetLeadBytes(const bool* table256) {
  if (table256)
    memcpy(g_leadBytes, table256, sizeof g_leadBytes);
  else
    memset(g_leadBytes, 0, sizeof g_leadBytes);
}

bool SameFileName(const char* a, const char* b) {
  while (*a != 0 && *b != 0) {
    const char* nextA = NextChar(a);
    const char* nextB = NextChar(b);
    if (nextA - a != nextB - b) return false;
    if (nextA - a == 2 ? (a[0] != b[0] || a[1] != b[1]) : FoldCase(*a) != FoldCase(*b))
      return false;
    a = nextA;
    b = nextB;
  }
  return *a == 0 && *b == 0;
}

}  // namespace vt
