// How the builder's messages name a file, folder or record: on one line, whatever bytes the
// name holds.
#ifndef VANTREL_BUILDER_QUOTE_H
#define VANTREL_BUILDER_QUOTE_H

#include <string>

namespace vt {

// `name` with control bytes (below 32, and 127) written as \xNN, so that a name from a hostile
// folder or file cannot break a line of output; other bytes stay as they are.
std::string Printable(const std::string& name);

// Printable(name) in single quotes: how every message names a file, folder or record.
std::string Quote(const std::string& name);

}  // namespace vt

#endif  // VANTREL_BUILDER_QUOTE_H
