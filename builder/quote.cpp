// Names on one line of a message.
#include "builder/quote.h"

namespace vt {
namespace {

// `bytes` with control bytes written as \xNN; `stored` also escapes bytes from 128 up, and
// '"' and '\' as \" and \\.
std::string Escaped(const std::string& bytes, bool stored) {
  static const char kHex[] = "0123456789abcdef";
  std::string out;
  for (const char c : bytes) {
    const unsigned char u = static_cast<unsigned char>(c);
    if (stored && (c == '"' || c == '\\')) {
      out += '\\';
      out += c;
    } else if (u < 32 || u == 127 || (stored && u > 127)) {
      out += "\\x";
      out += kHex[u >> 4];
      out += kHex[u & 15];
    } else {
      out += c;
    }
  }
  return out;
}

}  // namespace

std::string Printable(const std::string& name) { return Escaped(name, false); }

std::string Quote(const std::string& name) { return "'" + Escaped(name, false) + "'"; }

std::string QuoteStored(const std::string& bytes) { return '"' + Escaped(bytes, true) + '"'; }

}  // namespace vt
