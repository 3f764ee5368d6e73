// Walks over ANSI paths by character, with the lead bytes of the platform file.
#include "format/ansi_chars.h"

namespace vt {

const char* FileNamePart(const char* path) {
  const char* name = path;
  for (const char* p = path; *p != 0; p = NextChar(p))
    if (*p == '\\' || *p == '/') name = p + 1;
  return name;
}

bool EndsWithSeparator(const char* path) {
  if (*path == 0) return false;
  const char* last = path;
  for (const char* p = path; *p != 0; p = NextChar(p)) last = p;
  return *last == '\\' || *last == '/';
}

bool IsDeviceDigitOf(const char* c, size_t len, const unsigned short* forms3) {
  if (len == 1 && c[0] >= '1' && c[0] <= '9') return true;
  const unsigned code = len == 1   ? static_cast<unsigned char>(c[0])
                        : len == 2 ? static_cast<unsigned char>(c[0]) * 256u +
                                         static_cast<unsigned char>(c[1])
                                   : 0;
  for (size_t i = 0; i < 3; ++i)
    if (code != 0 && code == forms3[i]) return true;
  return false;
}

}  // namespace vt
