// The ANSI code page on Windows: the system's own lead-byte table and comparison.
#include <windows.h>

#include "format/ansi_chars.h"

namespace vt {

bool IsLeadByte(unsigned char c) { return IsDBCSLeadByte(c) != 0; }

void SetLeadBytes(const bool*) {}

bool SameFileName(const char* a, const char* b) { return lstrcmpiA(a, b) == 0; }

}  // namespace vt
