// Option parsing, error output and the stop on Ctrl+C shared by the vantrel commands.
#include <stdio.h>

#include "cli/command.h"
#include "cli/console.h"

namespace vt {
namespace {

const OptionSpec* FindOption(const std::vector<OptionSpec>& options, const std::string& arg) {
  for (const OptionSpec& option : options)
    if (arg == option.name || (option.shortName && arg == option.shortName)) return &option;
  return nullptr;
}

std::atomic<bool> g_interrupted;

void OnInterrupt() { g_interrupted = true; }

void PrintError(const std::string& line) {
  // Keep the order readable when stdout and stderr share a terminal.
  fflush(stdout);
  fprintf(stderr, "%s\n", line.c_str());
}

}  // namespace

bool ParseArgs(const std::vector<std::string>& args, const std::vector<OptionSpec>& options,
               ParsedArgs* parsed, std::string* error) {
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (arg == "--") {
      parsed->operands.insert(parsed->operands.end(), args.begin() + i + 1, args.end());
      break;
    }
    if (arg.size() < 2 || arg[0] != '-') {
      parsed->operands.push_back(arg);
      continue;
    }
    const size_t equals = arg.compare(0, 2, "--") == 0 ? arg.find('=') : std::string::npos;
    const std::string key = arg.substr(0, equals);
    const OptionSpec* option = FindOption(options, key);
    if (!option) {
      *error = "unknown option " + Quote(key);
      return false;
    }
    std::string value;
    if (equals != std::string::npos) {
      value = arg.substr(equals + 1);
    } else if (i + 1 < args.size()) {
      value = args[++i];
    } else {
      *error = "option " + Quote(key) + " needs a value";
      return false;
    }
    if (!parsed->values.emplace(option->name, value).second) {
      *error = "option " + Quote(option->name) + " given twice";
      return false;
    }
  }
  return true;
}

bool ParseJobs(const ParsedArgs& parsed, unsigned* jobs, std::string* error) {
  *jobs = 0;
  const auto it = parsed.values.find("--jobs");
  if (it == parsed.values.end()) return true;
  const std::string& text = it->second;
  const bool digits = !text.empty() && text.size() <= 3 &&
                      text.find_first_not_of("0123456789") == std::string::npos;
  const unsigned n = digits ? unsigned(std::stoul(text)) : 0;
  if (n < 1 || n > 256) {
    *error = "--jobs wants a number of threads from 1 to 256, not " + Quote(text);
    return false;
  }
  *jobs = n;
  return true;
}

bool WantsHelp(const std::vector<std::string>& args) {
  for (const std::string& arg : args) {
    if (arg == "--") return false;
    if (arg == "--help" || arg == "-h") return true;
  }
  return false;
}

bool TakeFlag(std::vector<std::string>* args, const char* name) {
  for (auto it = args->begin(); it != args->end() && *it != "--"; ++it) {
    if (*it == name) {
      args->erase(it);
      return true;
    }
  }
  return false;
}

int Fail(const std::string& message, ExitCode status) {
  PrintError("vantrel: " + message);
  return status;
}

int FailUsage(const Command& command, const std::string& message) {
  PrintError("vantrel " + std::string(command.name) + ": " + message + " (see 'vantrel help " +
             command.name + "')");
  return kExitUsage;
}

int FailUsage(const std::string& message) {
  PrintError("vantrel: " + message + " (see 'vantrel --help')");
  return kExitUsage;
}

void Warn(const std::string& message) { PrintError("vantrel: warning: " + message); }

StopOnInterrupt::StopOnInterrupt() {
  g_interrupted = false;
  CatchInterrupt(OnInterrupt);
}

StopOnInterrupt::~StopOnInterrupt() { ReleaseInterrupt(); }

const std::atomic<bool>* StopOnInterrupt::flag() const { return &g_interrupted; }

}  // namespace vt
