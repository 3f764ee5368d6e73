// The parts of the code page handling that do not depend on the system.
#include "builder/code_page.h"

#include <stdlib.h>

namespace vt {

bool ParseCodePage(const std::string& value, unsigned* codePage, std::string* error) {
  *codePage = 0;
  if (value.empty()) return true;
  char* end = nullptr;
  const unsigned long number = strtoul(value.c_str(), &end, 10);
  if (*end != 0 || number == 0 || number > 65535) {
    *error = "--codepage takes a Windows code page number such as 1252 or 932, not '" + value +
             "'";
    return false;
  }
  *codePage = unsigned(number);
  return SelectCodePage(*codePage, error);
}

std::string ShownName(const std::string& ansi) {
  std::string utf8;
  return SelectedCodePage() != 0 && AnsiToUtf8(ansi, &utf8) ? utf8 : ansi;
}

}  // namespace vt
