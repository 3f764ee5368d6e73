// `vantrel pack`: an installer from a stub, a folder of setup files and a Patch.dat.
#include "builder/file_bytes.h"
#include "builder/installer_pack.h"
#include "cli/command.h"
#include "cli/report.h"
#include "cli/stub_locate.h"

namespace vt {
namespace {

const char kPackHelp[] =
    "usage: vantrel pack [--stub STUB.exe] --setup DIR --patch Patch.dat -o INSTALLER.exe\n"
    "\n"
    "Makes an installer: the stub padded with zeros to 34816 bytes, then block 1 with every\n"
    "file of DIR (sorted by name) and block 2 with the patch script, stored as \"Patch.dat\";\n"
    "both blocks are compressed with bzip2, block size 9.\n"
    "\n"
    "A script that holds add operations, split bodies or bodies from another file (what\n"
    "'vantrel diff' writes by default) is refused with a stub that does not run them; 'vantrel\n"
    "diff --no-from' writes split bodies without bodies from another file, 'vantrel diff\n"
    "--no-split' adds without either, 'vantrel diff --original-format' a script every stub runs.\n"
    "The bzip2 blocks of block 2 end before and after each entry of 1 MiB or more and where\n"
    "the add and literal streams of split bodies start.\n"
    "\n"
    "options:\n"
    "  --stub FILE          the installer stub, a Windows program of at most 34816 bytes;\n"
    "                       without it the one that VANTREL_STUB names, or else the one\n"
    "                       installed with vantrel\n"
    "  --setup DIR          the setup files: Update.ini, License.txt, Guide.txt, Readme.txt,\n"
    "                       Package.bmp, Splash.bmp and an optional Language.ini; plain files\n"
    "                       with plain names only, no folders or links; a copy of the patch\n"
    "                       script there is left out, any other Patch.dat refused\n"
    "  --patch FILE         the patch script\n"
    "  -o, --output FILE    the installer to write; an existing file is replaced once the\n"
    "                       new one is complete; an input or a file in DIR is refused\n";

int RunPack(const std::vector<std::string>& args) {
  const std::vector<OptionSpec> options = {
      {"--stub", nullptr}, {"--setup", nullptr}, {"--patch", nullptr}, {"--output", "-o"}};
  ParsedArgs parsed;
  std::string error;
  if (!ParseArgs(args, options, &parsed, &error)) return FailUsage(kPackCommand, error);
  if (!parsed.operands.empty())
    return FailUsage(kPackCommand, "unexpected argument " + Quote(parsed.operands[0]));
  std::string stubOrigin;
  if (!parsed.values.count("--stub") &&
      !LocateStub(&parsed.values["--stub"], &stubOrigin, &error))
    return FailUsage(kPackCommand, "missing --stub: " + error);
  for (const OptionSpec& option : options)
    if (!parsed.values.count(option.name))
      return FailUsage(kPackCommand, "missing " + std::string(option.name));
  const std::string& stubPath = parsed.values["--stub"];
  const std::string& setupDir = parsed.values["--setup"];
  const std::string& patchPath = parsed.values["--patch"];
  const std::string& outPath = parsed.values["--output"];

  if (!CheckOutputIsNoInput(outPath, {stubPath, patchPath}, {setupDir}, &error))
    return Fail(error);
  std::vector<uint8_t> stub, patchDat;
  if (!ReadFileBytes(stubPath, &stub, &error) || !ReadFileBytes(patchPath, &patchDat, &error))
    return Fail(error);
  PackedInstaller packed;
  const bool packedOk = PackInstaller(stub, setupDir, patchDat, &packed, &error);
  WarnAboutPacked(packed);
  if (!packedOk) return Fail(error);
  if (!WriteFileBytes(outPath, packed.image, &error)) return Fail(error);
  PrintPacked(outPath, packed, patchDat.size());
  return kExitOk;
}

}  // namespace

const Command kPackCommand = {
    "pack", "make an installer from a stub, a folder of setup files and a Patch.dat", kPackHelp,
    RunPack};

}  // namespace vt
