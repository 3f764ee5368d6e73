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

bool IsSuperscriptDigit(const char* c, size_t len) {
  if (g_superscriptsChosen) {
    const unsigned code = len == 1   ? static_cast<unsigned char>(c[0])
                          : len == 2 ? static_cast<unsigned char>(c[0]) * 256u +
                                           static_cast<unsigned char>(c[1])
                                     : 0;
    for (unsigned short form : g_superscripts)
      if (code != 0 && code == form) return true;
    return false;
  }
  // The system's own conversion, so that every ANSI code page answers as its file calls do.
  WCHAR wide[2];
  if (MultiByteToWideChar(CP_ACP, 0, c, int(len), wide, 2) != 1) return false;
  return wide[0] == 0xB9 || wide[0] == 0xB2 || wide[0] == 0xB3;
}

void SetSuperscriptDigits(const unsigned short* forms3) {
  g_superscriptsChosen = forms3 != nullptr;
  if (g_superscriptsChosen) memcpy(g_superscripts, forms3, sizeof g_superscripts);
}

bool SameFileName(const char* a, const char* b) { return lstrcmpiA(a, b) == 0; }

}  // namespace vt
