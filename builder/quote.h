// How messages name a file, folder or record: on one line, whatever bytes the name holds. Two
// kinds of name, one escaping rule: a name the system gave (a path on the command line, a file
// in the author's folders) is in the terminal's own encoding and prints as it is but for
// control bytes; a name or signature read from a package is in the installer's code page,
// which the terminal need not share, so every byte outside printable ASCII is escaped.
#ifndef VANTREL_BUILDER_QUOTE_H
#define VANTREL_BUILDER_QUOTE_H

#include <string>

namespace vt {

// `name` with control bytes (below 32, and 127) written as \xNN, so that a name from a hostile
// folder or file cannot break a line of output; other bytes stay as they are.
std::string Printable(const std::string& name);

// Printable(name) in single quotes: how messages name the system's files and folders.
std::string Quote(const std::string& name);

// `bytes` read from a package, in double quotes, with every byte outside printable ASCII
// written as \xNN and quotes and backslashes escaped, so that the text reads back unambiguously.
std::string QuoteStored(const std::string& bytes);

}  // namespace vt

#endif  // VANTREL_BUILDER_QUOTE_H
