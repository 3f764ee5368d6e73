// The manual page and the bash completion, written at build time from the very texts that
// `vantrel --help` and `vantrel help COMMAND` print, so the three never disagree.
#ifndef VANTREL_CLI_MANUAL_H
#define VANTREL_CLI_MANUAL_H

#include <string>
#include <vector>

#include "cli/command.h"

namespace vt {

// One option as a command's help text lists it under its options: a line that starts with two
// spaces and a dash, "  -o, --output FILE    what it does".
struct HelpOption {
  std::vector<std::string> names;  // "-o", "--output"
  std::string value;               // "FILE", or empty for a flag
};

// The options that `help` lists, in its order.
std::vector<HelpOption> OptionsOfHelp(const char* help);

// The roff source of vantrel(1): `usage` (the text of 'vantrel --help') as the description,
// then each command's summary and help text.
std::string ManualPage(const std::string& usage, const std::vector<const Command*>& commands,
                       const char* version);

// A bash completion script: command names, each command's options, and after an option that
// takes a FILE or a DIR, file or folder names.
std::string BashCompletion(const std::vector<const Command*>& commands);

}  // namespace vt

#endif  // VANTREL_CLI_MANUAL_H
