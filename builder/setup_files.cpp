// Setup texts into the installer's code page, and the build's checks of the setup files.
#include "builder/setup_files.h"

#include <string.h>

#include "builder/code_page.h"
#include "format/file_format.h"

namespace vt {
namespace {

const uint8_t kUtf8Mark[] = {0xEF, 0xBB, 0xBF};

bool IsAscii(const std::string& s) {
  for (unsigned char c : s)
    if (c >= 0x80) return false;
  return true;
}

// Well-formed UTF-8: no overlong forms, surrogates or values past U+10FFFF.
bool IsUtf8(const std::string& s) {
  for (size_t i = 0; i < s.size();) {
    const unsigned char c = static_cast<unsigned char>(s[i]);
    size_t n;
    uint32_t min, value;
    if (c < 0x80) { ++i; continue; }
    if ((c & 0xE0) == 0xC0) { n = 1; min = 0x80; value = c & 0x1F; }
    else if ((c & 0xF0) == 0xE0) { n = 2; min = 0x800; value = c & 0x0F; }
    else if ((c & 0xF8) == 0xF0) { n = 3; min = 0x10000; value = c & 0x07; }
    else return false;
    if (s.size() - i <= n) return false;
    for (size_t k = 1; k <= n; ++k) {
      const unsigned char t = static_cast<unsigned char>(s[i + k]);
      if ((t & 0xC0) != 0x80) return false;
      value = value << 6 | (t & 0x3F);
    }
    if (value < min || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) return false;
    i += n + 1;
  }
  return true;
}

// The number of the first line of `utf8` that the code page cannot hold.
size_t FirstBadLine(const std::string& utf8) {
  size_t line = 1;
  for (size_t start = 0; start <= utf8.size(); ++line) {
    size_t end = utf8.find('\n', start);
    if (end == std::string::npos) end = utf8.size();
    std::string ignored;
    if (!Utf8ToAnsi(utf8.substr(start, end - start), &ignored)) return line;
    start = end + 1;
  }
  return 0;
}

std::string CodePageName() { return "code page " + std::to_string(SelectedCodePage()); }

const char kNeedsCodePage[] =
    " is not plain ASCII; give the installer's code page with --codepage (the user's ANSI code "
    "page, such as 1252 or 932)";

// ---- Update.ini and Language.ini --------------------------------------------------------

struct IniLine {
  size_t number;
  std::string section;
  std::string key;    // empty for a section line
  std::string value;
};

std::string Trim(const std::string& s) {
  const size_t first = s.find_first_not_of(" \t\r");
  if (first == std::string::npos) return "";
  return s.substr(first, s.find_last_not_of(" \t\r") - first + 1);
}

// Section and key lines as the profile functions read them; comments and other lines skipped.
std::vector<IniLine> ReadIni(const std::vector<uint8_t>& bytes) {
  std::vector<IniLine> lines;
  const std::string text(bytes.begin(), bytes.end());
  std::string section;
  size_t number = 0;
  for (size_t start = 0; start < text.size(); ) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    const std::string line = Trim(text.substr(start, end - start));
    start = end + 1;
    ++number;
    if (line.empty() || line[0] == ';') continue;
    if (line[0] == '[') {
      section = line.substr(1, line.find(']') == std::string::npos ? std::string::npos
                                                                   : line.find(']') - 1);
      lines.push_back({number, section, "", ""});
      continue;
    }
    const size_t equals = line.find('=');
    if (equals == std::string::npos) continue;
    lines.push_back({number, section, Trim(line.substr(0, equals)), Trim(line.substr(equals + 1))});
  }
  return lines;
}

bool EqualIgnoringCase(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    char x = a[i], y = b[i];
    if (x >= 'a' && x <= 'z') x = char(x - 32);
    if (y >= 'a' && y <= 'z') y = char(y - 32);
    if (x != y) return false;
  }
  return true;
}

// The keys the installer reads, and those the builder may add for the author's own use.
const char* const kKnownKeys[][2] = {
    {"App", "AppName"},          {"App", "MainFile"},       {"App", "ShowBGW"},
    {"App", "ShowSplash"},       {"App", "ApplierMutex"},   {"App", "TargetMutex"},
    {"App", "Description"},      {"Author", "CopyRight"},   {"Author", "Name"},
    {"Author", "Email"},         {"Author", "HomePage"},    {"Path", "SoftWarePath"},
    {"Path", "BackupDirectory"}, {"ShellExec", "Command"},  {"ShellExec", "Parameter"},
    {"ShellExec", "ShowWindow"},
};

bool IsKnownKey(const IniLine& line) {
  for (const auto& known : kKnownKeys)
    if (EqualIgnoringCase(line.section, known[0]) && EqualIgnoringCase(line.key, known[1]))
      return true;
  return false;
}

