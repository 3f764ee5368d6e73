// Replace-all and the Language.ini section and key names.
#include "format/text_ops.h"

#include <string.h>

namespace vt {

int ReplaceAll(char* text, size_t size, const char* pattern, const char* replacement) {
  const size_t patternLen = strlen(pattern);
  if (patternLen == 0) return 1;
  const size_t replacementLen = strlen(replacement);
  size_t textLen = strlen(text);
  // One pass from left to right, going on after each replacement: nothing that a replacement
  // brought in, alone or with its neighbours, is ever taken for the pattern, whatever an
  // AppName holds.
  for (char* hit = strstr(text, pattern); hit; hit = strstr(hit, pattern)) {
    if (textLen - patternLen + replacementLen > size - 1) return 0;
    memmove(hit + replacementLen, hit + patternLen, textLen - size_t(hit - text) - patternLen + 1);
    memcpy(hit, replacement, replacementLen);
    textLen += replacementLen - patternLen;
    hit += replacementLen;
  }
  return 1;
}

void FormatLanguageSection(uint16_t languageId, char* out) {
  out[0] = '$';
  for (int i = 1; i <= 4; ++i, languageId = uint16_t(languageId << 4)) {
    const char digit = char('0' + (languageId >> 12));
    out[i] = digit > '9' ? char(digit + 'A' - '9' - 1) : digit;
  }
  out[5] = 0;
}

void FormatIdKey(int id, char* out) {
  *out++ = 'I';
  *out++ = 'D';
  unsigned magnitude = unsigned(id);
  if (id < 0) {
    *out++ = '-';
    magnitude = 0u - magnitude;
  }
  char digits[12];
  int n = 0;
  do {
    digits[n++] = char('0' + magnitude % 10);
    magnitude /= 10;
  } while (magnitude);
  while (n) *out++ = digits[--n];
  *out = 0;
}

}  // namespace vt
