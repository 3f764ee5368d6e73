// `vantrel build`: a finished installer from a package folder (setup/, old/, new/) and the stub.
#include <stdio.h>
#include <stdlib.h>

#include <filesystem>
#include <system_error>

#include "cli/command.h"
#include "cli/console.h"
#include "cli/diff_summary.h"
#include "cli/file_bytes.h"
#include "cli/patch_verify.h"
#include "cli/progress.h"
#include "cli/tree_diff.h"
#include "format/file_format.h"

namespace vt {

int ReportVerify(const VerifyReport& report);  // verify_command.cpp

namespace {

namespace fs = std::filesystem;

const char kBuildHelp[] =
    "usage: vantrel build PACKAGE_DIR --stub STUB.exe [-o INSTALLER.exe] [-j N] [--no-verify]\n"
    "\n"
    "Makes a finished installer from a package folder:\n"
    "  PACKAGE_DIR/setup/   the setup files of block 1 (Update.ini, License.txt, Guide.txt,\n"
    "                       Readme.txt, Package.bmp, Splash.bmp, optional Language.ini)\n"
    "  PACKAGE_DIR/old/     the version users have installed\n"
    "  PACKAGE_DIR/new/     the version the installer brings\n"
    "It writes the Patch.dat of 'vantrel diff old new', packs it as 'vantrel pack' does, then\n"
    "checks the installer as 'vantrel verify' does, and prints a summary.\n"
    "\n"
    "options:\n"
    "  --stub FILE          the installer stub (vantrel_stub.exe)\n"
    "  -o, --output FILE    the installer to write (default PACKAGE_DIR/Setup.exe)\n"
    "  -j, --jobs N         files encoded side by side (default: one per core)\n"
    "  --no-verify          skip the verification\n";

int RunBuild(std::vector<std::string> args) {
  bool verify = true;
  for (auto it = args.begin(); it != args.end(); ++it) {
    if (*it == "--") break;
    if (*it == "--no-verify") {
      verify = false;
      args.erase(it);
      break;
    }
  }
  const std::vector<OptionSpec> options = {
      {"--stub", nullptr}, {"--output", "-o"}, {"--jobs", "-j"}};
  ParsedArgs parsed;
  std::string error;
  unsigned jobs = 0;
  if (!ParseArgs(args, options, &parsed, &error) || !ParseJobs(parsed, &jobs, &error))
    return FailUsage(kBuildCommand, error);
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
  PrintDiffSummary(kPatchRecordName, diff);

  // pack reads the script from a file; a private scratch copy keeps the package folder clean.
  std::string scratch;
  if (!MakeScratchDir("vantrel-build-", &scratch)) return Fail("cannot make a scratch folder");
  const std::string scriptPath = (fs::path(scratch) / kPatchRecordName).string();
  int status = kExitOk;
  if (!WriteFileBytes(scriptPath, diff.script, &error)) {
    status = Fail(error);
  } else {
    status = kPackCommand.run(
        {"--stub", parsed.values["--stub"], "--setup", setupDir, "--patch", scriptPath, "-o",
         output});
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
