// The ANSI code page on Windows: the system's own lead-byte table and comparison, unless the
// tool has chosen another code page to write names in.
#include <windows.h>
#include <string.h>

#include "format/ansi_chars.h"

namespace vt {
namespace {

bool g_chosen;
bool g_leadBytes[256];
bool g_superscriptsChosen;
unsigned short g_superscripts[3];

}  // namespace

bool IsLeadByte(unsigned char c) { return g_chosen ? g_leadBytes[c] : IsDBCSLeadByte(c) != 0; }

void SetLeadBytes(const bool* table256) {
  g_chosen = table256 != nullptr;
  if (g_chosen) memcpy(g_leadBytes, table256, sizeof g_leadBytes);
}

bool IsDeviceDigit(const char* c, size_t len) {
  if (g_superscriptsChosen) return IsDeviceDigitOf(c, len, g_superscripts);
  // The system's own conversion, so that every ANSI code page answers as its file calls do;
  // two characters do not fit the one wide character offered. ¹ is U+00B9, ² and ³ are U+00B2
  // and U+00B3.
  WCHAR wide;
  return MultiByteToWideChar(CP_ACP, 0, c, int(len), &wide, 1) == 1 &&
         (unsigned(wide - '1') < 9 || (wide | 1) == 0xB3 || wide == 0xB9);
}

void SetSuperscriptDigits(const unsigned short* forms3) {
  g_superscriptsChosen = forms3 != nullptr;
  if (g_superscriptsChosen) memcpy(g_superscripts, forms3, sizeof g_superscripts);
}

bool SameFileName(const char* a, const char* b) { return lstrcmpiA(a, b) == 0; }

}  // namespace vt