void CheckUpdateIni(const std::vector<uint8_t>& bytes, const std::vector<std::string>& newPaths,
                    SetupFindings* findings) {
  for (const IniLine& line : ReadIni(bytes)) {
    if (line.key.empty()) continue;
    const std::string where =
        "Update.ini line " + std::to_string(line.number) + ": [" + line.section + "] ";
    if (!IsKnownKey(line)) {
      findings->warnings.push_back(where + "'" + line.key +
                                   "' is not a key the installer knows; it is ignored");
      continue;
    }
    if (!EqualIgnoringCase(line.key, "MainFile") || line.value.empty()) continue;
    // The installer looks for it relative to DestinationDir, where NEW's files land.
    std::string stored = line.value[0] == '\\' ? line.value : "\\" + line.value;
    std::string wanted;
    if (!AnsiToUtf8(stored, &wanted)) wanted = stored;
    bool found = false;
    for (const std::string& path : newPaths) {
      std::string shown;
      if (!AnsiToUtf8(path, &shown)) shown = path;
      found = found || NameKey(shown) == NameKey(wanted);
    }
    if (!found)
      findings->warnings.push_back(where + "MainFile '" + ShownName(line.value) +
                                   "' is not a file of NEW; the installer cannot start it");
  }
}

bool IsHex(char c) { return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F') || (c >= 'a' && c <= 'f'); }

void CheckLanguageIni(const std::vector<uint8_t>& bytes, SetupFindings* findings) {
  for (const IniLine& line : ReadIni(bytes)) {
    if (!line.key.empty()) continue;
    const std::string& s = line.section;
    if (s.size() == 5 && s[0] == '$' && IsHex(s[1]) && IsHex(s[2]) && IsHex(s[3]) && IsHex(s[4]))
      continue;
    findings->warnings.push_back("Language.ini line " + std::to_string(line.number) +
                                 ": section [" + s +
                                 "] is not '$' and a language's four hex digits (such as "
                                 "$0407); the installer never reads it");
  }
}

// ---- Bitmaps --------------------------------------------------------------------------------

uint16_t Le16(const uint8_t* p) { return uint16_t(p[0] | p[1] << 8); }
// A copy of its own: the mingw linker refuses an out-of-line ReadLe32 here beside the one that
// the link-time optimised engine emits.
uint32_t Le32(const uint8_t* p) { return uint32_t(Le16(p)) | uint32_t(Le16(p + 2)) << 16; }

// The header fields LoadImage reads, from either header form.
struct BitmapHeader {
  uint32_t bitsOffset;  // of the pixel data in the file
  uint32_t headerSize;
  int64_t width, height;  // height < 0: rows stored top-down
  uint16_t planes, bits;
  uint32_t compression, colours;  // colours: the colour table's entries as stored (0: default)
};

// Why LoadImage could not load a bitmap with `h` from a file of `fileSize` bytes, or "".
std::string BitmapFault(const BitmapHeader& h, size_t fileSize) {
  if (h.planes != 1)
    return std::to_string(h.planes) + " colour planes; LoadImage takes only 1";
  if (h.bits != 1 && h.bits != 4 && h.bits != 8 && h.bits != 16 && h.bits != 24 && h.bits != 32)
    return std::to_string(h.bits) + " bits per pixel; LoadImage takes 1, 4, 8, 16, 24 or 32";
  // 0 plain, 3 bit fields; run-length, JPEG and PNG forms are not loaded as a plain bitmap.
  if (h.compression != 0 && h.compression != 3)
    return "a compressed bitmap (compression " + std::to_string(h.compression) +
           "); save it uncompressed so that LoadImage loads it";
  const uint64_t rows = uint64_t(h.height < 0 ? -h.height : h.height);
  if (h.width <= 0 || rows == 0 || h.width > 0x7FFFFFFF || rows > 0x7FFFFFFF)
    return "its size is " + std::to_string(h.width) + " x " + std::to_string(h.height) +
           " pixels; a bitmap needs a width and a height of at least one";
  // The colour table of up to 256 entries (three bytes each in the old header form) and the
  // bit-field masks lie between the header and the pixels.
  const uint64_t maxColours = h.bits <= 8 ? uint64_t(1) << h.bits : 0;
  if (h.colours > 256 || (h.bits <= 8 && h.colours > maxColours))
    return std::to_string(h.colours) + " colour table entries for " + std::to_string(h.bits) +
           " bits per pixel";
  const uint64_t table = (h.colours ? h.colours : maxColours) * (h.headerSize == 12 ? 3 : 4) +
                         (h.compression == 3 && h.headerSize == 40 ? 12 : 0);
  const uint64_t tableEnd = 14 + uint64_t(h.headerSize) + table;
  if (h.bitsOffset < tableEnd || h.bitsOffset > fileSize)
    return "its pixel data offset " + std::to_string(h.bitsOffset) + " lies " +
           (h.bitsOffset > fileSize ? "past the file's end (" + std::to_string(fileSize) + " bytes)"
                                    : "inside its headers (which end at " +
                                          std::to_string(tableEnd) + ")");
  const uint64_t rowBytes = (uint64_t(h.width) * h.bits + 31) / 32 * 4;
  const uint64_t available = fileSize - h.bitsOffset;
  if (rowBytes > available / rows)
    return "its " + std::to_string(h.width) + " x " + std::to_string(rows) + " pixels need " +
           std::to_string(rowBytes * rows) +
           " bytes of pixel data, and the file holds " + std::to_string(available) +
           " after offset " + std::to_string(h.bitsOffset);
  return "";
}

void CheckBitmap(const std::string& name, const std::vector<uint8_t>& b, SetupFindings* findings) {
  const size_t kFileHeader = 14;
  if (b.size() < kFileHeader + 12 || b[0] != 'B' || b[1] != 'M') {
    findings->errors.push_back(name + ": not a BMP file; the installer's LoadImage cannot load it");
    return;
  }
  const uint8_t* info = &b[kFileHeader];
  BitmapHeader h = {Le32(&b[10]), Le32(info), 0, 0, 0, 0, 0, 0};
  if (h.headerSize == 12) {
    h.width = Le16(info + 4);
    h.height = Le16(info + 6);
    h.planes = Le16(info + 8);
    h.bits = Le16(info + 10);
  } else if (h.headerSize >= 40 && b.size() >= uint64_t(kFileHeader) + h.headerSize) {
    h.width = int32_t(Le32(info + 4));
    h.height = int32_t(Le32(info + 8));
    h.planes = Le16(info + 12);
    h.bits = Le16(info + 14);
    h.compression = Le32(info + 16);
    h.colours = Le32(info + 32);
  } else {
    findings->errors.push_back(name + ": its bitmap header is damaged");
    return;
  }
  const std::string fault = BitmapFault(h, b.size());
  if (!fault.empty()) {
    findings->errors.push_back(name + ": " + fault);
    return;
  }
  if (h.bits == 32)
    findings->warnings.push_back(name + ": 32 bits per pixel; its alpha channel is not drawn, "
                                 "transparent parts show as their colour values");
}

bool Has(const std::vector<std::string>& names, const char* name) {
  for (const std::string& n : names)
    if (n == name) return true;
  return false;
}

}  // namespace

