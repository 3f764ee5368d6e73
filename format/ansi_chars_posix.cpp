// The ANSI code page natively: a lead-byte table chosen by the tool (or a test), since the
// system's own names are UTF-8; file names compare by the one case fold of the name rules.
#include "format/ansi_chars.h"

#include <string.h>

#include "format/name_rules.h"

namespace vt {
namespace {

bool g_leadBytes[256];

// Code page 1252's ¹ ² ³, as in most single-byte Western code pages: the strict choice while no
// code page is chosen, where a byte is a character of its own.
const unsigned short kWesternSuperscripts[3] = {0xB9, 0xB2, 0xB3};
unsigned short g_superscripts[3] = {0xB9, 0xB2, 0xB3};

}  // namespace

bool IsLeadByte(unsigned char c) { return g_leadBytes[c]; }

void SetLeadBytes(const bool* table256) {
  if (table256)
    memcpy(g_leadBytes, table256, sizeof g_leadBytes);
  else
    memset(g_leadBytes, 0, sizeof g_leadBytes);
}

bool IsDeviceDigit(const char* c, size_t len) { return IsDeviceDigitOf(c, len, g_superscripts); }

void SetSuperscriptDigits(const unsigned short* forms3) {
  memcpy(g_superscripts, forms3 ? forms3 : kWesternSuperscripts, sizeof g_superscripts);
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
