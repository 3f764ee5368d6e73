// `vantrel diff`: the patch script that brings one version of a product folder to the next.
#include <stdio.h>

#include "builder/code_page.h"
#include "builder/file_bytes.h"
#include "builder/tree_diff.h"
#include "cli/command.h"
#include "cli/diff_summary.h"
#include "cli/progress.h"

namespace vt {
namespace {

const char kDiffHelp[] =
    "usage: vantrel diff OLD_DIR NEW_DIR -o Patch.dat [-j N] [--codepage N]\n"
    "                    [--original-format | --no-split | --no-from]\n"
    "\n"
    "Writes the patch script that turns the files of OLD_DIR into those of NEW_DIR: a new-file\n"
    "entry for each file only in NEW_DIR, an update entry (copy, insert and add operations\n"
    "from the old file, with the CRC-32 of both versions) for each file that differs, nothing\n"
    "for equal files. Entries follow the folders: each folder's files, then its subfolders,\n"
    "by byte order of names. Files only in OLD_DIR are listed as a warning: a script cannot\n"
    "remove files.\n"
    "\n"
    "File names (UTF-8 in the folders) are written in the installer's ANSI code page, the one\n"
    "of the users' Windows: --codepage 1252 (Western), 932 (Japanese), 936, 949, 950, 1250...\n"
    "Without it only plain ASCII names are taken.\n"
    "\n"
    "Refused: a file of 4 GiB or more, a path longer than 199 bytes (it must fit 259 under a\n"
    "typical destination folder and the backup folder), names Windows refuses (devices such as\n"
    "NUL or COM1, also with a superscript digit 1, 2 or 3 where the code page has one) or that\n"
    "the code page cannot hold, names that are equal in it or differ only in case, links, a file or\n"
    "folder Vantrel.log at the top of NEW_DIR (every run writes its log there), over 65535\n"
    "entries, a file of OLD_DIR that is a folder in NEW_DIR or the reverse, and a named pipe,\n"
    "socket or device in either folder. Links inside OLD_DIR are passed over; OLD_DIR and\n"
    "NEW_DIR themselves may be links to folders, which are followed.\n"
    "\n"
    "An add operation rebuilds bytes as the old file's bytes plus a stored difference: code\n"
    "whose addresses moved differs in a few bytes everywhere, and its differences, mostly\n"
    "zeros, compress to a fraction of the literal bytes. Only current stubs run it ('vantrel\n"
    "pack' refuses an older one); --original-format writes copy and insert operations only,\n"
    "the script every stub runs.\n"
    "\n"
    "Update entries have split bodies: their operations stay in place while their add bytes\n"
    "and literal bytes go, in order, to two streams after the last entry, so that the\n"
    "installer's compression sees like bytes together (a few per cent smaller). Only stubs\n"
    "that run split bodies take such a script; --no-split keeps each operation's bytes after\n"
    "it, with add operations, for stubs that run add operations but not split bodies.\n"
    "\n"
    "A file only in NEW_DIR, of 4096 bytes or more, may be built from a file of OLD_DIR that\n"
    "the script leaves alone (one only in OLD_DIR, or the same in both): one with the same\n"
    "bytes (a moved or copied file, one copy), or else the best of up to four of the same name\n"
    "in other folders when its operations compress well below the file stored whole. Only\n"
    "stubs that run bodies from another file take such a script; --no-from stores new files\n"
    "whole, with split bodies, for stubs that run split bodies but not these. --no-split and\n"
    "--original-format never build a file from another.\n"
    "\n"
    "options:\n"
    "  -o, --output FILE    the script to write; an existing file is replaced once the new\n"
    "                       one is complete; a path inside OLD_DIR or NEW_DIR is refused\n"
    "  -j, --jobs N         files encoded side by side (default: one per core); the script\n"
    "                       is the same for any N\n"
    "  --codepage N         the installer's ANSI code page for file names\n"
    "  --original-format    copy and insert operations only\n"
    "  --no-split           add operations, each operation's bytes after it\n"
    "  --no-from            split bodies; new files stored whole\n";

int RunDiff(std::vector<std::string> args) {
  const bool originalFormat = TakeFlag(&args, "--original-format");
  const bool noSplit = TakeFlag(&args, "--no-split");
  const bool noFrom = TakeFlag(&args, "--no-from");
  const std::vector<OptionSpec> options = {
      {"--output", "-o"}, {"--jobs", "-j"}, {"--codepage", nullptr}};
  ParsedArgs parsed;
  std::string error;
  unsigned jobs = 0;
  if (!ParseArgs(args, options, &parsed, &error) || !ParseJobs(parsed, &jobs, &error))
    return FailUsage(kDiffCommand, error);
  unsigned codePage;
  if (!ParseCodePage(parsed.values["--codepage"], &codePage, &error))
    return FailUsage(kDiffCommand, error);
  if (parsed.operands.size() != 2)
    return FailUsage(kDiffCommand, "expected OLD_DIR and NEW_DIR");
  if (!parsed.values.count("--output")) return FailUsage(kDiffCommand, "missing --output");
  if (originalFormat + noSplit + noFrom > 1)
    return FailUsage(kDiffCommand, "--original-format, --no-split and --no-from exclude each "
                                   "other");
  const std::string& output = parsed.values["--output"];
  if (!CheckOutputIsNoInput(output, {}, {parsed.operands[0], parsed.operands[1]}, &error))
    return Fail(error);
  TreeDiff diff;
  // The script goes to its file as it is made: it may be as large as the changed files.
  ReplacingFile file(output);
  {
    Progress progress("diff");
    if (!DiffTrees(parsed.operands[0], parsed.operands[1], &diff, &error, Progress::Callback,
                   &progress, originalFormat ? kDefaultTunings : kAddTunings, jobs, &file,
                   originalFormat || noSplit ? BodyLayout::kInterleaved
                   : noFrom                  ? BodyLayout::kSplit
                                             : BodyLayout::kSplitFrom))
      return Fail(error);
  }
  WarnAboutDiff(diff);
  if (!file.Commit(&error)) return Fail(error);
  PrintDiffSummary(Printable(output), diff);
  return kExitOk;
}

int RunDiffCommand(const std::vector<std::string>& args) { return RunDiff(args); }

}  // namespace

const Command kDiffCommand = {"diff", "write the Patch.dat that turns one folder into another",
                              kDiffHelp, RunDiffCommand};

}  // namespace vt
