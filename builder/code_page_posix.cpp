// Code page conversion natively, with iconv; the engine's file layer is told to reach the
// UTF-8 names on disk through it.
#include <errno.h>
#include <iconv.h>
#include <locale.h>
#include <string.h>
#include <wctype.h>
#include <wchar.h>

#include "builder/code_page.h"
#include "format/ansi_chars.h"
#include "patch/fs.h"

namespace vt {
namespace {

unsigned g_codePage;
std::string g_iconvName;
std::string g_codecTag;  // the name codec's tag, which the layer keeps a pointer to

bool IsAscii(const std::string& s) {
  for (unsigned char c : s)
    if (c >= 0x80) return false;
  return true;
}

// Converts all of `in`; false on any byte sequence the conversion refuses or cuts short.
bool Convert(const char* to, const char* from, const std::string& in, std::string* out) {
  iconv_t cd = iconv_open(to, from);
  if (cd == iconv_t(-1)) return false;
  out->assign(in.size() * 4 + 4, 0);
  char* src = const_cast<char*>(in.data());
  size_t srcLeft = in.size();
  char* dst = &(*out)[0];
  size_t dstLeft = out->size();
  const size_t done = iconv(cd, &src, &srcLeft, &dst, &dstLeft);
  const bool ok = done != size_t(-1) && srcLeft == 0 &&
                  iconv(cd, nullptr, nullptr, &dst, &dstLeft) != size_t(-1);
  iconv_close(cd);
  out->resize(out->size() - dstLeft);
  return ok;
}

bool CopyOut(const std::string& s, char* out, size_t outSize) {
  if (s.size() + 1 > outSize || s.find('\0') != std::string::npos) return false;
  memcpy(out, s.c_str(), s.size() + 1);
  return true;
}

bool EngineToSystem(const char* ansi, char* out, size_t outSize) {
  std::string utf8;
  return AnsiToUtf8(ansi, &utf8) && CopyOut(utf8, out, outSize);
}

bool SystemToEngine(const char* system, char* out, size_t outSize) {
  std::string ansi;
  return Utf8ToAnsi(system, &ansi) && CopyOut(ansi, out, outSize);
}

}  // namespace

bool SelectCodePage(unsigned codePage, std::string* error) {
  g_codePage = 0;
  SetLeadBytes(nullptr);
  SetSuperscriptDigits(nullptr);
  FsSetNameCodec(nullptr);
  if (codePage == 0) return true;
  const std::string name = "CP" + std::to_string(codePage);
  iconv_t cd = iconv_open("UTF-8", name.c_str());
  if (cd == iconv_t(-1)) {
    *error = "code page " + std::to_string(codePage) + " is not known to this system";
    return false;
  }
  // A lead byte is one that iconv finds incomplete on its own.
  bool lead[256] = {};
  for (int c = 0x80; c < 0x100; ++c) {
    char in = char(c), buffer[8];
    char* src = &in;
    char* dst = buffer;
    size_t srcLeft = 1, dstLeft = sizeof buffer;
    iconv(cd, nullptr, nullptr, nullptr, nullptr);
    lead[c] = iconv(cd, &src, &srcLeft, &dst, &dstLeft) == size_t(-1) && errno == EINVAL;
  }
  iconv_close(cd);
  g_codePage = codePage;
  g_iconvName = name;
  SetLeadBytes(lead);
  g_codecTag = "names codepage " + std::to_string(codePage);
  const FsNameCodec codec = {EngineToSystem, SystemToEngine, g_codecTag.c_str()};
  FsSetNameCodec(&codec);
  SelectSuperscriptDigits();
  return true;
}

unsigned SelectedCodePage() { return g_codePage; }

bool Utf8ToAnsi(const std::string& utf8, std::string* ansi) {
  if (g_codePage == 0) {
    *ansi = utf8;
    return IsAscii(utf8);
  }
  return Convert(g_iconvName.c_str(), "UTF-8", utf8, ansi);
}

bool AnsiToUtf8(const std::string& ansi, std::string* utf8) {
  if (g_codePage == 0) {
    *utf8 = ansi;
    return IsAscii(ansi);
  }
  return Convert("UTF-8", g_iconvName.c_str(), ansi, utf8);
}

bool CommandLineToAnsi(const std::string& arg, std::string* ansi) {
  if (g_codePage == 0) {
    *ansi = arg;
    return true;
  }
  return Utf8ToAnsi(arg, ansi);
}

bool EngineTakesCodePage(std::string*) { return true; }

std::string NameKey(const std::string& utf8) {
  static locale_t utf8Locale = newlocale(LC_CTYPE_MASK, "C.UTF-8", locale_t(0));
  if (!utf8Locale) return utf8;
  const locale_t previous = uselocale(utf8Locale);
  std::wstring wide(utf8.size() + 1, 0);
  const size_t n = mbstowcs(&wide[0], utf8.c_str(), wide.size());
  std::string key = utf8;
  if (n != size_t(-1)) {
    wide.resize(n);
    for (wchar_t& c : wide) c = wchar_t(towupper(wint_t(c)));
    key.assign(wide.size() * 4 + 1, 0);
    const size_t m = wcstombs(&key[0], wide.c_str(), key.size());
    key.resize(m == size_t(-1) ? 0 : m);
    if (m == size_t(-1)) key = utf8;
  }
  uselocale(previous);
  return key;
}

}  // namespace vt
