// vantrel(1) in roff and its bash completion, from the commands' help texts.
#include "cli/manual.h"

#include <string.h>

namespace vt {
namespace {

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    lines.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  return lines;
}

// One line of text as roff shows it: backslashes and dashes escaped (a plain "-" may become a
// hyphen, which breaks copying an option), and a leading dot or quote kept from being read as
// a request.
std::string RoffLine(const std::string& line) {
  std::string out = !line.empty() && (line[0] == '.' || line[0] == '\'') ? "\\&" : "";
  for (const char c : line) {
    if (c == '\\')
      out += "\\e";
    else if (c == '-')
      out += "\\-";
    else
      out += c;
  }
  return out + "\n";
}

// `text` as it stands, line for line, in the page's fixed layout.
std::string RoffVerbatim(const std::string& text) {
  std::string out = ".nf\n";
  for (const std::string& line : Lines(text)) out += RoffLine(line);
  return out + ".fi\n";
}

std::string Join(const std::vector<std::string>& words, const char* separator = " ") {
  std::string out;
  for (const std::string& word : words) out += (out.empty() ? "" : separator) + word;
  return out;
}

// The compgen action that completes the value of an option: folders for a DIR, files for a
// FILE, nothing for numbers and names.
const char* ValueCompletion(const std::string& value) {
  if (value.find("DIR") != std::string::npos) return "-d";
  if (value.find("FILE") != std::string::npos) return "-f";
  return nullptr;
}

}  // namespace

std::vector<HelpOption> OptionsOfHelp(const char* help) {
  std::vector<HelpOption> options;
  for (const std::string& line : Lines(help)) {
    if (line.compare(0, 3, "  -") != 0) continue;
    // The option's own part ends where the column of its description starts.
    const std::string head = line.substr(2, line.find("  ", 2) - 2);
    HelpOption option;
    size_t start = 0;
    while (start < head.size()) {
      size_t end = head.find(' ', start);
      if (end == std::string::npos) end = head.size();
      std::string word = head.substr(start, end - start);
      if (!word.empty() && word.back() == ',') word.pop_back();
      if (!word.empty() && word[0] == '-')
        option.names.push_back(word);
      else if (!word.empty() && option.value.empty())
        option.value = word;
      start = end + 1;
    }
    if (!option.names.empty()) options.push_back(option);
  }
  return options;
}

std::string ManualPage(const std::string& usage, const std::vector<const Command*>& commands,
                       const char* version) {
  std::string page =
      ".\\\" Made by 'vantrel --print-manual-page' from the tool's help texts.\n"
      ".TH VANTREL 1 \"\" \"vantrel " + std::string(version) + "\" \"User Commands\"\n"
      ".SH NAME\n"
      "vantrel \\- make, examine and check Vantrel installers\n"
      ".SH SYNOPSIS\n"
      ".B vantrel\n"
      ".I COMMAND\n"
      ".RI [ ARGS ...]\n"
      ".br\n"
      ".B vantrel \\-\\-version\n"
      ".SH DESCRIPTION\n";
  page += RoffVerbatim(usage);
  page += ".SH COMMANDS\n";
  for (const Command* command : commands) {
    page += ".SS " + std::string(command->name) + "\n";
    page += RoffLine(std::string(command->summary) + ".");
    page += ".PP\n" + RoffVerbatim(command->help);
  }
  return page;
}

std::string BashCompletion(const std::vector<const Command*>& commands) {
  std::vector<std::string> names;
  for (const Command* command : commands) names.push_back(command->name);
  std::string script =
      "# bash completion for vantrel, made by 'vantrel --print-bash-completion' from its help\n"
      "# texts.\n"
      "_vantrel() {\n"
      "  local cur=${COMP_WORDS[COMP_CWORD]} prev=${COMP_WORDS[COMP_CWORD-1]}\n"
      "  local commands='" + Join(names) + "'\n"
      "  local options='--help'\n"
      "  COMPREPLY=()\n"
      "  if [ \"$COMP_CWORD\" -eq 1 ]; then\n"
      "    COMPREPLY=($(compgen -W \"$commands help --help --version\" -- \"$cur\"))\n"
      "    return 0\n"
      "  fi\n"
      "  case ${COMP_WORDS[1]} in\n"
      "    help)\n"
      "      [ \"$COMP_CWORD\" -eq 2 ] && COMPREPLY=($(compgen -W \"$commands\" -- \"$cur\"))\n"
      "      return 0 ;;\n";
  for (const Command* command : commands) {
    std::vector<std::string> all = {"--help"};
    std::string valueCases;
    std::vector<std::string> silent;
    for (const HelpOption& option : OptionsOfHelp(command->help)) {
      all.insert(all.end(), option.names.begin(), option.names.end());
      if (option.value.empty()) continue;
      const std::string pattern = Join(option.names, "|");
      const char* action = ValueCompletion(option.value);
      if (action)
        valueCases += "        " + pattern + ") COMPREPLY=($(compgen " + action +
                      " -- \"$cur\")); return 0 ;;\n";
      else
        silent.push_back(pattern);
    }
    if (!silent.empty()) valueCases += "        " + Join(silent, "|") + ") return 0 ;;\n";
    script += "    " + std::string(command->name) + ")\n      options='" + Join(all) + "'\n";
    if (!valueCases.empty()) script += "      case $prev in\n" + valueCases + "      esac\n";
    script += "      ;;\n";
  }
  script +=
      "  esac\n"
      "  if [[ $cur == -* ]]; then\n"
      "    COMPREPLY=($(compgen -W \"$options\" -- \"$cur\"))\n"
      "  else\n"
      "    COMPREPLY=($(compgen -f -- \"$cur\"))\n"
      "  fi\n"
      "  return 0\n"
      "}\n"
      "complete -o filenames -F _vantrel vantrel\n";
  return script;
}

}  // namespace vt
