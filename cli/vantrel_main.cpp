// vantrel, the package tool: dispatches "vantrel COMMAND ARGS..." through the command table.
//
// Exit statuses: ExitCode in command.h, listed for users in PrintUsage and the README.
//
// A new command is one file defining a Command (see command.h) and one line in kCommands.
#include <stdio.h>
#include <string.h>

#include <exception>
#include <iterator>
#include <new>
#include <string>
#include <vector>

#include "cli/command.h"
#include "cli/console.h"
#include "cli/manual.h"
#include "cli/version.h"

namespace vt {
namespace {

const Command* const kCommands[] = {
    &kPackCommand,
    &kInspectCommand,
    &kApplyCommand,
    &kDiffCommand,
    &kVerifyCommand,
    &kBuildCommand,
};

const Command* FindCommand(const std::string& name) {
  for (const Command* command : kCommands)
    if (name == command->name) return command;
  return nullptr;
}

// What 'vantrel --help' prints; the manual page's description too.
std::string UsageText() {
  std::string text =
      "usage: vantrel COMMAND [ARGS...]\n"
      "       vantrel --version\n"
      "\n"
      "Makes and examines Vantrel installers.\n"
      "\n"
      "commands:\n";
  for (const Command* command : kCommands) {
    char line[160];
    snprintf(line, sizeof line, "  %-9s %s\n", command->name, command->summary);
    text += line;
  }
  text +=
      "\n"
      "'vantrel help COMMAND' or 'vantrel COMMAND --help' shows a command's options.\n"
      "'vantrel --version' shows the version and the stub that build and pack use without\n"
      "--stub: the file that the environment variable VANTREL_STUB names, or else the one\n"
      "installed beside the program, ../share/vantrel/vantrel_stub.exe from its folder.\n"
      "Exit status: 0 success, 1 bad input, a refusal, a damaged installer or a failed\n"
      "check, 2 wrong usage, 5 interrupted; apply also 3 damaged script, 4 main file\n"
      "failed, 6 entries skipped or failed (see 'vantrel help apply').\n";
  return text;
}

void PrintUsage(FILE* out) { fputs(UsageText().c_str(), out); }

int Help(const std::vector<std::string>& topics) {
  if (topics.empty()) {
    PrintUsage(stdout);
    return kExitOk;
  }
  if (topics.size() > 1) return FailUsage("help takes one command name");
  const Command* command = FindCommand(topics[0]);
  if (!command) return FailUsage("no command " + Quote(topics[0]));
  fputs(command->help, stdout);
  return kExitOk;
}

int Run(const std::vector<std::string>& args) {
  if (args.empty()) {
    PrintUsage(stderr);
    return kExitUsage;
  }
  const std::string& first = args[0];
  const std::vector<std::string> rest(args.begin() + 1, args.end());
  if (first == "--help" || first == "-h") return Help({});
  if (first == "--version")
    return rest.empty() ? PrintVersion() : FailUsage("--version takes no arguments");
  // Not in the usage: the build runs these to make the manual page and the completion.
  const std::vector<const Command*> commands(std::begin(kCommands), std::end(kCommands));
  if (first == "--print-manual-page") {
    fputs(ManualPage(UsageText(), commands, VantrelVersion()).c_str(), stdout);
    return kExitOk;
  }
  if (first == "--print-bash-completion") {
    fputs(BashCompletion(commands).c_str(), stdout);
    return kExitOk;
  }
  if (first == "help") return Help(rest);
  const Command* command = FindCommand(first);
  if (!command) {
    if (!first.empty() && first[0] == '-') return FailUsage("unknown option " + Quote(first));
    return FailUsage("no command " + Quote(first));
  }
  if (WantsHelp(rest)) {
    fputs(command->help, stdout);
    return kExitOk;
  }
  return command->run(rest);
}

}  // namespace
}  // namespace vt

int main(int argc, char** argv) {
  vt::PrepareConsole();
  try {
    return vt::Run(std::vector<std::string>(argv + 1, argv + argc));
  } catch (const std::bad_alloc&) {
    return vt::Fail("out of memory");
  } catch (const std::exception& e) {
    return vt::Fail(e.what());
  }
}
