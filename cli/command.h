// The vantrel command table's entry type and what every command shares: exit codes, option
// parsing and the one-line error.
#ifndef VANTREL_CLI_COMMAND_H
#define VANTREL_CLI_COMMAND_H

#include <map>
#include <string>
#include <vector>

#include "builder/quote.h"

namespace vt {

// Every exit status of every command, described for users in the README and the usage text.
enum ExitCode {
  kExitOk = 0,
  kExitBadInput = 1,         // unreadable or refused input, damaged installer, failed write
  kExitUsage = 2,            // wrong command line
  kExitScriptDamaged = 3,    // apply: damaged or empty script; rolled back
  kExitMainFileFailed = 4,   // apply: the main file could not be updated; rolled back
  kExitInterrupted = 5,      // interrupted by a signal or Ctrl+C; apply rolled back
  kExitEntriesSkipped = 6,   // apply: the run completed, but some entries were skipped or failed
};

struct Command {
  const char* name;
  const char* summary;  // one line for the command list
  const char* help;     // `vantrel help NAME`: the usage line first, then what it does
  // Runs the command on the arguments after its name ("--help" is handled before). Returns an
  // ExitCode and has printed any error itself.
  int (*run)(const std::vector<std::string>& args);
};

// One per command file; vantrel_main.cpp lists them in its table.
extern const Command kPackCommand;
extern const Command kInspectCommand;
extern const Command kApplyCommand;
extern const Command kDiffCommand;
extern const Command kVerifyCommand;
extern const Command kBuildCommand;

// An option that takes one value: "--name VALUE", "--name=VALUE" or "-x VALUE" for its short form.
struct OptionSpec {
  const char* name;       // "--stub"
  const char* shortName;  // "-o", or nullptr
};

struct ParsedArgs {
  std::map<std::string, std::string> values;  // by OptionSpec::name
  std::vector<std::string> operands;          // in order; everything after "--" is one
};

// Parses `args` against `options`. Returns false and sets *error on an unknown option, an option
// without its value, or an option given twice.
bool ParseArgs(const std::vector<std::string>& args, const std::vector<OptionSpec>& options,
               ParsedArgs* parsed, std::string* error);

// The thread count of "--jobs"/"-j" in `parsed`: 0 (one per core) when absent. False with
// *error when it is not a whole number from 1 to 256.
bool ParseJobs(const ParsedArgs& parsed, unsigned* jobs, std::string* error);

// Removes the flag `name` (an option without a value) from `args`, before any "--"; true when
// it was there.
bool TakeFlag(std::vector<std::string>* args, const char* name);

// True when `args` asks for help ("--help" or "-h" before any "--").
bool WantsHelp(const std::vector<std::string>& args);

// Prints "vantrel: MESSAGE" on stderr and returns `status`: every error leaves this way, as one
// line (quote names in MESSAGE with Quote).
int Fail(const std::string& message, ExitCode status = kExitBadInput);

// Prints "vantrel CMD: MESSAGE (see 'vantrel help CMD')" on stderr and returns kExitUsage.
int FailUsage(const Command& command, const std::string& message);

// Prints "vantrel: MESSAGE (see 'vantrel --help')" on stderr and returns kExitUsage.
int FailUsage(const std::string& message);

// Prints "vantrel: warning: MESSAGE" on stderr.
void Warn(const std::string& message);

}  // namespace vt

#endif  // VANTREL_CLI_COMMAND_H
