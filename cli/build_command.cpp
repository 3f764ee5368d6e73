// `vantrel build`: a finished installer from a package folder (setup/, old/, new/) and the stub.
#include <stdio.h>

#include <filesystem>
#include <system_error>

#include "builder/code_page.h"
#include "builder/file_bytes.h"
#include "builder/installer_pack.h"
#include "builder/patch_verify.h"
#include "builder/setup_files.h"
#include "builder/tree_diff.h"
#include "cli/command.h"
#include "cli/console.h"
#include "cli/diff_summary.h"
#include "cli/progress.h"
#include "cli/report.h"
#include "cli/stub_locate.h"
#include "format/file_format.h"

namespace vt {
namespace {

namespace fs = std::filesystem;

const char kBuildHelp[] =
    "usage: vantrel build PACKAGE_DIR [--stub STUB.exe] [-o INSTALLER.exe] [-j N]\n"
    "                     [--codepage N] [--strict] [--no-verify] [--original-format]\n"
    "\n"
    "Makes a finished installer from a package folder:\n"
    "  PACKAGE_DIR/setup/   the setup files of block 1 (Update.ini, License.txt, Guide.txt,\n"
    "                       Readme.txt, Package.bmp, Splash.bmp, optional Language.ini)\n"
    "  PACKAGE_DIR/old/     the version users have installed\n"
    "  PACKAGE_DIR/new/     the version the installer brings\n"
    "It writes the Patch.dat of 'vantrel diff old new', packs it as 'vantrel pack' does, then\n"
    "checks the installer as 'vantrel verify' does, and prints a summary. The installer is\n"
    "written only once it is complete and has passed the check.\n"
    "\n"
    "The script uses add operations (matches that store the byte-wise difference, several\n"
    "times smaller patches of programs) when the stub runs them, as every current stub does;\n"
    "with an older stub, or with --original-format, it holds copy and insert operations only.\n"
    "Its update entries have split bodies (add bytes and literals in streams of their own, as\n"
    "'vantrel diff' writes them) when the stub runs those; with a stub that runs add operations\n"
    "only, each operation's bytes follow it. A new file may be built from an old file that the\n"
    "script leaves alone (a body from another file, as 'vantrel diff' writes it) when the stub\n"
    "runs those; with an older stub new files are stored whole.\n"
    "\n"
    "The installer's names and texts are in the users' ANSI code page (--codepage, as for\n"
    "'vantrel diff'; without it everything must be plain ASCII). Update.ini, Language.ini,\n"
    "License.txt, Guide.txt and Readme.txt are converted into it when they are UTF-8: a file\n"
    "that starts with the UTF-8 byte order mark, or whose bytes are valid UTF-8. Any other\n"
    "file is taken to be in the code page already and goes in unchanged; plain ASCII always\n"
    "does. A character the code page cannot hold is refused, with its line.\n"
    "\n"
    "Before writing anything it checks the setup files. Errors stop the build: a bitmap that\n"
    "LoadImage cannot load (not a BMP, compressed). Warnings are listed: Update.ini keys the\n"
    "installer does not know (a typo such as MianFile), a MainFile that NEW does not hold, a\n"
    "missing License.txt or Guide.txt, Language.ini sections that are not '$' and four hex\n"
    "digits, 32-bit bitmaps (their alpha is not drawn).\n"
    "\n"
    "options:\n"
    "  --stub FILE          the installer stub (vantrel_stub.exe); without it the one that\n"
    "                       VANTREL_STUB names, or else the one installed with vantrel\n"
    "  -o, --output FILE    the installer to write (default PACKAGE_DIR/Setup.exe); not the\n"
    "                       stub, nor a file in setup/, old/ or new/\n"
    "  -j, --jobs N         files encoded side by side (default: one per core)\n"
    "  --codepage N         the users' ANSI code page: 1252 (Western), 932 (Japanese), ...\n"
    "  --strict             treat warnings as errors\n"
    "  --no-verify          skip the verification\n"
    "  --original-format    copy and insert operations only, the script every stub runs\n";

// Reads the setup folder as pack does (plain files only, links refused) and converts its
// texts into the installer's code page; false with *error.
bool ReadSetup(const std::string& dir, std::vector<PayloadFile>* files, std::string* error) {
  if (!ReadSetupFolder(dir, files, error)) return false;
  for (PayloadFile& file : *files) {
    if (!IsSetupText(file.name)) continue;
    std::vector<uint8_t> converted;
    if (!ConvertSetupText(file.name, file.data, &converted, error)) return false;
    file.data = std::move(converted);
  }
  return true;
}

int RunBuild(std::vector<std::string> args) {
  const bool verify = !TakeFlag(&args, "--no-verify");
  const bool strict = TakeFlag(&args, "--strict");
  const bool originalFormat = TakeFlag(&args, "--original-format");
  const std::vector<OptionSpec> options = {
      {"--stub", nullptr}, {"--output", "-o"}, {"--jobs", "-j"}, {"--codepage", nullptr}};
  ParsedArgs parsed;
  std::string error;
  unsigned jobs = 0;
  if (!ParseArgs(args, options, &parsed, &error) || !ParseJobs(parsed, &jobs, &error))
    return FailUsage(kBuildCommand, error);
  unsigned codePage;
  if (!ParseCodePage(parsed.values["--codepage"], &codePage, &error))
    return FailUsage(kBuildCommand, error);
  if (verify && !EngineTakesCodePage(&error))
    return Fail("cannot verify: " + error + "; build with --no-verify, or verify on a system "
                "of that code page");
  if (parsed.operands.size() != 1) return FailUsage(kBuildCommand, "expected one PACKAGE_DIR");
  std::string stubOrigin;
  if (!parsed.values.count("--stub") &&
      !LocateStub(&parsed.values["--stub"], &stubOrigin, &error))
    return FailUsage(kBuildCommand, "missing --stub: " + error);
  const fs::path package = parsed.operands[0];
  const std::string oldDir = (package / "old").string(), newDir = (package / "new").string();
  const std::string setupDir = (package / "setup").string();
  const std::string output = parsed.values.count("--output") ? parsed.values["--output"]
                                                               : (package / "Setup.exe").string();
  const std::string& stubPath = parsed.values["--stub"];
  std::error_code ec;
  for (const std::string& dir : {setupDir, oldDir, newDir})
    if (!fs::is_directory(dir, ec))
      return Fail("package folder " + Quote(package.string()) + " lacks the folder " + Quote(dir));
  if (!CheckOutputIsNoInput(output, {stubPath}, {setupDir, oldDir, newDir}, &error))
    return Fail(error);
  std::vector<uint8_t> stub;
  if (!ReadFileBytes(stubPath, &stub, &error)) return Fail(error);

  // The script takes add operations and split bodies only where the stub runs them.
  const bool addOps = !originalFormat && StubRunsAddOps(stub);
  const bool split = addOps && StubRunsSplitBodies(stub);
  const bool from = split && StubRunsFromBodies(stub);
  if (!originalFormat && !addOps)
    printf("the stub runs copy and insert operations only: the script is in the original "
           "format\n");
  else if (addOps && !split)
    printf("the stub does not run split bodies: each operation's bytes follow it\n");
  else if (split && !from)
    printf("the stub does not run bodies from another file: new files are stored whole\n");
  TreeDiff diff;
  {
    Progress progress("diff");
    if (!DiffTrees(oldDir, newDir, &diff, &error, Progress::Callback, &progress,
                   addOps ? kAddTunings : kDefaultTunings, jobs, nullptr,
                   from    ? BodyLayout::kSplitFrom
                   : split ? BodyLayout::kSplit
                           : BodyLayout::kInterleaved))
      return Fail(error);
  }
  WarnAboutDiff(diff);

  std::vector<PayloadFile> setupFiles;
  if (!ReadSetup(setupDir, &setupFiles, &error)) return Fail(error);
  std::vector<std::string> setupNames;
  std::vector<std::vector<uint8_t>> setupContents;
  for (const PayloadFile& file : setupFiles) {
    setupNames.push_back(file.name);
    setupContents.push_back(file.data);
  }
  SetupFindings findings;
  CheckSetupFiles(setupNames, setupContents, diff.newFiles, &findings);
  for (const std::string& warning : findings.warnings) Warn(warning);
  if (!findings.errors.empty() || (strict && !findings.warnings.empty())) {
    for (const std::string& e : findings.errors) Fail(e);
    return Fail(std::to_string(findings.errors.size()) + " error(s)" +
                (strict ? " and " + std::to_string(findings.warnings.size()) +
                              " warning(s) (--strict)"
                        : std::string()) +
                " in the setup files; nothing written");
  }
  PrintDiffSummary(kPatchRecordName, diff);

  PackedInstaller packed;
  const bool packedOk =
      PackSetupFiles(stub, setupDir, std::move(setupFiles), diff.script, &packed, &error);
  WarnAboutPacked(packed);
  if (!packedOk) return Fail(error);
  const uint32_t compressed = packed.length2 - 4;
  printf("  %s %zu bytes, compressed %u bytes (%.1f%%)\n", kPatchRecordName, diff.script.size(),
         unsigned(compressed),
         diff.script.empty() ? 0.0 : 100.0 * compressed / double(diff.script.size()));
  // The installer is checked in memory first: a file at OUTPUT is always one that passed.
  if (verify) {
    VerifyReport report;
    const StopOnInterrupt interrupt;
    if (!VerifyInstaller(packed.image, output, oldDir, newDir, &report, &error, interrupt.flag()))
      return Fail(error, report.interrupted ? kExitInterrupted : kExitBadInput);
    const int status = ReportVerify(report);
    if (status != kExitOk) return Fail("nothing written to " + Quote(output), ExitCode(status));
  }
  if (!WriteFileBytes(output, packed.image, &error)) return Fail(error);
  PrintPacked(output, packed, diff.script.size());
  return kExitOk;
}

int RunBuildCommand(const std::vector<std::string>& args) { return RunBuild(args); }

}  // namespace

const Command kBuildCommand = {"build",
                               "make an installer from a package folder (setup/, old/, new/)",
                               kBuildHelp, RunBuildCommand};

}  // namespace vt
