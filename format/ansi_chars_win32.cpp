// The ANSI code page on Windows: the system's own lead-byte table and comparison, unless the
// tool has chosen another code page to write names in.
#include <windows.h>
#include <string.h>

#include "format/ansi_chars.h"

namespace vt {
namespace {

bool g_chosen;
bool g_leadBytes[256];

}  // namespace

bool IsLeadByte(unsigned char c) { return g_chosen ? g_leadBytes[c] : IsDBCSLeadByte(c) != 0; }

void SetLeadBytes(const bool* table256) {
  g_chosen = table256 != nullptr;
  if (g_chosen) memcpy(g_leadBytes, table256, sizeof g_leadBytes);
}

bool SameFileName(const char* a, const char* b) { return lstrcmpiA(a, b) == 0; }

}  // namespace vt
