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

}  // namespace vt
