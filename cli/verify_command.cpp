// `vantrel verify`: applies an installer's Patch.dat with the patch engine to scratch copies and
// compares the result with the new version.
#include <stdio.h>

#include "cli/code_page.h"
#include "cli/command.h"
#include "cli/file_bytes.h"
#include "cli/patch_verify.h"

namespace vt {

const char kVerifyHelp[] =
    "usage: vantrel verify INSTALLER OLD_DIR NEW_DIR [--codepage N]\n"
    "\n"
    "Unpacks the installer's Patch.dat as the installer does and applies it with the installer's\n"
    "own patch engine, in a scratch folder, three times:\n"
    "  to a copy of OLD_DIR: every entry must give Updated or Installed and the result must equal\n"
    "    NEW_DIR byte for byte (files only in OLD_DIR stay, nothing else may appear);\n"
    "  to a copy of NEW_DIR (a user who already updated): update entries must give\n"
    "    AlreadyUpdated and leave the files as they are;\n"
    "  to a copy of OLD_DIR whose changed files were altered (a foreign version): update entries\n"
    "    must give OriginalCrcError and leave those files untouched.\n"
    "Prints what each user would see; exit status 1 with one line per fault otherwise.\n"
    "\n"
    "options:\n"
    "  --codepage N   the installer's ANSI code page, as given to build, for folders whose\n"
    "                 names are not plain ASCII\n";

int ReportVerify(const VerifyReport& report) {
  for (const std::string& problem : report.problems) fprintf(stderr, "vantrel: verify: %s\n",
                                                             problem.c_str());
  if (!report.problems.empty())
    return Fail("verify failed: " + std::to_string(report.problems.size()) + " faults");
  printf("verified %zu entries (%zu update, %zu new file):\n", report.entries,
         report.updateEntries, report.newFileEntries);
  printf("  on OLD: %zu Updated, %zu Installed; the result equals NEW\n", report.updated,
         report.installed);
  printf("  on NEW (already updated): %zu AlreadyUpdated, %zu Overwritten with equal bytes\n",
         report.alreadyUpdated, report.overwritten);
  printf("  on a foreign version: %zu OriginalCrcError, those files untouched\n",
         report.originalCrcError);
  return kExitOk;
}

namespace {

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
  std::vector<uint8_t> installer, script;
  if (!ReadFileBytes(parsed.operands[0], &installer, &error)) return Fail(error);
  if (!ExtractPatchDat(installer, &script, &error))
    return Fail("'" + parsed.operands[0] + "': " + error);
  VerifyReport report;
  if (!VerifyScript(script, parsed.operands[1], parsed.operands[2], &report, &error))
    return Fail(error);
  return ReportVerify(report);
}

}  // namespace

const Command kVerifyCommand = {"verify",
                                "check an installer's Patch.dat against OLD and NEW folders",
                                kVerifyHelp, RunVerify};

}  // namespace vt
