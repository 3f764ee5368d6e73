// `vantrel build`: a finished installer from a package folder (setup/, old/, new/) and the stub.
#include <stdio.h>
#include <stdlib.h>

#include <filesystem>
#include <system_error>

#include "cli/code_page.h"
#include "cli/command.h"
#include "cli/console.h"
#include "cli/diff_summary.h"
#include "cli/file_bytes.h"
#include "cli/patch_verify.h"
#include "cli/progress.h"
#include "cli/setup_files.h"
#include "cli/tree_diff.h"
#include "format/file_format.h"

namespace vt {

int ReportVerify(const VerifyReport& report);  // verify_command.cpp

namespace {

namespace fs = std::filesystem;

const char kBuildHelp[] =
    "usage: vantrel build PACKAGE_DIR --stub STUB.exe [-o INSTALLER.exe] [-j N]\n"
    "                     [--codepage N] [--strict] [--no-verify]\n"
    "\n"
    "Makes a finished installer from a package folder:\n"
    "  PACKAGE_DIR/setup/   the setup files of block 1 (Update.ini, License.txt, Guide.txt,\n"
    "                       Readme.txt, Package.bmp, Splash.bmp, optional Language.ini)\n"
    "  PACKAGE_DIR/old/     the version users have installed\n"
    "  PACKAGE_DIR/new/     the version the installer brings\n"
    "It writes the Patch.dat of 'vantrel diff old new', packs it as 'vantrel pack' does, then\n"
    "checks the installer as 'vantrel verify' does, and prints a summary.\n"
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
    "  --stub FILE          the installer stub (vantrel_stub.exe)\n"
    "  -o, --output FILE    the installer to write (default PACKAGE_DIR/Setup.exe)\n"
    "  -j, --jobs N         files encoded side by side (default: one per core)\n"
    "  --codepage N         the users' ANSI code page: 1252 (Western), 932 (Japanese), ...\n"
    "  --strict             treat warnings as errors\n"
    "  --no-verify          skip the verification\n";

// Reads the setup folder's files, converting its texts; false with *error.
bool ReadSetup(const fs::path& dir, std::vector<std::string>* names,
               std::vector<std::vector<uint8_t>>* contents, std::string* error) {
  std::error_code ec;
  for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
    if (!it->is_regular_file(ec)) continue;  // pack refuses it with its own words
    const std::string name = it->path().filename().u8string();
    std::vector<uint8_t> bytes, converted;
    if (!ReadFileBytes(it->path().string(), &bytes, error)) return false;
    if (IsSetupText(name) && !ConvertSetupText(name, bytes, &converted, error)) return false;
    names->push_back(name);
    contents->push_back(IsSetupText(name) ? converted : bytes);
  }
  if (ec) *error = "cannot list '" + dir.u8string() + "': " + ec.message();
  return !ec;
}

// Removes the flag `name` from `args` (before any "--"); true when it was there.
bool TakeFlag(std::vector<std::string>* args, const char* name) {
  for (auto it = args->begin(); it != args->end() && *it != "--"; ++it) {
    if (*it == name) {
      args->erase(it);
      return true;
    }
  }
  return false;
}

int RunBuild(std::vector<std::string> args) {
  const bool verify = !TakeFlag(&args, "--no-verify");
  const bool strict = TakeFlag(&args, "--strict");
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
  if (!parsed.values.count("--stub")) return FailUsage(kBuildCommand, "missing --stub");
  const fs::path package = parsed.operands[0];
  const std::string oldDir = (package / "old").string(), newDir = (package / "new").string();
  const std::string setupDir = (package / "setup").string();
  const std::string output = parsed.values.count("--output") ? parsed.values["--output"]
                                                               : (package / "Setup.exe").string();
  std::error_code ec;
  for (const std::string& dir : {setupDir, oldDir, newDir})
    if (!fs::is_directory(dir, ec))
      return Fail("package folder '" + package.string() + "' lacks the folder '" + dir + "'");

  TreeDiff diff;
  {
    Progress progress("diff");
    if (!DiffTrees(oldDir, newDir, &diff, &error, Progress::Callback, &progress, {}, jobs))
      return Fail(error);
  }
  WarnAboutDiff(diff);

  std::vector<std::string> setupNames, newPaths;
  std::vector<std::vector<uint8_t>> setupContents;
  if (!ReadSetup(setupDir, &setupNames, &setupContents, &error)) return Fail(error);
  if (!ListTree(newDir, &newPaths, &error)) return Fail(error);
  SetupFindings findings;
  CheckSetupFiles(setupNames, setupContents, newPaths, &findings);
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

  // pack reads the script and the setup files from files; a private scratch folder keeps the
  // package folder clean.
  std::string scratch;
  if (!MakeScratchDir("vantrel-build-", &scratch)) return Fail("cannot make a scratch folder");
  const std::string scriptPath = (fs::path(scratch) / kPatchRecordName).string();
  const fs::path convertedSetup = fs::path(scratch) / "setup";
  fs::create_directory(convertedSetup, ec);
  bool written = WriteFileBytes(scriptPath, diff.script, &error);
  for (size_t i = 0; i < setupNames.size() && written; ++i)
    written = WriteFileBytes((convertedSetup / fs::u8path(setupNames[i])).string(),
                             setupContents[i], &error);
  int status = kExitOk;
  if (!written) {
    status = Fail(error);
  } else {
    status = kPackCommand.run({"--stub", parsed.values["--stub"], "--setup",
                               convertedSetup.string(), "--patch", scriptPath, "-o", output});
  }
  fs::remove_all(scratch, ec);
  if (status != kExitOk) return status;

  std::vector<uint8_t> installer;
  if (!ReadFileBytes(output, &installer, &error)) return Fail(error);
  const uint32_t length1 = ReadLe32(installer.data() + kStubSize);
  const uint32_t length2 = ReadLe32(installer.data() + kStubSize + 4 + length1);
  printf("  Patch.dat %zu bytes, compressed %u bytes (%.1f%%)\n", diff.script.size(),
         unsigned(length2 - 4),
         diff.script.empty() ? 0.0 : 100.0 * (length2 - 4) / double(diff.script.size()));
  if (!verify) return kExitOk;
  std::vector<uint8_t> script;
  if (!ExtractPatchDat(installer, &script, &error)) return Fail("'" + output + "': " + error);
  VerifyReport report;
  if (!VerifyScript(script, oldDir, newDir, &report, &error)) return Fail(error);
  return ReportVerify(report);
}

int RunBuildCommand(const std::vector<std::string>& args) { return RunBuild(args); }

}  // namespace

const Command kBuildCommand = {"build",
                               "make an installer from a package folder (setup/, old/, new/)",
                               kBuildHelp, RunBuildCommand};

}  // namespace vt
