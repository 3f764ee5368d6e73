// Code page conversion on Windows, with the system's own functions. The patch engine here
// works in the system's ANSI code page through the ANSI file calls.
#include <windows.h>

#include "builder/code_page.h"
#include "format/ansi_chars.h"

namespace vt {
namespace {

unsigned g_codePage;

bool IsAscii(const std::string& s) {
  for (unsigned char c : s)
    if (c >= 0x80) return false;
  return true;
}

bool ToWide(UINT codePage, DWORD flags, const std::string& in, std::wstring* out) {
  out->clear();
  if (in.empty()) return true;
  const int n = MultiByteToWideChar(codePage, flags, in.data(), int(in.size()), nullptr, 0);
  if (n <= 0) return false;
  out->assign(size_t(n), 0);
  return MultiByteToWideChar(codePage, flags, in.data(), int(in.size()), &(*out)[0], n) == n;
}

bool FromWide(UINT codePage, const std::wstring& in, std::string* out) {
  out->clear();
  if (in.empty()) return true;
  // No best-fit mapping: a character without its own form is refused, not replaced.
  const DWORD flags = codePage == CP_UTF8 ? 0 : WC_NO_BEST_FIT_CHARS;
  BOOL usedDefault = FALSE;
  BOOL* used = codePage == CP_UTF8 ? nullptr : &usedDefault;
  const int n =
      WideCharToMultiByte(codePage, flags, in.data(), int(in.size()), nullptr, 0, nullptr, used);
  if (n <= 0 || usedDefault) return false;
  out->assign(size_t(n), 0);
  return WideCharToMultiByte(codePage, flags, in.data(), int(in.size()), &(*out)[0], n, nullptr,
                             used) == n &&
         !usedDefault;
}

}  // namespace

bool SelectCodePage(unsigned codePage, std::string* error) {
  g_codePage = 0;
  SetLeadBytes(nullptr);
  SetSuperscriptDigits(nullptr);
  if (codePage == 0) return true;
  if (!IsValidCodePage(codePage)) {
    *error = "code page " + std::to_string(codePage) + " is not known to this system";
    return false;
  }
  g_codePage = codePage;
  // The name rules read names by the chosen code page's characters, not the system's.
  bool lead[256] = {};
  for (int c = 0x80; c < 0x100; ++c) lead[c] = IsDBCSLeadByteEx(codePage, BYTE(c)) != 0;
  SetLeadBytes(lead);
  SelectSuperscriptDigits();
  return true;
}

unsigned SelectedCodePage() { return g_codePage; }

bool Utf8ToAnsi(const std::string& utf8, std::string* ansi) {
  if (g_codePage == 0) {
    *ansi = utf8;
    return IsAscii(utf8);
  }
  std::wstring wide;
  return ToWide(CP_UTF8, MB_ERR_INVALID_CHARS, utf8, &wide) && FromWide(g_codePage, wide, ansi);
}

bool AnsiToUtf8(const std::string& ansi, std::string* utf8) {
  if (g_codePage == 0) {
    *utf8 = ansi;
    return IsAscii(ansi);
  }
  std::wstring wide;
  return ToWide(g_codePage, MB_ERR_INVALID_CHARS, ansi, &wide) && FromWide(CP_UTF8, wide, utf8);
}

bool CommandLineToAnsi(const std::string& arg, std::string* ansi) {
  *ansi = arg;
  return true;
}

bool EngineTakesCodePage(std::string* error) {
  if (g_codePage == 0 || g_codePage == GetACP()) return true;
  *error = "this system's ANSI code page is " + std::to_string(GetACP()) +
           ", and Windows file calls read the names in it, not in code page " +
           std::to_string(g_codePage);
  return false;
}

std::string NameKey(const std::string& utf8) {
  std::wstring wide;
  if (!ToWide(CP_UTF8, 0, utf8, &wide) || wide.empty()) return utf8;
  CharUpperBuffW(&wide[0], DWORD(wide.size()));
  std::string key;
  return FromWide(CP_UTF8, wide, &key) ? key : utf8;
}

}  // namespace vt
