// Byte-string operations behind the text lookup: bounded replace-all and the names used as
// Language.ini sections and keys. Portable; no allocation.
#ifndef VANTREL_FORMAT_TEXT_OPS_H
#define VANTREL_FORMAT_TEXT_OPS_H

#include <stddef.h>
#include <stdint.h>

namespace vt {

// Replaces every occurrence of `pattern` in the NUL-terminated `text` (a buffer of `size`
// characters, NUL included) by `replacement`, in one pass from left to right: the search goes
// on after each replacement, so no replacement is searched, not even together with the text
// around it. Returns 1 when every occurrence was replaced, 0 when it stopped because the next
// replacement would not fit; the replacements made so far stay. An empty pattern changes
// nothing.
int ReplaceAll(char* text, size_t size, const char* pattern, const char* replacement);

// Writes "$" and `languageId` as four upper-case hex digits ("$0409") into `out` (6 chars).
void FormatLanguageSection(uint16_t languageId, char* out);

// Writes "ID" and `id` in signed decimal ("ID355", "ID-1") into `out` (16 chars).
void FormatIdKey(int id, char* out);

}  // namespace vt

#endif  // VANTREL_FORMAT_TEXT_OPS_H