bool IsSetupText(const std::string& name) {
  static const char* const kTexts[] = {"Update.ini", "Language.ini", "License.txt", "Guide.txt",
                                       "Readme.txt"};
  for (const char* text : kTexts)
    if (name == text) return true;
  return false;
}

bool ConvertSetupText(const std::string& name, const std::vector<uint8_t>& bytes,
                      std::vector<uint8_t>* out, std::string* error) {
  std::string text(bytes.begin(), bytes.end());
  const bool marked = text.size() >= 3 && memcmp(text.data(), kUtf8Mark, 3) == 0;
  if (marked) text.erase(0, 3);
  if (!marked && IsAscii(text)) {
    *out = bytes;
    return true;
  }
  if (SelectedCodePage() == 0) {
    *error = "'" + name + "'" + kNeedsCodePage;
    return false;
  }
  std::string ansi;
  if (marked || IsUtf8(text)) {
    if (!Utf8ToAnsi(text, &ansi)) {
      *error = "'" + name + "' line " + std::to_string(FirstBadLine(text)) + ": " +
               CodePageName() + " cannot hold a character of it";
      return false;
    }
  } else {
    std::string ignored;
    if (!AnsiToUtf8(text, &ignored)) {
      *error = "'" + name + "' is neither UTF-8 nor text of " + CodePageName();
      return false;
    }
    ansi = text;
  }
  out->assign(ansi.begin(), ansi.end());
  return true;
}

void CheckSetupFiles(const std::vector<std::string>& names,
                     const std::vector<std::vector<uint8_t>>& contents,
                     const std::vector<std::string>& newPaths, SetupFindings* findings) {
  for (size_t i = 0; i < names.size(); ++i) {
    if (names[i] == "Update.ini") CheckUpdateIni(contents[i], newPaths, findings);
    if (names[i] == "Language.ini") CheckLanguageIni(contents[i], findings);
    if (names[i] == "Package.bmp" || names[i] == "Splash.bmp")
      CheckBitmap(names[i], contents[i], findings);
  }
  for (const char* text : {"License.txt", "Guide.txt"})
    if (!Has(names, text))
      findings->warnings.push_back(std::string(text) +
                                   " is missing; the installer shows an empty page for it");
}

}  // namespace vt
