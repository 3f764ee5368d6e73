// `vantrel build`: a finished installer from a package folder (setup/, old/, new/) and the stub.
#include <stdio.h>

#include <filesystem>
#include <system_error>

#include "cli/command.h"
#include "cli/diff_summary.h"
#include "cli/file_bytes.h"
#include "cli/installer_pack.h"
#include "cli/patch_verify.h"
#include "cli/progress.h"
#include "cli/tree_diff.h"
#include "format/file_format.h"

namespace vt {
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
    "checks the installer as 'vantrel verify' does, and prints a summary. The installer is\n"
    "written only once it is complete and has passed the check.\n"
    "\n"
    "options:\n"
    "  --stub FILE          the installer stub (vantrel_stub.exe)\n"
    "  -o, --output FILE    the installer to write (default PACKAGE_DIR/Setup.exe); not the\n"
    "                       stub, nor a file in setup/, old/ or new/\n"
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
  const std::string& stubPath = parsed.values["--stub"];
  std::error_code ec;
  for (const std::string& dir : {setupDir, oldDir, newDir})
    if (!fs::is_directory(dir, ec))
      return Fail("package folder " + Quote(package.string()) + " lacks the folder " + Quote(dir));
  if (!CheckOutputIsNoInput(output, {stubPath}, {setupDir, oldDir, newDir}, &error))
    return Fail(error);
  std::vector<uint8_t> stub;
  if (!ReadFileBytes(stubPath, &stub, &error)) return Fail(error);

  TreeDiff diff;
  {
    Progress progress("diff");
    if (!DiffTrees(oldDir, newDir, &diff, &error, Progress::Callback, &progress, {}, jobs))
      return Fail(error);
  }
  WarnAboutDiff(diff);
  PrintDiffSummary(kPatchRecordName, diff);

  PackedInstaller packed;
  if (!PackInstaller(stub, setupDir, diff.script, &packed, &error)) return Fail(error);
  const uint32_t compressed = packed.length2 - 4;
  printf("  %s %zu bytes, compressed %u bytes (%.1f%%)\n", kPatchRecordName, diff.script.size(),
         unsigned(compressed),
         diff.script.empty() ? 0.0 : 100.0 * compressed / double(diff.script.size()));
  // The installer is checked in memory first: a file at OUTPUT is always one that passed.
  if (verify) {
    VerifyReport report;
    if (!VerifyInstaller(packed.image, output, oldDir, newDir, &report, &error))
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
