// Names on one line of a message.
#include "builder/quote.h"

namespace vt {

std::string Printable(const std::string& name) {
  static const char kHex[] = "0123456789abcdef";
  std::string out;
  for (const char c : name) {
    const unsigned char u = static_cast<unsigned char>(c);
    if (u < 32 || u == 127) {
      out += "\\x";
      out += kHex[u >> 4];
      out += kHex[u & 15];
    } else {
      out += c;
    }
  }
  return out;
}

std::string Quote(const std::string& name) { return "'" + Printable(name) + "'"; }

}  // namespace vt
