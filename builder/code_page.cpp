// The parts of the code page handling that do not depend on the system.
#include "builder/code_page.h"

#include <stdlib.h>

#include "format/ansi_chars.h"

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

void SelectSuperscriptDigits() {
  if (SelectedCodePage() == 0) {
    SetSuperscriptDigits(nullptr);
    return;
  }
  // The conversion takes no best fit: a code page without ¹ does not offer its "1".
  static const char* const kDigits[3] = {"\xc2\xb9", "\xc2\xb2", "\xc2\xb3"};
  unsigned short forms[3] = {0, 0, 0};
  for (int i = 0; i < 3; ++i) {
    std::string ansi;
    if (!Utf8ToAnsi(kDigits[i], &ansi) || ansi.empty() || ansi.size() > 2) continue;
    forms[i] = static_cast<unsigned char>(ansi[0]);
    if (ansi.size() == 2) forms[i] = forms[i] * 256 + static_cast<unsigned char>(ansi[1]);
  }
  SetSuperscriptDigits(forms);
}

std::string ShownName(const std::string& ansi) {
  std::string utf8;
  return SelectedCodePage() != 0 && AnsiToUtf8(ansi, &utf8) ? utf8 : ansi;
}

}  // namespace vt
