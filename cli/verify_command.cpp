// `vantrel verify`: applies an installer's Patch.dat with the patch engine to scratch copies and
// compares the result with the new version.
#include <stdint.h>

#include "builder/code_page.h"
#include "builder/file_bytes.h"
#include "builder/file_map.h"
#include "builder/patch_verify.h"
#include "builder/quote.h"
#include "cli/command.h"
#include "cli/console.h"
#include "cli/report.h"

namespace vt {
namespace {

const char kVerifyHelp[] =
    "usage: vantrel verify INSTALLER OLD_DIR NEW_DIR [--codepage N]\n"
    "\n"
    "Unpacks the installer's Patch.dat as the installer does and applies it with the installer's\n"
    "own patch engine, in a scratch folder, three times:\n"
    "  to a copy of OLD_DIR: every entry must give Updated or Installed and the result must equal\n"
    "    NEW_DIR byte for byte (files only in OLD_DIR stay, nothing else may appear);\n"
    "  to a copy of NEW_DIR (a user who already updated): update entries must give\n"
    "    AlreadyUpdated and leave the files as they are; entries built from another file give\n"
    "    Overwritten, or OriginalMissing where NEW_DIR lacks that file;\n"
    "  to a copy of OLD_DIR whose changed files, and the files that entries are built from,\n"
    "    were altered (a foreign version): those entries must give OriginalCrcError and leave\n"
    "    those files untouched (and make none).\n"
    "Prints what each user would see; exit status 1 with one line per fault otherwise, 5 when\n"
    "interrupted (the scratch folder is removed either way).\n"    "OLD_DIR and NEW_DIR are read as 'vantrel diff' reads them, with its refusals (a named\n"
    "pipe, socket or device, Vantrel.log at the top of NEW_DIR, ...); either may be a link to\n"
    "a folder, which is followed. A script entry in the place of Vantrel.log fails: every run\n"
    "refuses it.\n"
    "\n"
    "options:\n"
    "  --codepage N   the installer's ANSI code page, as given to build, for folders whose\n"
    "                 names are not plain ASCII\n";

int RunVerify(const std::vector<std::string>& args) {
  ParsedArgs parsed;
  std::string error;
  if (!ParseArgs(args, {{"--codepage", nullptr}}, &parsed, &error))
    return FailUsage(kVerifyCommand, error);
  unsigned codePage;
  if (!ParseCodePage(parsed.values["--codepage"], &codePage, &error))
    return FailUsage(kVerifyCommand, error);
  if (!EngineTakesCodePage(&error)) return Fail("cannot verify: " + error);
  if (parsed.operands.size() != 3)
    return FailUsage(kVerifyCommand, "expected INSTALLER, OLD_DIR and NEW_DIR");
  // Mapped, not read: only the blocks are looked at, each at most once in memory.
  FileMap installer;
  if (!CheckRegularFile(parsed.operands[0], &error) ||
      !installer.Open(parsed.operands[0], &error))
    return Fail(error);
  if (installer.size() > SIZE_MAX) return Fail(Quote(parsed.operands[0]) + ": too large");
  VerifyReport report;
  const StopOnInterrupt interrupt;
  if (!VerifyInstaller(installer.data(), size_t(installer.size()), &installer,
                       parsed.operands[0], parsed.operands[1], parsed.operands[2], &report,
                       &error, interrupt.flag()))
    return Fail(error, report.interrupted ? kExitInterrupted : kExitBadInput);
  return ReportVerify(report);
}

}  // namespace

const Command kVerifyCommand = {"verify",
                                "check an installer's Patch.dat against OLD and NEW folders",
                                kVerifyHelp, RunVerify};

}  // namespace vt
